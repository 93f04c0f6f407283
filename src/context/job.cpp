#include "context/job.h"

#include "context/abort.h"
#include "context/log.h"
#include "context/settings.h"
#include "support/language.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brix {

namespace {

// The server the job talks to now ("joe@pop.example:995"), for its error
// lines; set by OpenConnection, cleared when the part ends.
std::string gServer;
// Its time-out in seconds, for a wait that ran out.
int gTimeoutSeconds = 0;

// "(Error=111)" with the system's words beside the number:
// "(Error=111: Connection refused)".
std::string WithSystemWords(const std::string& message) {
    const std::size_t at = message.rfind("(Error=");
    if (at == std::string::npos) return message;
    const std::size_t from = at + 7, to = message.find(')', from);
    if (to == std::string::npos || to == from) return message;
    int number = 0;
    for (std::size_t i = from; i < to; ++i) {
        if (message[i] < '0' || message[i] > '9' || number > 100000) return message;
        number = number * 10 + (message[i] - '0');
    }
    std::string words = std::strerror(number);
    if (number == ETIMEDOUT && gTimeoutSeconds > 0)
        words += " after " + std::to_string(gTimeoutSeconds) + " s";
    return message.substr(0, to) + ": " + words + message.substr(to);
}

} // namespace

void SetJobServer(const std::string& where, int timeoutSeconds) {
    gServer = where;
    gTimeoutSeconds = timeoutSeconds;
}

void LogJobError(const char* job, const Exception& error) {
    // The design's line as it is; in English it also says which box, server
    // and user it concerns, so that cron mail from two boxes can be told
    // apart, and what the system's error number means.
    if (CurrentLanguage() != TLanguage::English)
        return WriteFailure(std::string("Error (") + job + "): " + error.Message());
    std::string where = "box " + Settings().CurrentBox;
    if (!gServer.empty()) where += ", " + gServer;
    WriteFailure(std::string("Error (") + job + ", " + where +
                 "): " + WithSystemWords(error.Message()));
}

void RunJobPart(const char* job, const std::function<void()>& body) {
    struct ServerScope {
        ~ServerScope() { SetJobServer("", 0); }
    } scope;
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
