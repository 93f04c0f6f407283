#pragma once
// Certificates for the TLS tests, made with the openssl tool in a folder of
// their own that the servers' users can read: a test CA, a second CA that
// nobody trusts, and server certificates (with their chain) from either.

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

    // The test CA's certificate, to be trusted through TLSCAFILE.
    std::string CaFile() const { return dir_ + "/ca.pem"; }
    // A server certificate for the DNS name, valid for `days` from now (a
    // negative number: expired), issued by the test CA or the untrusted one.
    Pair Issue(const std::string& dns, int days = 30, bool trusted = true);
    // "localhost", valid, from the test CA.
    const Pair& Localhost() const { return localhost_; }

  private:
    void Openssl(const std::string& commands) const;

    std::string dir_;
    int serial_ = 0;
    Pair localhost_;
};

} // namespace brix::testing
