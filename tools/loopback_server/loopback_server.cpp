#include "loopback_server.h"

#include "net/tcp_server_socket.h"

#include <poll.h>

namespace brix::loopback {

namespace {
constexpr int kPollMs = 200;
using Serve = void (*)(LineSession&, Stores&);
constexpr Serve kServe[3] = {ServePop3, ServeSmtp, ServeNntp};
const char* const kNames[3] = {"pop3", "smtp", "nntp"};

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}
} // namespace

Server::Server(Options options) : options_(std::move(options)), stores_(WithSlash(options_.dir)) {
    int ports[3] = {options_.pop3Port, options_.smtpPort, options_.nntpPort};
    for (int i = 0; i < 3; ++i) {
        // Loopback only: the server is for a demo and tests on this machine.
        listeners_[i] = std::make_unique<TTCPServerSocket>(std::to_string(ports[i]), "127.0.0.1");
        listeners_[i]->Listen();
    }
}

Server::~Server() = default;

int Server::Pop3Port() const {
    return listeners_[0]->LocalPort();
}
int Server::SmtpPort() const {
    return listeners_[1]->LocalPort();
}
int Server::NntpPort() const {
    return listeners_[2]->LocalPort();
}

bool Server::Run(const std::atomic<bool>& stop) {
    auto last = std::chrono::steady_clock::now();
    while (!stop) {
        if (options_.idle.count() > 0 && std::chrono::steady_clock::now() - last >= options_.idle)
            return true;
        pollfd p[3];
        for (int i = 0; i < 3; ++i)
            p[i] = pollfd{listeners_[i]->Handle, POLLIN, 0};
        if (::poll(p, 3, kPollMs) <= 0) continue;
        for (int i = 0; i < 3 && !stop; ++i) {
            if (!(p[i].revents & POLLIN)) continue;
            std::unique_ptr<TTCPClientSocket> client;
            try {
                client = listeners_[i]->AcceptConnection();
            } catch (const EsktException&) {
                continue; // the client gave up before we took it
            }
            int fd = client->Handle;
            client->Handle = -1; // the session owns the descriptor now
            LineSession session(fd, kNames[i], stop, options_.sessionTimeout, options_.transcript);
            try {
                kServe[i](session, stores_);
            } catch (const std::exception& e) {
                // A broken data file ends this client's session, not the server.
                if (options_.transcript)
                    options_.transcript(std::string(kNames[i]) + " ! " + e.what());
            }
            last = std::chrono::steady_clock::now();
        }
    }
    return false;
}

} // namespace brix::loopback
