#pragma once
// A scripted fake server for the protocol tests: it listens on 127.0.0.1 on
// a free port, plays one dialogue per accepted connection, records every
// byte the client sent, and notes every step where the client did not say
// what the script expected. It never runs longer than its deadline.
//
// Typical use:
//
//   using brix::testing::Script;
//   brix::testing::ScriptServer server(Script()
//       .Send("+OK ready <1.2@host>")       // greeting
//       .Expect("USER joe").Send("+OK")
//       .Expect("RETR 1").Send("+OK").SendLines({"line", "..dotted", "."})
//       .Expect("QUIT").Send("+OK bye"));
//   client.Service = server.PortText();
//   client.Connect("127.0.0.1");  ...  client.Disconnect();
//   EXPECT_TRUE(server.Passed()) << server.Report();
//   EXPECT_EQ(server.Received(), "USER joe\r\nRETR 1\r\nQUIT\r\n");
//
// Several scripts: connection i (in the order the connections arrive) plays
// scripts[i]; each connection is served by its own thread, so a client may
// hold two connections at once. Further connections are refused.
//
// Rules:
// - Expect* steps read one line from the client (up to LF). The line must end
//   in CR LF; the text before it must match. A mismatch is recorded as a
//   failure and the script goes on.
// - When a script ends without Close or Reset, the server keeps reading until
//   the client closes; anything it sends then is recorded and reported as a
//   failure ("after the end of the script").
// - Received(), ReceivedLines(), Failures(), Passed() and Report() wait until
//   every script has finished and its client has closed (or the deadline has
//   passed), so close the client first, or they wait for the deadline.
// - At the deadline (default 5 s after construction) every connection is
//   closed and "deadline" is recorded as a failure. The destructor stops at
//   once without waiting for the deadline.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ssl_st;

namespace brix::testing {

class Script {
  public:
    // Sends line + CR LF.
    Script& Send(const std::string& line);
    // Sends each line + CR LF, in one piece.
    Script& SendLines(const std::vector<std::string>& lines);
    // Sends line + LF only.
    Script& SendLf(const std::string& line);
    // Sends exactly these bytes (partial lines, odd line ends).
    Script& SendRaw(const std::string& bytes);
    // The client's next line must be exactly this text.
    Script& Expect(const std::string& line);
    // The client's next line must begin with this text.
    Script& ExpectPrefix(const std::string& prefix);
    // Reads one line, whatever it holds.
    Script& ExpectAny();
    // Reads lines up to and including a line that is exactly "." (a DATA or
    // POST body); the lines are only recorded.
    Script& ExpectBody();
    // Sends that follow go out one byte per send, about 1 ms apart.
    Script& ByteByByte(bool on = true);
    // Sends that follow go out in pieces of this many bytes, about 1 ms
    // apart (0: whole).
    Script& Chunked(std::size_t bytes);
    Script& Pause(int milliseconds);
    // Closes the connection now (FIN); nothing after this step is played.
    Script& Close();
    // Aborts the connection now (RST); nothing after this step is played.
    Script& Reset();
    // Starts TLS as the server with this certificate (chain) and key; the
    // steps that follow go through TLS, and Received() records the bytes
    // decrypted. A failed handshake is recorded and ends the connection.
    // The end of the script closes TLS with close_notify; Close and Reset
    // cut it without one.
    Script& StartTls(const std::string& certFile, const std::string& keyFile);

    enum class Kind {
        Send,
        Expect,
        ExpectPrefix,
        ExpectAny,
        ExpectBody,
        Chunk,
        Pause,
        Close,
        Reset,
        Tls
    };
    struct Step {
        Kind kind;
        std::string text;
        std::size_t number = 0;
        std::string key = {};
    };
    const std::vector<Step>& Steps() const { return steps_; }

  private:
    std::vector<Step> steps_;
};

class ScriptServer {
  public:
    explicit ScriptServer(Script script,
                          std::chrono::milliseconds deadline = std::chrono::seconds(5));
    explicit ScriptServer(std::vector<Script> scripts,
                          std::chrono::milliseconds deadline = std::chrono::seconds(5));
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    int Port() const { return port_; }
    // The port as the clients' Service text.
    std::string PortText() const { return std::to_string(port_); }

    // Waits until every script has been played and its client has closed,
    // or the deadline has passed.
    void Join();
    // Number of connections accepted.
    std::size_t Connections();
    // Every byte the client sent on that connection.
    std::string Received(std::size_t connection = 0);
    // The same split at LF, one CR before it dropped.
    std::vector<std::string> ReceivedLines(std::size_t connection = 0);
    std::vector<std::string> Failures();
    bool Passed() { return Failures().empty(); }
    // Failures and transcripts, for a test's failure message.
    std::string Report();

  private:
    struct Connection {
        int fd = -1;
        std::string received;
        std::string pending; // received but not yet consumed by a step
        std::thread thread;
        bool done = false;
        ::ssl_st* ssl = nullptr;
    };

    void AcceptLoop();
    void Play(std::size_t index);
    bool ReadLine(Connection& c, std::string& line, bool& crlf);
    bool ReadMore(Connection& c);
    bool Handshake(Connection& c, const Script::Step& step);
    void SendBytes(Connection& c, const std::string& bytes, std::size_t chunk);
    void Fail(std::size_t index, const std::string& what);
    bool Expired() const;

    std::vector<Script> scripts_;
    std::chrono::steady_clock::time_point deadline_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Connection> connections_;
    std::vector<std::string> failures_;
    std::thread acceptor_;
    bool joined_ = false;
};

} // namespace brix::testing
