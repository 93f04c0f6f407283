#include "testing/dovecot_server.h"

#include <algorithm>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>

namespace brix::testing {

namespace fs = std::filesystem;

std::string DovecotServer::Missing() {
    if (::access(kBinary, X_OK) == 0) return {};
    return std::string(kBinary) + " is not installed (packages dovecot-core, dovecot-pop3d)";
}

void DovecotServer::Add(const MaildirMessage& message) {
    // Renamed in, as a delivery agent does: the server never sees half a message.
    const std::string maildir = dir_ + "/mail/" + kUser;
    const std::string tmp = maildir + "/tmp/" + message.name;
    WriteText(tmp, message.text);
    if (::chown(tmp.c_str(), mailUid_, mailGid_) == 0)
        fs::rename(tmp, maildir + "/cur/" + message.name + ":2,");
}

std::vector<std::string> DovecotServer::MailboxNames() const {
    std::vector<std::string> names;
    for (const char* sub : {"/cur", "/new"}) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir_ + "/mail/" + kUser + sub, ec)) {
            std::string name = e.path().filename().string();
            names.push_back(name.substr(0, name.find(':')));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string DovecotServer::Start(const std::vector<MaildirMessage>& messages) {
    if (std::string missing = Missing(); !missing.empty()) return missing;
    if (dir_.empty()) return "cannot create a temporary folder";
    // As root, the mail belongs to nobody and Dovecot's processes run as its
    // system users; otherwise everything runs as the calling user.
    const bool root = ::geteuid() == 0;
    passwd* owner = root ? ::getpwnam("nobody") : ::getpwuid(::geteuid());
    if (!owner || (root && (!::getpwnam("dovecot") || !::getpwnam("dovenull"))))
        return "the users dovecot, dovenull and nobody are needed";
    mailUid_ = owner->pw_uid;
    mailGid_ = owner->pw_gid;
    const std::string internal = root ? "dovecot" : owner->pw_name;
    const std::string login = root ? "dovenull" : owner->pw_name;
    for (const char* sub : {"cur", "new", "tmp"})
        fs::create_directories(dir_ + "/mail/" + kUser + "/" + sub);
    for (const char* sub : {"/run", "/state"})
        fs::create_directories(dir_ + sub);
    for (const auto& e : fs::recursive_directory_iterator(dir_ + "/mail"))
        if (::chown(e.path().c_str(), mailUid_, mailGid_) != 0) return "chown failed";
    if (::chown((dir_ + "/mail").c_str(), mailUid_, mailGid_) != 0) return "chown failed";
    for (const MaildirMessage& message : messages)
        Add(message);
    const std::string& d = dir_;
    if (!cert_.empty()) tlsPort_ = FreeLoopbackPort();
    WriteText(d + "/passwd", std::string(kUser) + ":{PLAIN}" + kPassword + ":" +
                                 std::to_string(mailUid_) + ":" + std::to_string(mailGid_) +
                                 "::" + d + "/mail/" + kUser + "::\n");
    WriteText(d + "/dovecot.conf",
              "protocols = pop3\nlisten = 127.0.0.1\nbase_dir = " + d + "/run\nstate_dir = " + d +
                  "/state\nlog_path = " + d + "/dovecot.log\n" +
                  (cert_.empty()
                       ? std::string("ssl = no\n")
                       : "ssl = yes\nssl_cert = <" + cert_ + "\nssl_key = <" + key_ + "\n") +
                  "disable_plaintext_auth = no\n"
                  "auth_mechanisms = plain login apop\nauth_failure_delay = 0\n"
                  "default_internal_user = " +
                  internal + "\ndefault_login_user = " + login +
                  "\nfirst_valid_uid = 1\nmail_location = maildir:" + d +
                  "/mail/%u\npop3_uidl_format = %f\n"
                  "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " +
                  d + "/passwd\n}\nuserdb {\n  driver = passwd-file\n  args = " + d +
                  "/passwd\n}\nservice pop3-login {\n  inet_listener pop3 {\n"
                  "    address = 127.0.0.1\n    port = " +
                  PortText() + "\n  }\n" +
                  (cert_.empty() ? std::string()
                                 : "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " +
                                       std::to_string(tlsPort_) + "\n    ssl = yes\n  }\n") +
                  "}\n");
    return Launch({kBinary, "-F", "-c", d + "/dovecot.conf"}, d + "/stderr.log");
}

std::string DovecotServer::Log() const {
    return ReadText(dir_ + "/dovecot.log") + ReadText(dir_ + "/stderr.log");
}

} // namespace brix::testing
