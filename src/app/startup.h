#pragma once
// Start-up: command line, host reader's directory and configuration, the
// start lines of the run log.

#include <string>
#include <vector>

namespace brix {

// Fills Settings() from the arguments (without the program name). Ends the
// process through ErrorHalt/ShowUsage when the run cannot start.
void ParseCommandLine(const std::vector<std::string>& args);
[[noreturn]] void ShowUsage();
// Reads "LOGDIR=" from QvPath + "qvdesk.cfg" into Settings().LogDir.
void ReadHostConfig();
// The LOGDIR value of the configuration text ("" when none); pure.
std::string LogDirFromConfigText(const std::string& text);

// Drops everything up to the last "/" or "\".
std::string RemoveDirectoryPart(const std::string& name);

} // namespace brix
