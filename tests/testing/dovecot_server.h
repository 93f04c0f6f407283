#pragma once
// A real POP3 server (Debian's Dovecot) on 127.0.0.1 for end-to-end tests.
// It runs in the foreground from a configuration of its own in a temporary
// folder, on a free port, with one Maildir account (user "joe", password
// "tanstaaf", stored in plain text so that APOP works as well as USER/PASS),
// and reports each message's Maildir file name as its UIDL. The destructor
// stops exactly the process it started and removes the folder.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace brix::testing {

// One message of the mailbox: its Maildir file name (without flags; the
// UIDL the server reports) and its text with LF line ends. The server
// numbers the messages in the order of their names.
struct MaildirMessage {
    std::string name;
    std::string text;
};

// Size of a Maildir text as POP3 counts it: every LF becomes CR LF.
std::int64_t Pop3Size(const std::string& text);

class DovecotServer {
  public:
    static constexpr const char* kBinary = "/usr/sbin/dovecot";
    static constexpr const char* kUser = "joe";
    static constexpr const char* kPassword = "tanstaaf";

    // Empty when Dovecot is installed; otherwise the reason to skip a test.
    static std::string Missing();

    DovecotServer();
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    // Seeds the mailbox with the messages, then starts the server and waits
    // until it accepts connections. Empty when it runs; otherwise why not.
    std::string Start(const std::vector<MaildirMessage>& messages = {});
    // Puts one more message into the mailbox (also while running).
    void Add(const MaildirMessage& message);
    // Names (without flags) of the messages now in the mailbox, sorted.
    std::vector<std::string> MailboxNames() const;

    // Before Start: STLS on the POP3 port, and a second port with TLS from
    // the first byte (TlsPortText). Without it, STLS is refused.
    void UseTls(const std::string& certFile, const std::string& keyFile) {
        cert_ = certFile;
        key_ = keyFile;
    }

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    std::string TlsPortText() const { return std::to_string(tlsPort_); }
    // Dovecot's own log and its standard error, for failure messages.
    std::string Log() const;

  private:
    std::string dir_;
    int port_ = 0;
    int tlsPort_ = 0;
    std::string cert_, key_;
    pid_t pid_ = -1;
    // Owner of the mail files (an unprivileged user when running as root).
    uid_t mailUid_ = 0;
    gid_t mailGid_ = 0;
};

} // namespace brix::testing
