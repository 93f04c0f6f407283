#pragma once
// A scripted proxy for the tests: SOCKS5 (RFC 1928, RFC 1929's login) or
// HTTP CONNECT, on 127.0.0.1 on a free port, in threads of its own. Each
// connection goes, whatever server it asks for, to 127.0.0.1:targetPort (a
// scripted or a real server) unless a route names it, or is broken at a
// chosen step of the handshake:
//
//   ScriptProxy proxy({.targetPort = server.Port()});
//   ... box: PROXY=socks5://127.0.0.1:<proxy.Port()> ...
//   EXPECT_EQ(proxy.Requests(), (std::vector<std::string>{"name pop.example:110"}));
//
// Once the tunnel is open the proxy sends its last answer together with
// the server's first bytes, in one segment, as a fast proxy does.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brix::testing {

class ScriptProxy {
  public:
    enum class Kind { Socks5, Http };
    // The handshake's steps, in their order: what the client says
    // (Greeting, Login, Request) and what the proxy answers (MethodChoice,
    // the login's status comes with Login, Reply, HttpHead).
    enum class Step { None, Greeting, MethodChoice, Login, Request, Reply, HttpHead };
    // At a step of the client: Cut closes and Stall says nothing once it
    // has been read. At one of the proxy: both send the answer's first byte
    // (HTTP: its status line) before that. Refuse answers it with a
    // refusal: at the greeting a version other than 5, the method X'FF',
    // the login's status 1, the request's reply code 2, the reply's
    // replyCode, the HTTP head's refusal. Endless sends header lines
    // without end (HTTP head).
    enum class Fault { Refuse, Cut, Stall, Endless };

    struct Options {
        Kind kind = Kind::Socks5;
        // A login is required when a user is set.
        std::string user = {};
        std::string password = {};
        int targetPort = 0;
        // Other targets by what was asked for ("name pop2.example:995"):
        // the connections are served side by side.
        std::vector<std::pair<std::string, int>> routes = {};
        Step step = Step::None;
        Fault fault = Fault::Refuse;
        std::uint8_t replyCode = 5;
        std::string refusal = "HTTP/1.1 403 Forbidden";
        // ATYP of the bound address in a successful reply: 1, 3 or 4.
        std::uint8_t boundType = 1;
    };

    explicit ScriptProxy(Options options);
    ~ScriptProxy();
    ScriptProxy(const ScriptProxy&) = delete;
    ScriptProxy& operator=(const ScriptProxy&) = delete;

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    // "socks5://user@127.0.0.1:port" or "http://...", the user when set.
    std::string Url() const;

    // What each connection asked for: "name pop.example:110", "ipv4
    // 127.0.0.1:110" or "ipv6 ::1:110" (SOCKS5), "CONNECT host:port
    // HTTP/1.1" (HTTP).
    std::vector<std::string> Requests();
    // The HTTP request heads as they came.
    std::vector<std::string> Heads();
    // Logins seen, "user:password".
    std::vector<std::string> Logins();

  private:
    void Serve(int fd);
    void Socks5(int fd);
    void Http(int fd);
    // Opens the tunnel: connects to the target, sends answer with the
    // target's first bytes, then relays until one side closes.
    void Tunnel(int fd, const std::string& answer, const std::string& asked);
    void Stall(int fd);
    bool ReadExact(int fd, std::string& out, std::size_t count);
    bool Stopping() const { return stop_; }

    Options options_;
    int listener_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> requests_, heads_, logins_;
    std::thread thread_;
    std::vector<std::thread> connections_;
};

} // namespace brix::testing
