#pragma once
// Real servers started by a test on 127.0.0.1, each with its own folder,
// a free port and the processes it started, stopped by the destructor:
// Dovecot (POP3 and IMAP), Exim (SMTP) and INN 2 (NNTP), and the SOCKS5 proxies
// microsocks and Dante.
// Certificates for their TLS (and for the scripted server's) come from
// TestPki.

#include <string>
#include <sys/types.h>
#include <vector>

namespace brix::testing {

// A free TCP port on 127.0.0.1 (or `port` itself; on another loopback
// address, 127.0.0.`host`, when given). With `listener`, the socket stays
// open and listening there; otherwise it is closed again (so only probably
// free).
int FreeLoopbackPort(int* listener = nullptr, int port = 0, int host = 1);
// The same on ::1; 0 (and no listener) when the machine has no IPv6 loopback.
int FreeLoopbackPort6(int* listener = nullptr);
// A socket connected to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);

class RealServer {
  public:
    explicit RealServer(const char* name);
    ~RealServer();
    RealServer(const RealServer&) = delete;
    RealServer& operator=(const RealServer&) = delete;

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

  protected:
    // Starts argv in the folder with `env` added and output to `output`,
    // and waits until `port` (0: Port()) accepts.
    std::string Launch(const std::vector<std::string>& argv, const std::string& output,
                       int port = 0, const std::vector<std::string>& env = {});
    std::string dir_;
    int port_ = 0;

  private:
    std::vector<pid_t> pids_;
};

// A real POP3 and IMAP server (Debian's Dovecot) on 127.0.0.1: one Maildir
// account, user "joe" with password "tanstaaf" in plain text (so that APOP,
// CRAM-MD5 and SCRAM-SHA-256 work), each message's Maildir file name as its
// UIDL. IMAP offers COMPRESS=DEFLATE after login; folders beside the INBOX
// are Maildir++ folders (".Name").
// A message: its Maildir file name (the UIDL) and its text with LF ends.
// The server numbers the messages in the order of their names.
struct MaildirMessage {
    std::string name;
    std::string text;
};

class DovecotServer : public RealServer {
  public:
    static constexpr const char* kBinary = "/usr/sbin/dovecot";
    static constexpr const char* kImap = "/usr/lib/dovecot/imap";
    static constexpr const char* kDoveadm = "/usr/bin/doveadm";
    static constexpr const char* kUser = "joe";
    static constexpr const char* kPassword = "tanstaaf";

    // Empty when Dovecot is installed; otherwise the reason to skip a test.
    static std::string Missing();

    DovecotServer() : RealServer("dovecot") {}
    // Seeds the INBOX and starts the server. Empty when it runs, else why not.
    std::string Start(const std::vector<MaildirMessage>& messages = {});
    void Add(const MaildirMessage& message) { AddToFolder("INBOX", message); }
    // A message in a folder ("INBOX" or any other, named in UTF-8; the folder
    // is made when new), before or after Start. On disk the name is in
    // modified UTF-7 (RFC 3501), as the server keeps it: "Entwürfe" is
    // ".Entw&APw-rfe".
    void AddToFolder(const std::string& folder, const MaildirMessage& message);
    // Names (without flags) of the messages now in the INBOX or a folder, sorted.
    std::vector<std::string> MailboxNames() const { return FolderNames("INBOX"); }
    std::vector<std::string> FolderNames(const std::string& folder) const;
    // The full file names, flags included (":2,S" once read), sorted.
    std::vector<std::string> FolderFiles(const std::string& folder) const;
    // Every message of the folder without flags again, as seeded, and the
    // server's index brought up to date (so the next client does not pay
    // for it). Empty when done, else why not.
    std::string ClearFlags(const std::string& folder);
    // A new UIDVALIDITY for the folder (the UIDs stay), as after the server
    // rebuilt it; with the server running. Empty when done, else why not.
    std::string SetUidValidity(const std::string& folder, unsigned value);
    std::string Log() const;
    // Before Start: STLS on the POP3 port and STARTTLS on the IMAP port, and
    // a port each with TLS from the first byte (TlsPortText,
    // ImapTlsPortText). Without it, STLS and STARTTLS are refused.
    void UseTls(const std::string& certFile, const std::string& keyFile) {
        cert_ = certFile;
        key_ = keyFile;
    }
    std::string TlsPortText() const { return std::to_string(tlsPort_); }
    int ImapPort() const { return imapPort_; }
    std::string ImapPortText() const { return std::to_string(imapPort_); }
    std::string ImapTlsPortText() const { return std::to_string(imapTlsPort_); }

  private:
    std::string Owner();
    std::string MakeFolder(const std::string& folder);
    std::string FolderDir(const std::string& folder) const;
    std::string Doveadm(const std::vector<std::string>& args);

    int tlsPort_ = 0, imapPort_ = 0, imapTlsPort_ = 0;
    std::string cert_, key_;
    bool owned_ = false;
    uid_t mailUid_ = 0;
    gid_t mailGid_ = 0;
};

// A real SMTP server (Debian's Exim) on 127.0.0.1. It accepts every
// recipient but refuse@brix.test, demands AUTH LOGIN (user "user", password
// "secret") for the domain auth.test, refuses at the final "." (554) any
// message with an "X-Refuse:" header, and writes each accepted message with
// its envelope as a batched-SMTP file, which Delivered() returns.
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

// A real news server (Debian's INN 2) on 127.0.0.1 for end-to-end tests: innd
// takes articles by IHAVE on Port(), nnrpd serves readers (no login) on
// another; overview is on (tradindexed), the spool is tradspool, and innd
// names itself brix.test in Path: and Xref:. As root everything runs as and
// belongs to the user "news".
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

// A real SOCKS5 proxy on 127.0.0.1: microsocks (with a login when a user
// is given) or Dante's danted (no login; it connects from 127.0.0.1). Each
// resolves the names it is asked for itself.
class SocksProxyServer : public RealServer {
  public:
    enum class Kind { Microsocks, Dante };
    explicit SocksProxyServer(Kind kind) : RealServer("socks"), kind_(kind) {}
    // Empty when it runs; otherwise why not (not installed, did not start).
    std::string Start(const std::string& user = "", const std::string& password = "");
    // What the proxy logged: microsocks names each target as the client
    // named it ("connected to localhost:110").
    std::string Log() const;

  private:
    Kind kind_;
};

// Certificates for the TLS tests, made with the openssl tool in a folder of
// their own that the servers' users can read: a test CA, a second CA that
// nobody trusts, and server certificates (with their chain) from either.
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
    // A server certificate for the DNS name (or an IP address: "::1"),
    // valid for `days` from now (a negative number: expired), issued by the
    // test CA or the untrusted one.
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
