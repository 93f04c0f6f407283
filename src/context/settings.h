#pragma once
// The run-wide settings, filled once at start-up (CurrentBox by the job
// sequence) and read by every job.

#include <cstdint>
#include <string>

namespace brix {

struct RunSettings {
    bool HelpRequested = false;
    bool VerboseMode = false;
    bool BatchedSmtp = false;
    // -q: nothing on standard output; -check: show the settings, run nothing.
    bool Quiet = false;
    bool CheckOnly = false;
    std::int32_t DebugLevel = 0;
    std::string BoxList;
    std::string CurrentBox;
    // Directories end in "/" and are used as plain prefixes; LogDir exactly
    // as the host reader's configuration gives it.
    std::string ProgramDir;
    std::string QvPath;
    std::string SpoolDir;
    std::string LogDir;
};

RunSettings& Settings();

// The program's version, as --version shows it.
extern const char* const kVersion;
// The two banner lines shown at start, in the run log and in box logs.
extern const char* const kBannerLine1;
extern const char* const kBannerLine2;

} // namespace brix
