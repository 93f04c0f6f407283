#include "testing/script_server.h"

#include "testing/real_servers.h"

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

std::vector<std::string> DataLines(const std::string& reply,
                                   const std::vector<std::string>& lines) {
    std::vector<std::string> wire = {reply};
    for (const std::string& line : lines)
        wire.push_back(line.starts_with('.') ? "." + line : line);
    wire.push_back(".");
    return wire;
}

ScriptServer::ScriptServer(Script script, std::chrono::milliseconds deadline, On on, int port)
    : script_(std::move(script)), deadline_(std::chrono::steady_clock::now() + deadline) {
    const int host = on == On::V4Third ? 3 : on == On::V4Second ? 2 : 1;
    port_ = on == On::V6 ? FreeLoopbackPort6(&listener_) : FreeLoopbackPort(&listener_, port, host);
    if (listener_ < 0)
        throw std::runtime_error(on == On::V6 ? "ScriptServer: cannot listen on ::1"
                                              : "ScriptServer: cannot listen on 127.0.0." +
                                                    std::to_string(host));
    thread_ = std::thread([this] {
        while (fd_ < 0 && !Expired())
            if (Readable(listener_)) fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listener_); // further connections are refused
        if (fd_ < 0) {
            if (!stop_) failures_.push_back("no connection came before the deadline");
            return;
        }
        int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Play();
        if (ssl_) SSL_free(ssl_);
        ::close(fd_);
    });
}

ScriptServer::~ScriptServer() {
    stop_ = true;
    Join();
}

bool ScriptServer::ReadLine(std::string& line, bool& crlf) {
    std::size_t lf;
    while ((lf = pending_.find('\n')) == std::string::npos) {
        if (Expired()) return false;
        if (!Readable(fd_) && !(ssl_ && SSL_pending(ssl_) > 0)) continue;
        char buf[65536];
        ssize_t n = ssl_ ? SSL_read(ssl_, buf, sizeof buf) : ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        received_.append(buf, static_cast<std::size_t>(n));
        pending_.append(buf, static_cast<std::size_t>(n));
    }
    line = pending_.substr(0, lf);
    pending_.erase(0, lf + 1);
    crlf = line.ends_with('\r');
    if (crlf) line.pop_back();
    return true;
}

bool ScriptServer::Send(const std::string& bytes) {
    for (std::size_t pos = 0; pos < bytes.size();) {
        std::size_t n = bytes.size() - pos;
        ssize_t sent = ssl_ ? SSL_write(ssl_, bytes.data() + pos, static_cast<int>(n))
                            : ::send(fd_, bytes.data() + pos, n, MSG_NOSIGNAL);
        // The client has gone; what follows will say so.
        if (sent < 0 || Expired()) return false;
        pos += static_cast<std::size_t>(sent);
    }
    return true;
}

void ScriptServer::Play() {
    using Kind = Script::Kind;
    bool closed = false;
    const auto& steps = script_.steps_;
    for (std::size_t i = 0; i < steps.size() && !closed; ++i) {
        const Script::Step& step = steps[i];
        const std::string where = "step " + std::to_string(i + 1) + ": ";
        std::string line, reply;
        bool crlf = false;
        switch (step.kind) {
        case Kind::Send:
            for (int n = 0; n < step.number && Send(step.text); ++n) {
            }
            break;
        case Kind::Expect:
        case Kind::ExpectPrefix:
        case Kind::ExpectBody:
            if (pending_.find('\n') != std::string::npos)
                ahead_.push_back(pending_.substr(0, pending_.find_first_of("\r\n")));
            do {
                if (!ReadLine(line, crlf)) {
                    failures_.push_back(where + "expected \"" + Visible(step.text) +
                                        "\", but the client closed or the deadline passed");
                    closed = true;
                    break;
                }
                if (!crlf)
                    failures_.push_back(where + "line \"" + Visible(line) +
                                        "\" not ended by CR LF");
            } while (step.kind == Kind::ExpectBody && line != ".");
            if (!closed && step.kind != Kind::ExpectBody &&
                (step.kind == Kind::Expect ? line != step.text : !line.starts_with(step.text)))
                failures_.push_back(where + "expected \"" + Visible(step.text) + "\", got \"" +
                                    Visible(line) + "\"");
            break;
        case Kind::Answer:
            while (!closed && ReadLine(line, crlf)) {
                closed = !step.answerer(line, reply);
                Send(reply);
            }
            closed = true;
            break;
        case Kind::Pause:
            for (auto until =
                     std::chrono::steady_clock::now() + std::chrono::milliseconds(step.number);
                 std::chrono::steady_clock::now() < until && !Expired();)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            break;
        case Kind::Close:
            closed = true;
            break;
        case Kind::Wait:
            while (!step.answerer(line, reply) && !Expired())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!step.answerer(line, reply))
                failures_.push_back(where + "waited in vain for " + step.text);
            break;
        case Kind::Do:
            step.answerer(line, reply);
            break;
        case Kind::Tls:
            closed = !Handshake(step.text);
            if (closed) failures_.push_back(where + "TLS handshake failed");
            break;
        }
    }
    if (closed) return; // Close cuts the connection: no close_notify.
    std::size_t before = received_.size() - pending_.size();
    std::string line;
    bool crlf;
    while (ReadLine(line, crlf)) {
    }
    if (received_.size() > before)
        failures_.push_back("after the end of the script the client sent \"" +
                            Visible(received_.substr(before)) + "\"");
    if (Expired() && !stop_) failures_.push_back("deadline passed before the client closed");
    if (ssl_) SSL_shutdown(ssl_);
}

bool ScriptServer::Handshake(const std::string& certAndKey) {
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
    // The handshake blocks: a client that never answers must not hold the
    // test for longer than a script's usual deadline.
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    // What the client sent before the upgrade belongs to the plain part.
    pending_.clear();
    ssl_ = SSL_new(ctx);
    SSL_CTX_free(ctx); // the session keeps its own reference
    SSL_set_fd(ssl_, fd_);
    return SSL_accept(ssl_) == 1;
}

std::string ScriptServer::Report() {
    Join();
    std::string report;
    for (const auto& f : failures_)
        report += f + "\n";
    return report + "received: \"" + Visible(received_) + "\"\n";
}

} // namespace brix::testing
