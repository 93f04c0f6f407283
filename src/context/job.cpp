#include "context/job.h"

#include "context/abort.h"
#include "context/log.h"
#include "context/settings.h"

#include <algorithm>

namespace brix {

void LogJobError(const char* job, const Exception& error) {
    WriteFailure(std::string("Error (") + job + "): " + error.Message());
}

void RunJobPart(const char* job, const std::function<void()>& body) {
    try {
        body();
    } catch (const EsktException& e) {
        LogJobError(job, e);
    } catch (const ebrix_joberror& e) {
        LogJobError(job, e);
    } catch (const EInOutError& e) {
        // A spool or state file that cannot be written spoils this job, not
        // the run: the next job and the next box still get their turn.
        LogJobError(job, e);
    } catch (const EStringListError& e) {
        LogJobError(job, e);
    }
}

void RunJob(const char* job, const std::function<void()>& body) {
    try {
        RunJobPart(job, body);
    } catch (const ebrix_break& e) {
        WriteStop(e.Message());
    }
}

void OpenTranscript(TAbsClient& client, const std::string& heading) {
    const RunSettings& s = Settings();
    if (s.DebugLevel < 1) return;
    client.OnLogLine = LogProtocolLine;
    if (s.DebugLevel > 1) client.Socket->OnLogLine = LogProtocolLine;
    client.DoLogLine("");
    AppendBoxLog(heading, true);
}

void RunSession(TAbsClient& client, const std::function<void()>& session,
                const std::function<void(bool failing)>& end) {
    try {
        session();
    } catch (const ebrix_break&) {
        client.Socket->Timeout = std::min(client.Socket->Timeout, kGoodbyeWait);
        end(true);
        throw;
    } catch (...) {
        end(true);
        throw;
    }
    end(false);
}

TGoodbye SayGoodbye(TAbsClient& client, bool failing) {
    TGoodbye bye;
    // A job that ends with commands in flight (an error, an abort) first
    // reads what the server still owes, so that the goodbye can be said:
    // POP3 commits at QUIT the deletions of messages stored safely.
    client.Drain(kGoodbyeWait);
    const bool sayable = client.CanSayGoodbye();
    try {
        client.Disconnect();
        bye.said = sayable;
    } catch (const EsktException&) {
        if (!failing) bye.error = std::current_exception();
        try {
            client.Socket->Disconnect();
        } catch (const EsktException&) { /* the socket is gone either way */
        }
    }
    return bye;
}

} // namespace brix
