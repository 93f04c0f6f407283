#pragma once
// Runs a program to its end with arguments and extra environment, standard
// input from /dev/null, and returns its exit code and standard output.

#include <string>
#include <vector>

namespace brix::testing {

struct ProgramResult {
    int exitCode = -1;
    std::string output;
};

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {}, const std::string& workDir = "");

// The built brix binary.
inline ProgramResult RunBrix(const std::vector<std::string>& args,
                             const std::vector<std::string>& env = {},
                             const std::string& workDir = "") {
    return RunProgram(BRIX_BINARY, args, env, workDir);
}

} // namespace brix::testing
