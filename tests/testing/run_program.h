#pragma once
// Runs a program (usually the built brix binary) with arguments and extra
// environment (QV unset and the locale C.UTF-8 unless given), standard
// input from /dev/null.

#include <string>
#include <sys/types.h>
#include <vector>

namespace brix::testing {

struct ProgramResult {
    int exitCode = -1;  // 128 + the signal when a signal ended it
    std::string output; // standard output and standard error
    std::string errors; // standard error alone, when asked for apart
};

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {}, const std::string& workDir = "",
                         bool errorsApart = false);

inline ProgramResult RunBrix(const std::vector<std::string>& args,
                             const std::vector<std::string>& env = {},
                             const std::string& workDir = "") {
    return RunProgram(BRIX_BINARY, args, env, workDir);
}

// Standard output in `output`, standard error in `errors`.
inline ProgramResult RunBrixApart(const std::vector<std::string>& args,
                                  const std::vector<std::string>& env = {}) {
    return RunProgram(BRIX_BINARY, args, env, "", true);
}

// Starts program in workDir, standard input from /dev/null and output to
// `out` (-1: /dev/null), standard error to `err` (-2: as output). WaitExit
// gives its exit code as RunProgram does.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& env, const std::string& workDir, int out, int err = -2);
int WaitExit(pid_t pid);

// Runs brix on an 80x25 pseudo-terminal for up to ten seconds, typing
// Return once `prompt` has appeared. `echoAfter` tells whether the terminal
// had echo and line editing back on at the end.
struct TerminalRun : ProgramResult {
    bool echoAfter = false;
};
TerminalRun RunBrixOnTerminal(const std::vector<std::string>& args,
                              const std::vector<std::string>& env, const std::string& prompt = "");

} // namespace brix::testing
