#include "testing/script_proxy.h"

#include "clients/base64.h"
#include "testing/real_servers.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace brix::testing {

namespace {

// Waits up to ms for fd to be readable (or closed).
bool Readable(int fd, int ms = 10) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

void SendAll(int fd, const std::string& bytes) {
    for (std::size_t pos = 0; pos < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + pos, bytes.size() - pos, MSG_NOSIGNAL);
        if (n <= 0) return;
        pos += static_cast<std::size_t>(n);
    }
}

std::string Byte(int b) {
    return std::string(1, static_cast<char>(b));
}

} // namespace

ScriptProxy::ScriptProxy(Options options) : options_(std::move(options)) {
    port_ = FreeLoopbackPort(&listener_);
    if (listener_ < 0) throw std::runtime_error("ScriptProxy: cannot listen on 127.0.0.1");
    thread_ = std::thread([this] {
        while (!stop_) {
            if (!Readable(listener_)) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            connections_.emplace_back([this, fd] {
                Serve(fd);
                ::close(fd);
            });
        }
        ::close(listener_);
        for (std::thread& c : connections_)
            c.join();
    });
}

ScriptProxy::~ScriptProxy() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

std::string ScriptProxy::Url() const {
    return std::string(options_.kind == Kind::Http ? "http://" : "socks5://") +
           (options_.user.empty() ? "" : options_.user + "@") + "127.0.0.1:" + PortText();
}

std::vector<std::string> ScriptProxy::Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::string> ScriptProxy::Heads() {
    std::lock_guard lock(mutex_);
    return heads_;
}

std::vector<std::string> ScriptProxy::Logins() {
    std::lock_guard lock(mutex_);
    return logins_;
}

bool ScriptProxy::ReadExact(int fd, std::string& out, std::size_t count) {
    out.clear();
    while (out.size() < count) {
        if (stop_) return false;
        if (!Readable(fd)) continue;
        char buf[512];
        const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, count - out.size()), 0);
        if (n <= 0) return false;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

void ScriptProxy::Stall(int fd) {
    // Until the client gives up.
    while (!stop_) {
        if (!Readable(fd)) continue;
        char buf[512];
        if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
    }
}

void ScriptProxy::Serve(int fd) {
    if (options_.kind == Kind::Socks5)
        Socks5(fd);
    else
        Http(fd);
}

void ScriptProxy::Socks5(int fd) {
    const Step step = options_.step;
    const Fault fault = options_.fault;
    // The client's step read, the fault played: false ends the connection.
    auto atClient = [&](Step here) {
        if (step != here) return true;
        if (fault == Fault::Stall) Stall(fd);
        return false;
    };
    std::string head, methods;
    if (!ReadExact(fd, head, 2) || !ReadExact(fd, methods, static_cast<unsigned char>(head[1])))
        return;
    if (step == Step::Greeting && fault == Fault::Refuse) return SendAll(fd, "\x04\x5b");
    if (!atClient(Step::Greeting)) return;
    const char wanted = options_.user.empty() ? '\x00' : '\x02';
    if (step == Step::MethodChoice) {
        if (fault == Fault::Refuse) return SendAll(fd, "\x05\xff");
        SendAll(fd, "\x05");
        if (fault == Fault::Stall) Stall(fd);
        return;
    }
    if (methods.find(wanted) == std::string::npos) return SendAll(fd, "\x05\xff");
    SendAll(fd, "\x05" + Byte(wanted));
    if (wanted == '\x02') {
        std::string version, user, password, length;
        if (!ReadExact(fd, version, 2) ||
            !ReadExact(fd, user, static_cast<unsigned char>(version[1])) ||
            !ReadExact(fd, length, 1) ||
            !ReadExact(fd, password, static_cast<unsigned char>(length[0])))
            return;
        {
            std::lock_guard lock(mutex_);
            logins_.push_back(user + ":" + password);
        }
        if (step == Step::Login && fault == Fault::Refuse) return SendAll(fd, "\x01\x01");
        if (!atClient(Step::Login)) return;
        const bool good = user == options_.user && password == options_.password;
        SendAll(fd, std::string("\x01", 1) + Byte(good ? 0 : 1));
        if (!good) return;
    }
    std::string request, address, length, port;
    if (!ReadExact(fd, request, 4)) return;
    const int atyp = static_cast<unsigned char>(request[3]);
    if (atyp == 3 && !ReadExact(fd, length, 1)) return;
    const std::size_t size = atyp == 1   ? 4
                             : atyp == 4 ? 16
                             : atyp == 3 ? static_cast<unsigned char>(length[0])
                                         : 0;
    if (!ReadExact(fd, address, size) || !ReadExact(fd, port, 2)) return;
    std::string asked;
    if (atyp == 3) {
        asked = "name " + address;
    } else {
        char text[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(atyp == 1 ? AF_INET : AF_INET6, address.data(), text, sizeof text);
        asked = (atyp == 1 ? "ipv4 " : "ipv6 ") + std::string(text);
    }
    asked += ":" + std::to_string(static_cast<unsigned char>(port[0]) * 256 +
                                  static_cast<unsigned char>(port[1]));
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(asked);
    }
    if (step == Step::Request && fault == Fault::Refuse)
        return SendAll(fd, std::string("\x05\x02\x00\x01\0\0\0\0\0\0", 10));
    if (!atClient(Step::Request)) return;
    if (step == Step::Reply) {
        if (fault == Fault::Refuse)
            return SendAll(fd, "\x05" + Byte(options_.replyCode) +
                                   std::string("\x00\x01\0\0\0\0\0\0", 8));
        // The reply's first bytes, not its bound address.
        SendAll(fd, std::string("\x05\x00\x00\x01\x7f", 5));
        if (fault == Fault::Stall) Stall(fd);
        return;
    }
    std::string bound;
    switch (options_.boundType) {
    case 3: {
        const std::string name = "relay.brix.test";
        bound = "\x03" + Byte(static_cast<int>(name.size())) + name;
        break;
    }
    case 4:
        bound = "\x04" + std::string(15, '\0') + "\x01";
        break;
    default:
        bound = std::string("\x01\x7f\x00\x00\x01", 5);
    }
    Tunnel(fd, std::string("\x05\x00\x00", 3) + bound + "\x04\x38", asked);
}

void ScriptProxy::Http(int fd) {
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (stop_) return;
        if (!Readable(fd)) continue;
        char c;
        if (::recv(fd, &c, 1, 0) <= 0) return;
        head += c;
    }
    {
        std::lock_guard lock(mutex_);
        heads_.push_back(head);
        requests_.push_back(head.substr(0, head.find("\r\n")));
    }
    const Step step = options_.step;
    const Fault fault = options_.fault;
    if (step == Step::Request) {
        if (fault == Fault::Stall) Stall(fd);
        return;
    }
    if (!options_.user.empty() && head.find("\r\nProxy-Authorization: Basic " +
                                            Base64Encode(options_.user + ":" + options_.password) +
                                            "\r\n") == std::string::npos)
        return SendAll(fd, "HTTP/1.1 407 Proxy Authentication Required\r\n"
                           "Proxy-Authenticate: Basic realm=\"test\"\r\n\r\n");
    if (step == Step::HttpHead) {
        if (fault == Fault::Refuse) return SendAll(fd, options_.refusal + "\r\nVia: test\r\n\r\n");
        SendAll(fd, "HTTP/1.1 200 Connection established\r\n");
        if (fault == Fault::Stall) Stall(fd);
        while (fault == Fault::Endless && !stop_ && !Readable(fd, 0))
            SendAll(fd, "X-Padding: " + std::string(200, 'x') + "\r\n");
        return;
    }
    Tunnel(fd, "HTTP/1.1 200 Connection established\r\nVia: test\r\n\r\n",
           head.substr(0, head.find("\r\n")));
}

void ScriptProxy::Tunnel(int fd, const std::string& answer, const std::string& asked) {
    int target = options_.targetPort;
    for (const auto& [what, port] : options_.routes)
        if (what == asked) target = port;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(target));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(server);
        return SendAll(fd, options_.kind == Kind::Http
                               ? "HTTP/1.1 502 Bad Gateway\r\n\r\n"
                               : std::string("\x05\x05\x00\x01\0\0\0\0\0\0", 10));
    }
    int on = 1;
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A server that speaks first has its greeting ride with the answer.
    std::string first = answer;
    if (Readable(server, 300)) {
        char buf[4096];
        const ssize_t n = ::recv(server, buf, sizeof buf, 0);
        if (n > 0) first.append(buf, static_cast<std::size_t>(n));
    }
    SendAll(fd, first);
    pollfd p[2] = {{fd, POLLIN, 0}, {server, POLLIN, 0}};
    while (!stop_) {
        if (::poll(p, 2, 10) <= 0) continue;
        bool ended = false;
        for (int i = 0; i < 2 && !ended; ++i) {
            if (p[i].revents == 0) continue;
            char buf[16384];
            const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
            if (n <= 0)
                ended = true;
            else
                SendAll(p[1 - i].fd, std::string(buf, static_cast<std::size_t>(n)));
        }
        if (ended) break;
    }
    ::close(server);
}

} // namespace brix::testing
