#pragma once
// Certificates for the TLS tests, made with OpenSSL in a folder of their own
// that the servers' own users can read: a test CA, a second CA that nobody
// trusts, and server certificates issued by either.

#include <string>

namespace brix::testing {

class TestPki {
  public:
    struct Pair {
        std::string cert, key;
    };

    TestPki();
    ~TestPki();
    TestPki(const TestPki&) = delete;
    TestPki& operator=(const TestPki&) = delete;

    // The test CA's certificate (PEM), to be trusted through TLSCAFILE.
    std::string CaFile() const { return dir_ + "/ca.pem"; }
    // A server certificate for the DNS name, valid from `fromDays` to
    // `toDays` days from now, issued by the test CA or by the untrusted one.
    Pair Issue(const std::string& dns, long fromDays = -1, long toDays = 30, bool trusted = true);
    // The usual one: "localhost", valid, by the test CA.
    const Pair& Localhost() const { return localhost_; }

  private:
    std::string dir_;
    int serial_ = 1;
    Pair localhost_;
};

} // namespace brix::testing
