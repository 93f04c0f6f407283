#pragma once
// The skeleton every job runs in: the catch levels that scope a failure to
// the job it spoils, the one "Error (job): " line, and the goodbye.

#include "clients/abs_client.h"
#include "support/errors.h"

#include <exception>
#include <functional>

namespace brix {

// Runs a job. A user abort (ebrix_break) is logged with its message alone;
// a client or socket error (EsktException) and the job's own errors
// (ebrix_joberror) end the job with "Error (" + job + "): " + the message at
// level 3. Anything else ends the run through its exception report.
void RunJob(const char* job, const std::function<void()>& body);
// The same for one part of a job (one server of a box's list): its failure
// is logged and the job goes on with the next part; a user abort goes on to
// the job's own RunJob and ends the whole job. An I/O error (a spool or
// state directory that cannot be written) is the job's error too, naming
// the file and the cause; the run goes on.
void RunJobPart(const char* job, const std::function<void()>& body);

// The "Error (job): " line of a failure that comes while the job already
// ends on another one (state that cannot be saved after a lost connection).
// In English it names the box and the job's server ("Error (getmail, box
// BOX1, joe@pop.example:995): ...") and gives the system's words beside an
// error number.
void LogJobError(const char* job, const Exception& error);
// The server of the job's part, for its error lines: "user@host:port", and
// its time-out ("Connection timed out after 60 s").
void SetJobServer(const std::string& where, int timeoutSeconds);

// The job's transcript in the box debug log, as DebugLevel asks: the
// client's commands and replies from level 1, the socket's own lines from
// level 2, after an empty line and the job's stamped heading ("getmail
// host:port").
void OpenTranscript(TAbsClient& client, const std::string& heading);

// Runs the session of a job on its connection, then end(failing) on every way
// out; a failure raised by the end part of a failing session replaces the
// first one. After a user abort the goodbye is capped at kGoodbyeWait first:
// the user may have stopped the job because the server hangs.
void RunSession(TAbsClient& client, const std::function<void()>& session,
                const std::function<void(bool failing)>& end);

// What the goodbye came to: whether it was said and answered, and its own
// failure when nothing failed before it.
struct TGoodbye {
    bool said = false;
    std::exception_ptr error;
};
// The client's Disconnect: its QUIT (when the connection can take it), then
// the close. When the job fails already, a failing goodbye is dropped (the
// first error is the one to report) and the socket closed; otherwise its
// error is handed back, to be raised once the caller's end part is done.
TGoodbye SayGoodbye(TAbsClient& client, bool failing);

} // namespace brix
