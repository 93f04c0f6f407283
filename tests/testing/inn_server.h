#pragma once
// A real news server (Debian's INN 2) on 127.0.0.1 for end-to-end tests: innd
// takes articles by IHAVE on one port, nnrpd serves readers (no login) on
// another; overview is on (tradindexed) and the spool is tradspool. All
// configuration and data live in a temporary folder owned by the user
// "news" (or by the calling user when not root). The destructor stops
// exactly the processes it started and removes the folder.

#include <string>
#include <sys/types.h>
#include <vector>

namespace brix::testing {

class InnServer {
  public:
    static constexpr const char* kBin = "/usr/lib/news/bin/";
    // The host name innd puts into Path: and Xref:.
    static constexpr const char* kPathHost = "brix.test";

    // Empty when INN is installed; otherwise the reason to skip a test.
    static std::string Missing();

    InnServer();
    ~InnServer();
    InnServer(const InnServer&) = delete;
    InnServer& operator=(const InnServer&) = delete;

    // Starts innd and nnrpd with these groups (posting allowed) and waits
    // until both accept connections. Empty when they run; otherwise why not.
    std::string Start(const std::vector<std::string>& groups);
    // Creates one more group ("ctlinnd newgroup NAME y"). Empty on success.
    std::string AddGroup(const std::string& name);
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
    int FeedPort() const { return feedPort_; }
    // The servers' logs, for failure messages.
    std::string Log() const;

  private:
    pid_t Spawn(const std::vector<std::string>& argv, const std::string& out);
    std::string Run(const std::vector<std::string>& argv);
    void Stop(pid_t& pid);

    std::string dir_;
    std::string user_;
    int feedPort_ = 0;
    int readerPort_ = 0;
    int tlsReaderPort_ = 0;
    std::string cert_, key_;
    pid_t innd_ = -1;
    pid_t nnrpd_ = -1;
    pid_t nnrpdTls_ = -1;
};

} // namespace brix::testing
