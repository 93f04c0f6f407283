#include "testing/script_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace brix::testing {

namespace {
constexpr int kSliceMs = 10;

std::string Visible(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 32 || c == 127) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    return out;
}
} // namespace

Script& Script::Send(const std::string& line) {
    return SendRaw(line + "\r\n");
}

Script& Script::SendLines(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines)
        all += l + "\r\n";
    return SendRaw(all);
}

Script& Script::SendLf(const std::string& line) {
    return SendRaw(line + "\n");
}

Script& Script::SendRaw(const std::string& bytes) {
    steps_.push_back({Kind::Send, bytes});
    return *this;
}

Script& Script::Expect(const std::string& line) {
    steps_.push_back({Kind::Expect, line});
    return *this;
}

Script& Script::ExpectPrefix(const std::string& prefix) {
    steps_.push_back({Kind::ExpectPrefix, prefix});
    return *this;
}

Script& Script::ExpectAny() {
    steps_.push_back({Kind::ExpectAny, {}});
    return *this;
}

Script& Script::ExpectBody() {
    steps_.push_back({Kind::ExpectBody, {}});
    return *this;
}

Script& Script::ByteByByte(bool on) {
    return Chunked(on ? 1 : 0);
}

Script& Script::Chunked(std::size_t bytes) {
    steps_.push_back({Kind::Chunk, {}, bytes});
    return *this;
}

Script& Script::Pause(int milliseconds) {
    steps_.push_back({Kind::Pause, {}, static_cast<std::size_t>(milliseconds)});
    return *this;
}

Script& Script::Close() {
    steps_.push_back({Kind::Close, {}});
    return *this;
}

Script& Script::Reset() {
    steps_.push_back({Kind::Reset, {}});
    return *this;
}

Script& Script::StartTls(const std::string& certFile, const std::string& keyFile) {
    steps_.push_back({Kind::Tls, certFile, 0, keyFile});
    return *this;
}

ScriptServer::ScriptServer(Script script, std::chrono::milliseconds deadline)
    : ScriptServer(std::vector<Script>{std::move(script)}, deadline) {}

ScriptServer::ScriptServer(std::vector<Script> scripts, std::chrono::milliseconds deadline)
    : scripts_(std::move(scripts)), deadline_(std::chrono::steady_clock::now() + deadline),
      connections_(scripts_.size()) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("ScriptServer: socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        ::listen(listener_, 8) < 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        ::close(listener_);
        throw std::runtime_error("ScriptServer: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptServer::~ScriptServer() {
    stop_ = true;
    Join();
}

bool ScriptServer::Expired() const {
    return stop_ || std::chrono::steady_clock::now() >= deadline_;
}

void ScriptServer::Fail(std::size_t index, const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.push_back("connection " + std::to_string(index) + ": " + what);
}

void ScriptServer::AcceptLoop() {
    std::size_t next = 0;
    while (next < scripts_.size() && !Expired()) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, kSliceMs) <= 0) continue;
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connections_[next].fd = fd;
        std::size_t index = next++;
        connections_[index].thread = std::thread([this, index] { Play(index); });
    }
    // Further connections are refused.
    ::close(listener_);
    listener_ = -1;
    if (next < scripts_.size() && !stop_) Fail(next, "no connection came before the deadline");
}

bool ScriptServer::ReadMore(Connection& c) {
    for (;;) {
        if (Expired()) return false;
        pollfd p{c.fd, POLLIN, 0};
        int r = ::poll(&p, 1, kSliceMs);
        if (r < 0 && errno != EINTR) return false;
        if (r <= 0 && !(c.ssl && SSL_pending(c.ssl) > 0)) continue;
        char buf[65536];
        ssize_t n = c.ssl ? SSL_read(c.ssl, buf, sizeof buf) : ::recv(c.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        c.received.append(buf, static_cast<std::size_t>(n));
        c.pending.append(buf, static_cast<std::size_t>(n));
        return true;
    }
}

bool ScriptServer::ReadLine(Connection& c, std::string& line, bool& crlf) {
    for (;;) {
        std::size_t lf = c.pending.find('\n');
        if (lf != std::string::npos) {
            line = c.pending.substr(0, lf);
            c.pending.erase(0, lf + 1);
            crlf = !line.empty() && line.back() == '\r';
            if (crlf) line.pop_back();
            return true;
        }
        if (!ReadMore(c)) return false;
    }
}

void ScriptServer::SendBytes(Connection& c, const std::string& bytes, std::size_t chunk) {
    std::size_t pos = 0;
    while (pos < bytes.size() && !Expired()) {
        std::size_t n = chunk == 0 ? bytes.size() - pos : std::min(chunk, bytes.size() - pos);
        ssize_t sent = c.ssl ? SSL_write(c.ssl, bytes.data() + pos, static_cast<int>(n))
                             : ::send(c.fd, bytes.data() + pos, n, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return; // the client has gone; the expectations that follow will say so
        }
        pos += static_cast<std::size_t>(sent);
        if (chunk != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ScriptServer::Play(std::size_t index) {
    Connection& c = connections_[index];
    std::size_t chunk = 0;
    bool closed = false;
    const auto& steps = scripts_[index].Steps();
    for (std::size_t i = 0; i < steps.size() && !closed; ++i) {
        const auto& step = steps[i];
        std::string where = "step " + std::to_string(i + 1) + ": ";
        std::string line;
        bool crlf = false;
        switch (step.kind) {
        case Script::Kind::Send:
            SendBytes(c, step.text, chunk);
            break;
        case Script::Kind::Expect:
        case Script::Kind::ExpectPrefix:
        case Script::Kind::ExpectAny:
            if (!ReadLine(c, line, crlf)) {
                Fail(index, where + "expected \"" + Visible(step.text) +
                                "\", but the client closed or the deadline passed");
                closed = true;
                break;
            }
            if (!crlf) Fail(index, where + "line \"" + Visible(line) + "\" not ended by CR LF");
            if (step.kind == Script::Kind::Expect && line != step.text)
                Fail(index, where + "expected \"" + Visible(step.text) + "\", got \"" +
                                Visible(line) + "\"");
            if (step.kind == Script::Kind::ExpectPrefix && line.rfind(step.text, 0) != 0)
                Fail(index, where + "expected a line beginning \"" + Visible(step.text) +
                                "\", got \"" + Visible(line) + "\"");
            break;
        case Script::Kind::ExpectBody:
            for (;;) {
                if (!ReadLine(c, line, crlf)) {
                    Fail(index, where + "body not ended by \".\" before the client closed");
                    closed = true;
                    break;
                }
                if (!crlf) Fail(index, where + "line \"" + Visible(line) + "\" not ended by CR LF");
                if (line == ".") break;
            }
            break;
        case Script::Kind::Chunk:
            chunk = step.number;
            break;
        case Script::Kind::Pause: {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.number);
            while (std::chrono::steady_clock::now() < until && !Expired())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            break;
        }
        case Script::Kind::Reset: {
            linger l{1, 0};
            ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            closed = true;
            break;
        }
        case Script::Kind::Close:
            closed = true;
            break;
        case Script::Kind::Tls:
            if (!Handshake(c, step)) {
                Fail(index, where + "TLS handshake failed");
                closed = true;
            }
            break;
        }
    }
    if (!closed) {
        // The script is over: whatever the client still sends is unexpected,
        // up to its close.
        std::size_t before = c.received.size() - c.pending.size();
        while (ReadMore(c)) {
        }
        if (!c.pending.empty())
            Fail(index, "after the end of the script the client sent \"" +
                            Visible(c.received.substr(before)) + "\"");
        if (Expired() && !stop_) Fail(index, "deadline passed before the client closed");
    }
    if (c.ssl) {
        // Close and Reset cut the connection: no close_notify.
        if (!closed) SSL_shutdown(c.ssl);
        SSL_free(c.ssl);
        c.ssl = nullptr;
    }
    ::close(c.fd);
    std::lock_guard<std::mutex> lock(mutex_);
    c.done = true;
}

bool ScriptServer::Handshake(Connection& c, const Script::Step& step) {
    // OpenSSL writes with write(): a client that hangs up must not end the
    // test program.
    std::signal(SIGPIPE, SIG_IGN);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_chain_file(ctx, step.text.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, step.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx);
        return false;
    }
    // The handshake blocks; the deadline still bounds it.
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline_ - std::chrono::steady_clock::now());
    timeval tv{static_cast<time_t>(std::max<long long>(left.count(), 1000) / 1000000),
               static_cast<suseconds_t>(std::max<long long>(left.count(), 1000) % 1000000)};
    ::setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    // What the client sent before the upgrade belongs to the plain part.
    c.pending.clear();
    c.ssl = SSL_new(ctx);
    SSL_CTX_free(ctx); // the session keeps its own reference
    SSL_set_fd(c.ssl, c.fd);
    if (SSL_accept(c.ssl) == 1) return true;
    SSL_free(c.ssl);
    c.ssl = nullptr;
    return false;
}

void ScriptServer::Join() {
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& c : connections_)
        if (c.thread.joinable()) c.thread.join();
    joined_ = true;
}

std::size_t ScriptServer::Connections() {
    Join();
    std::size_t n = 0;
    for (auto& c : connections_)
        if (c.done) ++n;
    return n;
}

std::string ScriptServer::Received(std::size_t connection) {
    Join();
    return connection < connections_.size() ? connections_[connection].received : std::string();
}

std::vector<std::string> ScriptServer::ReceivedLines(std::size_t connection) {
    std::string all = Received(connection);
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t lf = all.find('\n', pos);
        std::string line = all.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
        if (!line.empty() && line.back() == '\r' && lf != std::string::npos) line.pop_back();
        lines.push_back(line);
        if (lf == std::string::npos) break;
        pos = lf + 1;
    }
    return lines;
}

std::vector<std::string> ScriptServer::Failures() {
    Join();
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

std::string ScriptServer::Report() {
    std::string report;
    for (const auto& f : Failures())
        report += f + "\n";
    for (std::size_t i = 0; i < connections_.size(); ++i)
        report += "connection " + std::to_string(i) + " received: \"" +
                  Visible(connections_[i].received) + "\"\n";
    return report;
}

} // namespace brix::testing
