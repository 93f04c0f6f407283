#pragma once
// A real SMTP server (Debian's Exim) on 127.0.0.1. It accepts every
// recipient but refuse@brix.test, demands AUTH LOGIN (user "user", password
// "secret") for the domain auth.test, refuses at the final "." (554) any
// message with an "X-Refuse:" header, and writes each accepted message with
// its envelope as a batched-SMTP file, which Delivered() returns.

#include "testing/real_server.h"

#include <string>
#include <vector>

namespace brix::testing {

class EximServer : public RealServer {
  public:
    EximServer() : RealServer("exim") {}
    // False with a reason when Exim is not installed or does not come up.
    bool Start(std::string& why);
    // Before Start: offer STARTTLS with this certificate and key. Without
    // it, STARTTLS is not offered.
    void UseTls(const std::string& certFile, const std::string& keyFile) {
        cert_ = certFile;
        key_ = keyFile;
    }
    // The delivered messages, waiting up to two seconds for `count` of them.
    std::vector<std::string> Delivered(std::size_t count);

  private:
    std::string cert_, key_;
};

} // namespace brix::testing
