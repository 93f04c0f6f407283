#include "context/early_connection.h"

#include "context/abort.h"
#include "context/job.h"
#include "context/log.h"
#include "context/secret.h"
#include "support/text.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <system_error>
#include <utility>

namespace brix {

namespace {

std::int64_t SteadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Something came from the server while the connection waited for its
// turn (a 421, the end of the stream): an idle session has nothing to hear.
bool PeerHasSpoken(const TAbsClient& client) {
    pollfd p{client.Socket->Handle, POLLIN, 0};
    return client.Socket->Handle != -1 && ::poll(&p, 1, 0) != 0;
}

bool IsAbort(const std::exception_ptr& error) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const ebrix_break&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

bool SameServer(const ServerProfile& a, const ServerProfile& b) {
    return LowerAscii(Trimmed(a.host)) == LowerAscii(Trimmed(b.host)) &&
           LowerAscii(Trimmed(a.port)) == LowerAscii(Trimmed(b.port));
}

TEarlyConnection::TEarlyConnection(TAbsClient& client, const ServerProfile& profile,
                                   const char* job)
    : client_(client), profile_(profile), job_(job), login_(LoginOf(profile, false)),
      since_(AbortsSoFar()) {
    PrepareClient(client_, profile_);
    // Every line the opening writes is kept for its turn.
    client_.OnLogLine = [this](const std::string& line) {
        events_.push_back({Event::Protocol, line});
    };
    client_.Socket->OnLogLine = [this](const std::string& line) {
        events_.push_back({Event::Socket, line});
    };
    // The signals that stop the job are the program thread's: this one
    // blocks them all from its start.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    try {
        thread_ = std::thread([this] { Run(); });
        started_ = true;
    } catch (const std::system_error&) {
        client_.OnLogLine = nullptr;
        client_.Socket->OnLogLine = nullptr;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void TEarlyConnection::Run() {
    TAbortFromOwner watch(since_, cancel_);
    try {
        // The secret before the connection, as in its turn: a helper command
        // that fails leaves the server untouched.
        if (login_.LogIn) {
            login_.Secret = SecretOf(profile_.secret, [this](const std::string& line) {
                events_.push_back({Event::Note, line});
            });
            client_.OnSecret = [this] { events_.push_back({Event::Secret, {}}); };
        }
        if (!profile_.proxy.User.empty())
            client_.Socket->Proxy.Password =
                SecretOf(profile_.proxySecret, [this](const std::string& line) {
                    events_.push_back({Event::Note, line});
                });
        client_.Connect(profile_.host);
        CheckUserAbort();
        client_.Open(login_);
        loggedInUs_ = SteadyUs();
    } catch (...) {
        error_ = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    ended_.notify_all();
}

void TEarlyConnection::Settle(bool raise) {
    if (!thread_.joinable()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
        // The user may stop the job while the thread still waits for its
        // server: the wait ends with the thread's next abort check.
        ended_.wait_for(lock, std::chrono::milliseconds(100));
        if (done_ || abort_) continue;
        lock.unlock();
        try {
            CheckUserAbort();
        } catch (const ebrix_break&) {
            abort_ = std::current_exception();
            cancel_ = true;
        }
        lock.lock();
    }
    lock.unlock();
    thread_.join();
    if (raise && abort_) std::rethrow_exception(std::exchange(abort_, nullptr));
}

void TEarlyConnection::Stop() noexcept {
    cancel_ = true;
    if (thread_.joinable()) thread_.join();
}

void TEarlyConnection::Replay(const char* job) {
    for (const Event& e : events_) {
        switch (e.kind) {
        case Event::Protocol:
            if (client_.OnLogLine) client_.OnLogLine(e.text);
            break;
        case Event::Socket:
            if (client_.Socket->OnLogLine) client_.Socket->OnLogLine(e.text);
            break;
        case Event::Note:
            WriteLog(e.text, 2);
            break;
        case Event::Secret:
            // The warning of a password sent in plain text, in its place.
            if (!client_.OnSecret) WatchForPlainText(job, client_, login_.User);
            client_.OnSecret();
            break;
        }
    }
    events_.clear();
}

void TEarlyConnection::Take(tbrix_sinf* status) {
    Settle();
    taken_ = true;
    // A stop met while this connection was on its way ends the job before
    // its turn, as the abort check before an opening would.
    if (abort_) std::rethrow_exception(abort_);
    if (IsAbort(error_)) std::rethrow_exception(error_);
    client_.OnLogLine = nullptr;
    client_.Socket->OnLogLine = nullptr;
    client_.OnSecret = nullptr;
    if (!error_ && (SteadyUs() - loggedInUs_ > kStaleMs * 1000 || PeerHasSpoken(client_))) {
        // Idle too long to trust: opened anew, as in a run one at a time.
        // Only closed: its QUIT would hold the abort check back while the
        // next server's opening may be waiting (an idle session has nothing
        // to commit).
        Discard(false);
        client_.OnLogLine = nullptr;
        client_.Socket->OnLogLine = nullptr;
        client_.OnSecret = nullptr;
        OpenConnection(client_, profile_, job_, status);
        return;
    }
    AnnounceConnection(client_, profile_, job_, status);
    if (login_.LogIn) WatchForPlainText(job_, client_, login_.User);
    Replay(job_);
    if (error_) std::rethrow_exception(error_);
    LogOpenNotes(client_);
    CheckUserAbort();
}

void TEarlyConnection::Discard(bool goodbye) noexcept {
    try {
        // What was said goes to the box log under the server's heading (an
        // opening stopped before its first word leaves none).
        if (!events_.empty()) {
            OpenTranscript(client_, std::string(job_) + " " + profile_.Where());
            Replay(job_);
        }
        client_.OpenNotes.clear();
        // An opening cut short owes its answer (the greeting, a login
        // reply): only one that went through is in step for QUIT.
        if (goodbye && !error_) {
            client_.Socket->Timeout = std::min(client_.Socket->Timeout, kGoodbyeWait);
            SayGoodbye(client_, true);
        }
    } catch (...) {
        // The connection is gone either way.
    }
    try {
        client_.Socket->Disconnect();
    } catch (...) {
    }
}

TEarlyConnection::~TEarlyConnection() {
    if (!started_) return;
    Stop();
    if (taken_) return;
    client_.OnLogLine = nullptr;
    client_.Socket->OnLogLine = nullptr;
    client_.OnSecret = nullptr;
    Discard(true);
}

} // namespace brix
