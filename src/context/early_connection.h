#pragma once
// A connection to the next server of a box's list, opened on a thread of its
// own while the job is still busy with the server before it, so that its
// connect, TLS and login cost no wall time of their own. Nothing of it shows
// before its turn: the thread writes no log, no transcript, no status and
// reads no key; what the opening would have written is kept, in order, and
// written when the turn comes, followed by the opening's failure raised as
// OpenConnection would have raised it.
//
// Use by a job (one ahead at most, the current connection's goodbye after
// Settle):
//   TEarlyConnection next(client, profile, "getmail");
//   ... the current server's transfer ...
//   next.Settle();           // before the current server's goodbye
//   ... the current server's goodbye ...
//   next.Take(status);       // the next server's turn: instead of OpenConnection

#include "clients/abs_client.h"
#include "context/server.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brix {

class tbrix_sinf;

// Two servers reached on the same host and port. A provider may count the
// connections of an account (or of a host) and refuse a second one, and a
// mailbox is locked by the session that holds it: such servers keep their
// turns one after the other.
bool SameServer(const ServerProfile& a, const ServerProfile& b);

class TEarlyConnection {
  public:
    // An opening that waited longer than this after its login is not taken,
    // nor one whose server has spoken or hung up meanwhile: a POP3 server may
    // log an idle session out after ten minutes (RFC 1939 section 3), an
    // SMTP server waits five for the next command (RFC 5321 section
    // 4.5.3.2.7), and some leave sooner under load. Such a connection is
    // closed and the server opened anew in its turn, as one at a time.
    static constexpr std::int64_t kStaleMs = 4 * 60'000;

    // Prepares client for profile and starts the thread: the secret (its
    // command included), the connection, TLS, the greeting and the login.
    // Started() is false when no thread could be made: the job opens the
    // connection in its turn as ever.
    TEarlyConnection(TAbsClient& client, const ServerProfile& profile, const char* job);
    // A connection that had no turn (the job stopped first) is closed: QUIT
    // when it is in step, within kGoodbyeWait; its transcript goes to the
    // box log. The thread is stopped and waited for.
    ~TEarlyConnection();
    TEarlyConnection(const TEarlyConnection&) = delete;
    TEarlyConnection& operator=(const TEarlyConnection&) = delete;

    bool Started() const { return started_; }

    // Waits for the thread to end, hearing the user's abort on the way: an
    // abort stops the thread and is raised now when `raise`, else by Take
    // (a goodbye must not be cut short by it). Called before the job's own
    // goodbye and before anything else that the socket layer's waits on the
    // thread would read (the hold a goodbye puts on the abort check, the
    // grace of a verdict).
    void Settle(bool raise = false);
    // Stops the thread and waits for it, nothing else. A job stops every
    // opening it has before any of them is closed: closing says goodbye,
    // which must not overlap another opening's waits either.
    void Stop() noexcept;
    // The server's turn, in OpenConnection's place: the user's abort met
    // while waiting first; then the lines OpenConnection writes and those of
    // the opening, in their order; then the opening's failure, or its notes.
    void Take(tbrix_sinf* status);

  private:
    struct Event {
        enum Kind { Protocol, Socket, Note, Secret } kind;
        std::string text;
    };
    void Run();
    // The lines of the opening, in their order, through the transcript's
    // callbacks that AnnounceConnection (or OpenTranscript) installed.
    void Replay(const char* job);
    // Closes a connection that is not taken, after writing its transcript;
    // with QUIT when `goodbye` and the opening went through.
    void Discard(bool goodbye) noexcept;

    TAbsClient& client_;
    const ServerProfile profile_;
    const char* job_;
    TServerLogin login_;
    const std::uint64_t since_;
    std::atomic<bool> cancel_{false};
    bool started_ = false;

    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    std::thread thread_;

    // Written by the thread only, read once it has ended.
    std::vector<Event> events_;
    std::exception_ptr error_;
    std::int64_t loggedInUs_ = 0;

    std::exception_ptr abort_;
    bool taken_ = false;
};

// Declared after a job's two connections (the current one and the next,
// each a client with its `early` opening): leaving the scope stops both
// openings before either connection is closed.
template <class Connection> class TStopOpenings {
  public:
    TStopOpenings(std::unique_ptr<Connection>& current, std::unique_ptr<Connection>& next)
        : current_(current), next_(next) {}
    ~TStopOpenings() {
        for (Connection* c : {current_.get(), next_.get()})
            if (c && c->early) c->early->Stop();
    }
    TStopOpenings(const TStopOpenings&) = delete;
    TStopOpenings& operator=(const TStopOpenings&) = delete;

  private:
    std::unique_ptr<Connection>& current_;
    std::unique_ptr<Connection>& next_;
};

// The servers of a job's list one after the other, the next one opened
// ahead (unless it is the same server) while Turn works on this one:
// Turn(index, client, early, next) gets the server's client, its own
// opening (null: none was made, it opens in its turn) and the next one's
// (to Settle before its goodbye). Turn returns false to end the list. A
// connection whose turn never came is closed once the next opening has
// ended: its goodbye must not overlap that opening's waits.
template <class Client, class Turn>
void ServersInTurn(const std::vector<ServerProfile>& profiles, const char* job, Turn turn) {
    struct Connection {
        Client client;
        std::unique_ptr<TEarlyConnection> early;
    };
    std::unique_ptr<Connection> current, next;
    const TStopOpenings<Connection> stop(current, next);
    for (std::size_t i = 0; i < profiles.size(); ++i) {
        if (next && next->early) next->early->Settle();
        current = next ? std::move(next) : std::make_unique<Connection>();
        if (i + 1 < profiles.size() && !SameServer(profiles[i + 1], profiles[i])) {
            next = std::make_unique<Connection>();
            next->early = std::make_unique<TEarlyConnection>(next->client, profiles[i + 1], job);
            if (!next->early->Started()) next->early.reset();
        }
        if (!turn(i, current->client, current->early.get(), next ? next->early.get() : nullptr))
            break;
    }
}

} // namespace brix
