#pragma once
// Runs a user's command through /bin/sh and takes the first line it prints:
// how a password or an access token comes from a password manager or an
// OAuth 2.0 helper instead of the box file.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brix {

struct CommandLine {
    bool ok = false;
    std::string line;  // the first line of standard output, without its end
    std::string error; // when not ok: what went wrong, in plain words
};

// Runs Command with the extra Environment entries ("NAME=value"); its
// standard error stays the user's, its standard input is /dev/null. The
// line is taken once the command has exited; children it leaves running
// (holding the output open) are neither waited for nor killed. Not ok when
// it cannot start, exits non-zero or by a signal, prints nothing on its
// first line, prints no line end (the output may be cut), or is not done
// within TimeoutMs (then it is killed with its process group). Poll is
// called about every 100 ms while the command runs; whatever it throws ends
// the command first and then goes on.
CommandLine FirstLineOf(const std::string& Command, const std::vector<std::string>& Environment,
                        std::int32_t TimeoutMs, const std::function<void()>& Poll);

} // namespace brix
