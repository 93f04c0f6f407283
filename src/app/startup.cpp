#include "app/startup.h"

#include "context/log.h"
#include "context/settings.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/program_end.h"
#include "platform/terminal.h"
#include "platform/textfile.h"
#include "support/errors.h"
#include "support/language.h"
#include "support/text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace brix {

namespace {

const char* const kHelpHint = "Hilfe zu den Aufrufparametern mit Brix -?";

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// True when the first ".BFG" in the name is its last four characters.
bool EndsWithFirstBfg(const std::string& upper) {
    auto pos = upper.find(".BFG");
    return pos != std::string::npos && upper.size() >= 4 && pos == upper.size() - 4;
}

// A Unix path such as /home/u/qv/box1.bfg begins with "/" like a switch;
// a second "/" tells it apart.
bool IsPathArgument(const std::string& upper) {
    return upper.size() > 1 && upper[0] == '/' && !StartsWith(upper, "/CONFIG:") &&
           !StartsWith(upper, "/WORKDIR:") && upper.find('/', 1) != std::string::npos;
}

void AppendBox(const std::string& name) {
    Settings().BoxList += " " + name;
}

[[noreturn]] void FatalSystemError(const std::string& what, int err) {
    ShowFatal("brix: " + what + ": " + std::strerror(err));
    std::exit(2);
}

void ShowBanner() {
    CursorOff();
    Console& con = TheConsole();
    con.ClearScreen();
    con.WriteLine(Tr(kBannerLine1));
    con.WriteLine(Tr(kBannerLine2));
    con.WriteLine("");
}

// "-debugN" with N from 1 to 9 is level N; any other "-debug..." is level 1.
std::int32_t DebugLevelOf(const std::string& rest) {
    if (rest.size() == 6 && rest[5] >= '1' && rest[5] <= '9') return rest[5] - '0';
    return 1;
}

void AddConfigSwitchBox(std::string value) {
    if (value.empty()) ErrorHalt(101, Tr("Fehler: -config: Parameterformat falsch"));
    value = RemoveDirectoryPart(value);
    if (EndsWithFirstBfg(value)) value.resize(value.size() - 4);
    AppendBox(value);
}

// The directory keeps its case, unlike the switch.
void ChangeWorkDir(const std::string& value) {
    if (value.empty()) ErrorHalt(101, Tr("Fehler: -workdir: Parameterformat falsch"));
    if (::chdir(value.c_str()) != 0) FatalSystemError(value, errno);
}

// rest: the switch in upper case without its "-" or "/".
void ApplySwitch(RunSettings& s, const std::string& rest, const std::string& original) {
    if (rest == "H" || rest == "HELP" || rest == "?")
        s.HelpRequested = true;
    else if (rest == "V")
        s.VerboseMode = true;
    else if (rest == "SMTP")
        s.BatchedSmtp = true;
    else if (rest == "Q")
        s.Quiet = true;
    else if (rest == "CHECK")
        s.CheckOnly = true;
    else if (StartsWith(rest, "DEBUG"))
        s.DebugLevel = DebugLevelOf(rest);
    else if (StartsWith(rest, "CONFIG:"))
        AddConfigSwitchBox(rest.substr(7));
    else if (StartsWith(rest, "WORKDIR:"))
        ChangeWorkDir(original.substr(9));
    else
        ErrorHalt(102, Tr("Fehler: ung\x81ltiger Schalter: %s", {rest}) + "\r\n\r\n" +
                           Tr(kHelpHint) + "\r\n");
}

void ApplyArgument(RunSettings& s, const std::string& original) {
    std::string arg = UpperAscii(original);
    if (arg.size() > 1 && (arg[0] == '/' || arg[0] == '-') && !IsPathArgument(arg))
        ApplySwitch(s, arg.substr(1), original);
    else if (EndsWithFirstBfg(arg))
        AppendBox(RemoveDirectoryPart(arg.substr(0, arg.size() - 4)));
    else
        ErrorHalt(102, Tr("Fehler: ung\x81ltiger Parameter: %s", {arg}) + "\r\n\r\n" +
                           Tr(kHelpHint) + "\r\n");
}

// $QV, else the program's directory, with "/" at the end.
void SetQvPath(RunSettings& s) {
    s.ProgramDir = ProgramDirectory();
    const char* qv = std::getenv("QV");
    s.QvPath = qv ? qv : "";
    if (s.QvPath.empty()) s.QvPath = s.ProgramDir;
    if (!s.QvPath.empty() && s.QvPath.back() != '/') s.QvPath += '/';
}

void FindSpoolDir(RunSettings& s) {
    s.SpoolDir = s.QvPath + "spool/";
    if (DirExists(s.SpoolDir)) return;
    // A tree copied from a case-insensitive file system may say SPOOL.
    std::string found = ResolveName(s.QvPath + "spool");
    if (DirExists(found))
        s.SpoolDir = found + "/";
    else
        ErrorHalt(103, Tr("Fehler: QV-Pfad %s falsch oder SPOOL-Verzeichnis nicht gefunden.",
                          {s.QvPath}));
}

void FindLogDir(RunSettings& s) {
    ReadHostConfig();
    if (s.LogDir.empty()) s.LogDir = s.QvPath;
    if (s.LogDir.empty() || !DirExists(s.LogDir))
        ErrorHalt(103,
                  Tr("Fehler: QV-Pfad %s falsch oder LOG-Verzeichnis nicht gefunden.", {s.QvPath}));
}

void StartRunLog(const std::string& runLog) {
    RotateLog(runLog);
    try {
        AppendLine(runLog, "");
        AppendLine(runLog, Tr(kBannerLine1));
        AppendLine(runLog, Tr(kBannerLine2));
        AppendLine(runLog, "");
    } catch (const EInOutError& e) {
        ShowFatal("brix: " + e.Message());
        std::exit(2);
    }
}

} // namespace

std::string RemoveDirectoryPart(const std::string& name) {
    auto pos = name.find_last_of("/\\");
    return pos == std::string::npos ? name : name.substr(pos + 1);
}

// The switches, one text in the catalog so that each language has its own
// lines (English leaves out what Linux does not have).
const char* const kUsage =
    "Usage: brix.exe <configfile> [-h] [-v] [-smtp] [-debug[1..9]]\n"
    "\n"
    " <configfile>   configuration file (*.BFG)\n"
    " -h             help\n"
    " -v             verbose mode\n"
    " -smtp          make batched smtp files\n"
    " -debugX        make debug level X logfile (where X is between 1 and 2)\n"
    " -q             quiet: nothing on standard output, errors on standard error\n"
    " -check         show what a run would use; touches no file and no server\n"
    " -multiX        X=0: no multithreading\n"
    "                X=1: news multithreading\n"
    "                X=2: complete multithreading (default)\n"
    "\n"
    "Box keys, files, exit codes and examples: man brix";

void WriteUsage() {
    Console& c = TheConsole();
    // The design's usage stands apart from the banner above it.
    if (CurrentLanguage() == TLanguage::Design) c.WriteLine("");
    for (const std::string& line : SplitLines(Tr(kUsage)))
        c.WriteLine(line);
}

void ShowUsage() {
    WriteUsage();
    ExitProgram(1);
}

std::string LogDirFromConfigText(const std::string& text) {
    std::string logDir;
    for (std::string line : SplitLines(text)) {
        CutTo(line, kShortText);
        TrimBlanks(line);
        if (!StartsWith(UpperAscii(line), "LOGDIR=")) continue;
        // The key is matched in any case; the value keeps its case, since
        // directory names on this system are case-sensitive.
        logDir = Trimmed(std::string_view(line).substr(7));
    }
    return logDir;
}

void ReadHostConfig() {
    RunSettings& s = Settings();
    s.LogDir.clear();
    std::string cfg = ResolveName(s.QvPath + "qvdesk.cfg");
    if (!FileExists(cfg))
        ErrorHalt(100, Tr("Fehler: Datei %s nicht gefunden", {s.QvPath + "qvdesk.cfg"}));
    s.LogDir = LogDirFromConfigText(ReadFileBytes(cfg));
}

void ParseCommandLine(const std::vector<std::string>& args) {
    RunSettings& s = Settings();
    s = RunSettings{};
    // The conventions of every Linux tool, before anything else is shown.
    for (const std::string& a : args) {
        if (a == "--help") {
            WriteUsage();
            ExitProgram(0);
        }
        if (a == "--version") {
            TheConsole().WriteLine(std::string("brix ") + kVersion);
            ExitProgram(0);
        }
    }
    // Even the banner stays off standard output with -q.
    for (const std::string& a : args)
        if (UpperAscii(a) == "-Q" || UpperAscii(a) == "/Q") SetConsoleQuiet(true);
    ShowBanner();
    for (const std::string& original : args)
        ApplyArgument(s, original);
    TrimBlanks(s.BoxList);
    if (s.HelpRequested || args.empty()) ShowUsage();
    if (s.BoxList.empty()) ErrorHalt(100, Tr("Fehler: keine Config-Datei angegeben"));

    SetQvPath(s);
    FindSpoolDir(s);
    FindLogDir(s);
    if (!s.CheckOnly) StartRunLog(s.LogDir + "qv-ppp.log");
}

} // namespace brix
