#pragma once
// A real news server (Debian's INN 2) on 127.0.0.1 for end-to-end tests: innd
// takes articles by IHAVE on Port(), nnrpd serves readers (no login) on
// another; overview is on (tradindexed), the spool is tradspool, and innd
// names itself brix.test in Path: and Xref:. As root everything runs as and
// belongs to the user "news".

#include "testing/real_server.h"

#include <string>
#include <vector>

namespace brix::testing {

class InnServer : public RealServer {
  public:
    static constexpr const char* kBin = "/usr/lib/news/bin/";

    // Empty when INN is installed; otherwise the reason to skip a test.
    static std::string Missing();

    InnServer() : RealServer("inn") {}
    // innd takes long over a signal; asked, it ends at once.
    ~InnServer() { Run("ctlinnd", {"-t", "5", "shutdown", "test"}); }
    // Starts innd and nnrpd with these groups (posting allowed) and waits
    // until both accept connections. Empty when they run; otherwise why not.
    std::string Start(const std::vector<std::string>& groups);
    // Offers articles (lines without line ends) to innd with IHAVE, each
    // under its Message-ID; returns innd's final reply to each.
    std::vector<std::string> Inject(const std::vector<std::vector<std::string>>& articles);

    // Before Start: STARTTLS on the reader port, and a second nnrpd with TLS
    // from the first byte (TlsReaderPortText).
    void UseTls(const std::string& certFile, const std::string& keyFile) {
        cert_ = certFile;
        key_ = keyFile;
    }

    int ReaderPort() const { return readerPort_; }
    std::string ReaderPortText() const { return std::to_string(readerPort_); }
    std::string TlsReaderPortText() const { return std::to_string(tlsReaderPort_); }
    // The servers' logs, for failure messages.
    std::string Log() const;

  private:
    std::string Spawn(const std::vector<std::string>& args, int port);
    std::vector<std::string> AsNews(const std::string& tool) const;
    std::string Run(const std::string& tool, const std::vector<std::string>& args);

    int readerPort_ = 0;
    int tlsReaderPort_ = 0;
    std::string cert_, key_;
};

} // namespace brix::testing
