#pragma once
// A small POP3, SMTP and NNTP server on 127.0.0.1 for the demo and the tests:
// it serves the mailboxes and newsgroups of one data directory (see
// store.h), one client at a time, until it is told to stop or has been idle
// for the given time.

#include "sessions.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace brix {
class TTCPServerSocket;
}

namespace brix::loopback {

struct Options {
    std::string dir;
    // 0: a free port chosen by the system.
    int pop3Port = 0;
    int smtpPort = 0;
    int nntpPort = 0;
    // Stop after this long without a client (0: never).
    std::chrono::seconds idle{600};
    // The longest wait for a client's next line.
    std::chrono::seconds sessionTimeout{60};
    // Receives every command and reply line when set.
    LineSession::Transcript transcript;
};

class Server {
  public:
    // Binds the three ports; raises EsktException when one cannot be had.
    explicit Server(Options options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int Pop3Port() const;
    int SmtpPort() const;
    int NntpPort() const;
    // Serves connections until stop is set or the idle time has passed.
    // Returns true when it stopped for being idle.
    bool Run(const std::atomic<bool>& stop);

  private:
    Options options_;
    Stores stores_;
    std::unique_ptr<TTCPServerSocket> listeners_[3];
};

} // namespace brix::loopback
