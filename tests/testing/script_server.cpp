#include "testing/script_server.h"

#include "testing/real_server.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
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
std::string Visible(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        char buf[8];
        std::snprintf(buf, sizeof buf, c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\x%02x", c);
        out += c >= 32 && c != 127 ? std::string(1, static_cast<char>(c)) : std::string(buf);
    }
    return out;
}

// Waits up to 10 ms for fd to be readable.
bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 10) > 0;
}
} // namespace

Script& Script::SendLines(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines)
        all += l + "\r\n";
    return SendRaw(all);
}

ScriptServer::ScriptServer(Script script, std::chrono::milliseconds deadline)
    : ScriptServer(std::vector<Script>{std::move(script)}, deadline) {}

ScriptServer::ScriptServer(std::vector<Script> scripts, std::chrono::milliseconds deadline)
    : scripts_(std::move(scripts)), deadline_(std::chrono::steady_clock::now() + deadline),
      connections_(scripts_.size()) {
    port_ = FreeLoopbackPort(&listener_);
    if (listener_ < 0) throw std::runtime_error("ScriptServer: cannot listen on 127.0.0.1");
    acceptor_ = std::thread([this] {
        std::size_t next = 0;
        while (next < scripts_.size() && !Expired()) {
            int fd =
                Readable(listener_) ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (fd < 0) continue;
            int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            connections_[next].fd = fd;
            connections_[next].thread = std::thread([this, next] { Play(next); });
            ++next;
        }
        ::close(listener_); // further connections are refused
        if (next < scripts_.size() && !stop_) Fail(next, "no connection came before the deadline");
    });
}

ScriptServer::~ScriptServer() {
    stop_ = true;
    Join();
}

void ScriptServer::Fail(std::size_t index, const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.push_back("connection " + std::to_string(index) + ": " + what);
}

bool ScriptServer::ReadLine(Connection& c, std::string& line, bool& crlf) {
    std::size_t lf;
    while ((lf = c.pending.find('\n')) == std::string::npos) {
        if (Expired()) return false;
        if (!Readable(c.fd) && !(c.ssl && SSL_pending(c.ssl) > 0)) continue;
        char buf[65536];
        ssize_t n = c.ssl ? SSL_read(c.ssl, buf, sizeof buf) : ::recv(c.fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        c.received.append(buf, static_cast<std::size_t>(n));
        c.pending.append(buf, static_cast<std::size_t>(n));
    }
    line = c.pending.substr(0, lf);
    c.pending.erase(0, lf + 1);
    crlf = line.ends_with('\r');
    if (crlf) line.pop_back();
    return true;
}

void ScriptServer::Play(std::size_t index) {
    Connection& c = connections_[index];
    bool byteByByte = false, closed = false;
    auto send = [&](const std::string& bytes) {
        for (std::size_t pos = 0; pos < bytes.size() && !Expired();) {
            std::size_t n = byteByByte ? 1 : bytes.size() - pos;
            ssize_t sent = c.ssl ? SSL_write(c.ssl, bytes.data() + pos, static_cast<int>(n))
                                 : ::send(c.fd, bytes.data() + pos, n, MSG_NOSIGNAL);
            if (sent < 0) return; // the client has gone; what follows will say so
            pos += static_cast<std::size_t>(sent);
            if (byteByByte) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    const auto& steps = scripts_[index].steps_;
    for (std::size_t i = 0; i < steps.size() && !closed; ++i) {
        const Script::Step& step = steps[i];
        const std::string where = "step " + std::to_string(i + 1) + ": ";
        std::string line, reply;
        bool crlf = false;
        switch (step.kind) {
        case Script::Kind::Send:
            send(step.text);
            break;
        case Script::Kind::Expect:
        case Script::Kind::ExpectPrefix:
        case Script::Kind::ExpectBody:
            do {
                if (!ReadLine(c, line, crlf)) {
                    Fail(index, where + "expected \"" + Visible(step.text) +
                                    "\", but the client closed or the deadline passed");
                    closed = true;
                    break;
                }
                if (!crlf) Fail(index, where + "line \"" + Visible(line) + "\" not ended by CR LF");
            } while (step.kind == Script::Kind::ExpectBody && line != ".");
            if (!closed && step.kind != Script::Kind::ExpectBody &&
                (step.kind == Script::Kind::Expect ? line != step.text
                                                   : !line.starts_with(step.text)))
                Fail(index, where + "expected \"" + Visible(step.text) + "\", got \"" +
                                Visible(line) + "\"");
            break;
        case Script::Kind::Answer:
            while (!closed && ReadLine(c, line, crlf)) {
                closed = !step.answerer(line, reply);
                send(reply);
            }
            closed = true;
            break;
        case Script::Kind::ByteByByte:
            byteByByte = step.number != 0;
            break;
        case Script::Kind::Pause:
            for (auto until =
                     std::chrono::steady_clock::now() + std::chrono::milliseconds(step.number);
                 std::chrono::steady_clock::now() < until && !Expired();)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            break;
        case Script::Kind::Close:
            closed = true;
            break;
        case Script::Kind::Tls:
            if (!Handshake(c, step.text)) {
                Fail(index, where + "TLS handshake failed");
                closed = true;
            }
            break;
        }
    }
    if (!closed) {
        std::size_t before = c.received.size() - c.pending.size();
        std::string line;
        bool crlf;
        while (ReadLine(c, line, crlf)) {
        }
        if (c.received.size() > before)
            Fail(index, "after the end of the script the client sent \"" +
                            Visible(c.received.substr(before)) + "\"");
        if (Expired() && !stop_) Fail(index, "deadline passed before the client closed");
    }
    if (c.ssl) {
        // Close cuts the connection: no close_notify.
        if (!closed) SSL_shutdown(c.ssl);
        SSL_free(c.ssl);
    }
    ::close(c.fd);
}

bool ScriptServer::Handshake(Connection& c, const std::string& certAndKey) {
    // OpenSSL writes with write(): a client that hangs up must not end the
    // test program.
    std::signal(SIGPIPE, SIG_IGN);
    const std::size_t lf = certAndKey.find('\n');
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_chain_file(ctx, certAndKey.substr(0, lf).c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, certAndKey.substr(lf + 1).c_str(), SSL_FILETYPE_PEM) !=
            1) {
        SSL_CTX_free(ctx);
        return false;
    }
    // The handshake blocks; the deadline still bounds it.
    const long long us = std::max<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                 deadline_ - std::chrono::steady_clock::now())
                                                 .count(),
                                             1000);
    timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
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
}

std::string ScriptServer::Received(std::size_t connection) {
    Join();
    return connection < connections_.size() ? connections_[connection].received : std::string();
}

bool ScriptServer::Passed() {
    Join();
    return failures_.empty();
}

std::string ScriptServer::Report() {
    Join();
    std::string report;
    for (const auto& f : failures_)
        report += f + "\n";
    for (std::size_t i = 0; i < connections_.size(); ++i)
        report += "connection " + std::to_string(i) + " received: \"" +
                  Visible(connections_[i].received) + "\"\n";
    return report;
}

} // namespace brix::testing
