#pragma once
// A real SMTP server (Debian's Exim) on 127.0.0.1 for end-to-end tests. It
// runs from a configuration of its own in a temporary folder, accepts every
// recipient except refuse@brix.test, demands AUTH LOGIN (user "user",
// password "secret") for recipients in the domain auth.test, refuses at the
// final "." (554) any message with an "X-Refuse:" header, and writes each
// accepted message with its envelope as a batched-SMTP file, which
// Delivered() returns.

#include <string>
#include <sys/types.h>
#include <vector>

namespace brix::testing {

class EximServer {
  public:
    EximServer();
    ~EximServer();
    EximServer(const EximServer&) = delete;
    EximServer& operator=(const EximServer&) = delete;

    // Before Start: offer STARTTLS with this certificate and key. Without
    // it, STARTTLS is not offered.
    void UseTls(const std::string& certFile, const std::string& keyFile) {
        cert_ = certFile;
        key_ = keyFile;
    }
    // Starts the daemon; false with a reason when Exim is not installed or
    // does not come up.
    bool Start(std::string& why);
    int Port() const { return port_; }
    // The delivered messages (whole files), waiting up to two seconds for
    // `count` of them.
    std::vector<std::string> Delivered(std::size_t count);

  private:
    std::string dir_;
    int port_ = 0;
    std::string cert_, key_;
    pid_t pid_ = -1;
};

// A free TCP port on 127.0.0.1 (closed again, so only probably still free).
int FreeLoopbackPort();

} // namespace brix::testing
