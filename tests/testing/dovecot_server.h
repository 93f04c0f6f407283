#pragma once
// A real POP3 server (Debian's Dovecot) on 127.0.0.1: one Maildir account,
// user "joe" with password "tanstaaf" in plain text (so that APOP works),
// each message's Maildir file name as its UIDL.

#include "testing/real_server.h"

#include <string>
#include <vector>

namespace brix::testing {

// A message: its Maildir file name (the UIDL) and its text with LF ends.
// The server numbers the messages in the order of their names.
struct MaildirMessage {
    std::string name;
    std::string text;
};

class DovecotServer : public RealServer {
  public:
    static constexpr const char* kBinary = "/usr/sbin/dovecot";
    static constexpr const char* kUser = "joe";
    static constexpr const char* kPassword = "tanstaaf";

    // Empty when Dovecot is installed; otherwise the reason to skip a test.
    static std::string Missing();

    DovecotServer() : RealServer("dovecot") {}
    // Seeds the mailbox and starts the server. Empty when it runs, else why not.
    std::string Start(const std::vector<MaildirMessage>& messages = {});
    void Add(const MaildirMessage& message);
    // Names (without flags) of the messages now in the mailbox, sorted.
    std::vector<std::string> MailboxNames() const;
    std::string Log() const;
    // Before Start: STLS on the POP3 port, and a second port with TLS from
    // the first byte (TlsPortText). Without it, STLS is refused.
    void UseTls(const std::string& certFile, const std::string& keyFile) {
        cert_ = certFile;
        key_ = keyFile;
    }
    std::string TlsPortText() const { return std::to_string(tlsPort_); }

  private:
    int tlsPort_ = 0;
    std::string cert_, key_;
    uid_t mailUid_ = 0;
    gid_t mailGid_ = 0;
};

} // namespace brix::testing
