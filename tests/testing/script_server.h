#pragma once
// A scripted fake server for the protocol tests. It listens on 127.0.0.1 (or
// ::1) on a free port, plays its script, in a thread of its own, to the one
// connection it accepts (further connections are refused), records every
// byte the client sent and notes every step where the client did not say
// what the script expected:
//
//   ScriptServer server(Script().Send("+OK ready").Expect("USER joe").Send("+OK"));
//   ... the client talks to 127.0.0.1:server.PortText() and closes ...
//   EXPECT_TRUE(server.Passed()) << server.Report();
//
// Expect* steps read one line, which must end in CR LF. A script that ends
// without Close reads on until the client closes; whatever the
// client sends then is a failure. Received(), Passed() and Report() wait
// until the client has closed or the deadline (default 5 s) has passed.

#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

struct ssl_st;

namespace brix::testing {

// A multi-line answer: the reply line, the lines dot-stuffed, ".".
std::vector<std::string> DataLines(const std::string& reply, const std::vector<std::string>& lines);

class Script {
  public:
    // Gets each further line of the client (without CR LF) and sets the
    // bytes to send back; returning false closes the connection after them.
    using Answerer = std::function<bool(const std::string& line, std::string& reply)>;

    Script& Send(const std::string& line) { return SendRaw(line + "\r\n"); }
    Script& SendLines(const std::vector<std::string>& lines);
    Script& SendData(const std::string& reply, const std::vector<std::string>& lines) {
        return SendLines(DataLines(reply, lines));
    }
    // The bytes `times` times over, or until the client has gone.
    Script& SendRaw(const std::string& bytes, int times = 1) {
        return Add(Kind::Send, bytes, times);
    }
    Script& Expect(const std::string& line) { return Add(Kind::Expect, line); }
    Script& ExpectPrefix(const std::string& prefix) { return Add(Kind::ExpectPrefix, prefix); }
    // Lines up to and including "." (a DATA or POST body).
    Script& ExpectBody() { return Add(Kind::ExpectBody); }
    Script& Pause(int ms) { return Add(Kind::Pause, {}, ms); }
    Script& Close() { return Add(Kind::Close); } // FIN, end of the script
    Script& Answer(Answerer answerer) { return Add(Kind::Answer, {}, 0, std::move(answerer)); }
    // Waits until `ready` (a step of another server, told by a flag) or the
    // deadline, which is a failure naming `what`: the order of two servers'
    // steps shown by cause, not by the clock.
    Script& WaitUntil(std::function<bool()> ready, const std::string& what) {
        return Add(
            Kind::Wait, what, 0,
            [ready = std::move(ready)](const std::string&, std::string&) { return ready(); });
    }
    // Runs `act` when its turn comes (sets another server's flag).
    Script& Do(std::function<void()> act) {
        return Add(Kind::Do, {}, 0, [act = std::move(act)](const std::string&, std::string&) {
            act();
            return true;
        });
    }
    // Starts TLS as the server with this certificate (chain) and key; later
    // steps go through TLS and Received() records the decrypted bytes. The
    // end of the script sends close_notify; Close cuts TLS without one.
    Script& StartTls(const std::string& certFile, const std::string& keyFile) {
        return Add(Kind::Tls, certFile + "\n" + keyFile);
    }

  private:
    friend class ScriptServer;
    enum class Kind { Send, Expect, ExpectPrefix, ExpectBody, Pause, Close, Answer, Tls, Wait, Do };
    struct Step {
        Kind kind;
        std::string text;
        int number;
        Answerer answerer;
    };
    Script& Add(Kind kind, std::string text = {}, int number = 0, Answerer answerer = {}) {
        steps_.push_back({kind, std::move(text), number, std::move(answerer)});
        return *this;
    }
    std::vector<Step> steps_;
};

class ScriptServer {
  public:
    // Where it listens: 127.0.0.1, or ::1 (tests of IPv6 skip themselves
    // when FreeLoopbackPort6 finds no IPv6 loopback), or 127.0.0.2 or
    // 127.0.0.3 (another host of a box's list); on `port` when given (a
    // second run against the same server: mail identifiers name a port other
    // than POP3's own), else on a free one.
    enum class On { V4, V6, V4Second, V4Third };
    explicit ScriptServer(Script script,
                          std::chrono::milliseconds deadline = std::chrono::seconds(5),
                          On on = On::V4, int port = 0);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    std::string Received() { return Join(), received_; }
    // The lines an Expect step found waiting when its turn came: sent by
    // the client before it had the answers to the steps before them.
    std::vector<std::string> Ahead() { return Join(), ahead_; }
    bool Passed() { return Join(), failures_.empty(); }
    std::string Report();

  private:
    void Play();
    bool ReadLine(std::string& line, bool& crlf);
    bool Send(const std::string& bytes);
    bool Handshake(const std::string& certAndKey);
    bool Expired() const { return stop_ || std::chrono::steady_clock::now() >= deadline_; }

    Script script_;
    std::chrono::steady_clock::time_point deadline_;
    int listener_ = -1, port_ = 0, fd_ = -1;
    ::ssl_st* ssl_ = nullptr;
    std::string received_, pending_;
    std::vector<std::string> ahead_;
    std::atomic<bool> stop_{false};
    std::vector<std::string> failures_;
    std::thread thread_;
};

// Runs f, which must raise E; returns its message ("" when it did not raise).
template <class E, class F> std::string RaisedMessage(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    }
    ADD_FAILURE() << "nothing was raised";
    return {};
}

} // namespace brix::testing
