#pragma once
// Ways the program ends early, with a console message and an exit code.

#include <string>

namespace brix {

// How a run that got going ended (the start-up's own codes are given where
// it halts): a job or the run ended with an error; the user stopped it (ESC
// or a signal); -check found a box file it cannot read cleanly.
constexpr int kExitJobFailed = 105;
constexpr int kExitStopped = 106;
constexpr int kExitCheckWarned = 107;

// Message, one second for the user to read it, exit code. Writes no log.
[[noreturn]] void ErrorHalt(int code, const std::string& message);
// Message, then the timed "Weiter mit Return ..." prompt, then the exit code.
[[noreturn]] void ErrorHaltPrompt(int code, const std::string& message);
// Count-down prompt; returns the accepted key, or '\0' when the time ran out
// (or at once when nobody can answer because standard input is no terminal).
char TimedKeyPrompt(const std::string& prompt, int ticks, const std::string& keys);

} // namespace brix
