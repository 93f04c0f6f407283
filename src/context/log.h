#pragma once
// The run log "qv-ppp.log" and the box debug log (box name + ".log").

#include <cstdint>
#include <string>

namespace brix {

// Level bit 1: stamped line in the run log; bit 2: plain line in the box
// debug log when DebugLevel > 0. In verbose mode every message is echoed to
// the console; without it, level-1 messages reach the console only while no
// status screen is shown (before it is created and after it is released).
void WriteLog(const std::string& message, int level);

// A failure of a job or of the run (an "Error (job): " line, the abort line,
// the exception report): written like WriteLog(message, 3) and noted for the
// exit code. When nobody watches the console (standard output is no
// terminal and -v is not given, or -q) it goes to standard error instead, so
// that a scheduled run reports it.
void WriteFailure(const std::string& message);
// The abort line ("aborted by user ..."): as WriteFailure, noted as a stop.
void WriteStop(const std::string& message);
// A warning about the user's own files: the run log, and standard error
// unless -q.
void WriteWarning(const std::string& message);

// The exit code of the run so far: 0 when nothing failed, kExitStopped when
// the user stopped it, else kExitJobFailed when anything failed.
int RunExitCode();
// A stop that reached no job (a signal after the last abort check).
void NoteStopped();

// A protocol line of a client or socket (debug log only; console in verbose
// mode). Installed by the jobs as their clients' log-line callback.
void LogProtocolLine(const std::string& line);

// A line of the box debug log written by the job sequence or a job itself
// (the banner, "getmail host:port" with a time stamp).
void AppendBoxLog(const std::string& line, bool stamped);

// A log that cannot be written (a full disk) never ends a job: its first
// failure is reported on the console and in the run log when that still
// works, and its later lines are dropped.

// Told by the job sequence while the status screen is shown.
void SetLogScreenShown(bool shown);

std::string RunLogPath();
std::string BoxLogPath();

// A log beyond kLogRotateBytes moves aside before this run writes to it:
// NAME.1 is the last one, up to NAME.3; the oldest goes. The host reader
// keeps finding the current log under its own name.
constexpr std::int64_t kLogRotateBytes = 1 << 20;
constexpr int kLogsKept = 3;
void RotateLog(const std::string& path);

// What the run carried, for the closing line of the run log.
struct RunTotals {
    int boxes = 0;
    std::int64_t mailsIn = 0, mailsOut = 0, articlesIn = 0, articlesOut = 0;
    int errors = 0;
};
RunTotals& Totals();
// "3 mails", "1 mail", "no mails".
std::string CountOf(std::int64_t n, const char* one, const char* many);
// The run log's last line of the run: what was carried, the errors and the
// exit code ("End of run: 1 box, 3 mails in, 1 mail out, no articles in, no
// articles out, no errors; exit code 0").
std::string ClosingLine(const RunTotals& totals, int exitCode);
void CloseRunLog(int exitCode);

} // namespace brix
