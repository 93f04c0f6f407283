#include "context/log.h"

#include "context/settings.h"
#include "platform/console.h"
#include "platform/program_end.h"
#include "platform/textfile.h"
#include "support/errors.h"

#include <set>
#include <sys/stat.h>

namespace brix {

namespace {
bool gScreenShown = false;
bool gFailed = false;
bool gStopped = false;
// Log files whose writing failed in this run.
std::set<std::string> gFailedLogs;

bool FailuresToStandardError() {
    return ConsoleQuiet() || (!TheConsole().IsScreen() && !Settings().VerboseMode);
}

void SafeAppend(const std::string& file, const std::string& line, bool stamped) {
    if (gFailedLogs.count(file)) return;
    // A box log holds the dialogues: only its owner may read it.
    const bool ownerOnly = file != RunLogPath();
    try {
        if (stamped)
            AppendStampedLine(file, line, ownerOnly);
        else
            AppendLine(file, line, ownerOnly);
    } catch (const EInOutError& e) {
        gFailedLogs.insert(file);
        const std::string report = "Error (log): " + e.Message();
        if (FailuresToStandardError())
            WriteErrorLine(report);
        else
            TheConsole().WriteLine(report);
        if (file != RunLogPath()) SafeAppend(RunLogPath(), report, true);
    }
}
} // namespace

void SetLogScreenShown(bool shown) {
    gScreenShown = shown;
}

std::string RunLogPath() {
    return Settings().LogDir + "qv-ppp.log";
}
std::string BoxLogPath() {
    return Settings().LogDir + Settings().CurrentBox + ".log";
}

void WriteLog(const std::string& message, int level) {
    const RunSettings& s = Settings();
    if (!gScreenShown && (s.VerboseMode || (level & 1))) TheConsole().WriteLine(message);
    if (level & 1) SafeAppend(RunLogPath(), message, true);
    if ((level & 2) && s.DebugLevel > 0) SafeAppend(BoxLogPath(), message, false);
}

void WriteFailure(const std::string& message) {
    gFailed = true;
    ++Totals().errors;
    if (!FailuresToStandardError()) return WriteLog(message, 3);
    WriteErrorLine(message);
    SafeAppend(RunLogPath(), message, true);
    if (Settings().DebugLevel > 0) SafeAppend(BoxLogPath(), message, false);
}

void WriteStop(const std::string& message) {
    WriteFailure(message);
    gStopped = true;
}

void WriteWarning(const std::string& message) {
    // -q is for cron, whose mail should come only when something failed.
    if (!ConsoleQuiet()) WriteErrorLine(message);
    SafeAppend(RunLogPath(), message, true);
}

void RotateLog(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_size <= kLogRotateBytes) return;
    for (int k = kLogsKept - 1; k >= 1; --k)
        ::rename((path + "." + std::to_string(k)).c_str(),
                 (path + "." + std::to_string(k + 1)).c_str());
    // A log that cannot move aside is only longer: the run goes on.
    ::rename(path.c_str(), (path + ".1").c_str());
}

RunTotals& Totals() {
    static RunTotals totals;
    return totals;
}

std::string CountOf(std::int64_t n, const char* one, const char* many) {
    if (n == 0) return std::string("no ") + many;
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ClosingLine(const RunTotals& t, int exitCode) {
    return "End of run: " + CountOf(t.boxes, "box", "boxes") + ", " +
           CountOf(t.mailsIn, "mail", "mails") + " in, " + CountOf(t.mailsOut, "mail", "mails") +
           " out, " + CountOf(t.articlesIn, "article", "articles") + " in, " +
           CountOf(t.articlesOut, "article", "articles") + " out, " +
           CountOf(t.errors, "error", "errors") + "; exit code " + std::to_string(exitCode);
}

void CloseRunLog(int exitCode) {
    SafeAppend(RunLogPath(), ClosingLine(Totals(), exitCode), true);
}

int RunExitCode() {
    if (gStopped) return kExitStopped;
    return gFailed ? kExitJobFailed : 0;
}

void NoteStopped() {
    gStopped = true;
}

void LogProtocolLine(const std::string& line) {
    if (Settings().VerboseMode) TheConsole().WriteLine(line);
    SafeAppend(BoxLogPath(), line, false);
}

void AppendBoxLog(const std::string& line, bool stamped) {
    SafeAppend(BoxLogPath(), line, stamped);
}

} // namespace brix
