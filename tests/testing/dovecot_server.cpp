#include "testing/dovecot_server.h"

#include "testing/exim_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace brix::testing {

namespace fs = std::filesystem;

namespace {

bool Accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

std::int64_t Pop3Size(const std::string& text) {
    std::int64_t size = static_cast<std::int64_t>(text.size());
    for (char c : text)
        size += c == '\n';
    return size;
}

std::string DovecotServer::Missing() {
    if (::access(kBinary, X_OK) == 0) return {};
    return std::string(kBinary) + " is not installed (packages dovecot-core, dovecot-pop3d)";
}

DovecotServer::DovecotServer() {
    char pattern[] = "/tmp/brix-dovecot-XXXXXX";
    if (::mkdtemp(pattern)) dir_ = pattern;
}

DovecotServer::~DovecotServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int status;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

void DovecotServer::Add(const MaildirMessage& message) {
    // Written aside and renamed in, as a delivery agent does, so that the
    // server never sees half a message.
    fs::path maildir = fs::path(dir_) / "mail" / kUser;
    fs::path tmp = maildir / "tmp" / message.name;
    fs::path cur = maildir / "cur" / (message.name + ":2,");
    WriteFile(tmp, message.text);
    if (::chown(tmp.c_str(), mailUid_, mailGid_) != 0) return;
    fs::rename(tmp, cur);
}

std::vector<std::string> DovecotServer::MailboxNames() const {
    std::vector<std::string> names;
    fs::path maildir = fs::path(dir_) / "mail" / kUser;
    for (const char* sub : {"cur", "new"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(maildir / sub, ec)) {
            std::string name = entry.path().filename().string();
            names.push_back(name.substr(0, name.find(':')));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string DovecotServer::Start(const std::vector<MaildirMessage>& messages) {
    if (dir_.empty()) return "cannot create a temporary folder";
    fs::path dir = dir_;
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    fs::path maildir = dir / "mail" / kUser;
    for (const char* sub : {"cur", "new", "tmp"})
        fs::create_directories(maildir / sub);
    fs::create_directories(dir / "run");
    fs::create_directories(dir / "state");

    // As root, the mail is owned by an unprivileged user and Dovecot's own
    // processes run as its system users; otherwise everything runs as the
    // calling user.
    std::string internalUser, loginUser;
    if (::geteuid() == 0) {
        passwd* nobody = ::getpwnam("nobody");
        if (!::getpwnam("dovecot") || !::getpwnam("dovenull") || !nobody)
            return "the users dovecot, dovenull and nobody are needed as root";
        mailUid_ = nobody->pw_uid;
        mailGid_ = nobody->pw_gid;
        internalUser = "dovecot";
        loginUser = "dovenull";
    } else {
        passwd* me = ::getpwuid(::geteuid());
        if (!me) return "no passwd entry for the current user";
        mailUid_ = me->pw_uid;
        mailGid_ = me->pw_gid;
        internalUser = loginUser = me->pw_name;
    }
    if (::chown((dir / "mail").c_str(), mailUid_, mailGid_) != 0) return "chown failed";
    for (const auto& entry : fs::recursive_directory_iterator(dir / "mail"))
        if (::chown(entry.path().c_str(), mailUid_, mailGid_) != 0) return "chown failed";
    for (const MaildirMessage& message : messages)
        Add(message);

    WriteFile(dir / "passwd", std::string(kUser) + ":{PLAIN}" + kPassword + ":" +
                                  std::to_string(mailUid_) + ":" + std::to_string(mailGid_) +
                                  "::" + maildir.string() + "::\n");
    port_ = FreeLoopbackPort();
    if (!cert_.empty()) tlsPort_ = FreeLoopbackPort();
    const std::string d = dir_;
    WriteFile(dir / "dovecot.conf",
              "protocols = pop3\n"
              "listen = 127.0.0.1\n"
              "base_dir = " +
                  d +
                  "/run\n"
                  "state_dir = " +
                  d +
                  "/state\n"
                  "log_path = " +
                  d + "/dovecot.log\n" +
                  (cert_.empty()
                       ? std::string("ssl = no\n")
                       : "ssl = yes\nssl_cert = <" + cert_ + "\nssl_key = <" + key_ + "\n") +
                  "disable_plaintext_auth = no\n"
                  "auth_mechanisms = plain login apop\n"
                  "auth_failure_delay = 0\n"
                  "default_internal_user = " +
                  internalUser +
                  "\n"
                  "default_login_user = " +
                  loginUser +
                  "\n"
                  "first_valid_uid = 1\n"
                  "mail_location = maildir:" +
                  d +
                  "/mail/%u\n"
                  "pop3_uidl_format = %f\n"
                  "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " +
                  d +
                  "/passwd\n}\n"
                  "userdb {\n  driver = passwd-file\n  args = " +
                  d +
                  "/passwd\n}\n"
                  "service pop3-login {\n  inet_listener pop3 {\n    address = 127.0.0.1\n"
                  "    port = " +
                  std::to_string(port_) + "\n  }\n" +
                  (cert_.empty() ? std::string()
                                 : "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " +
                                       std::to_string(tlsPort_) + "\n    ssl = yes\n  }\n") +
                  "}\n");

    const std::string conf = (dir / "dovecot.conf").string();
    const std::string err = (dir / "stderr.log").string();
    const char* argv[] = {kBinary, "-F", "-c", conf.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int rc = posix_spawn(&pid_, kBinary, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        return "cannot start dovecot";
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        if (Accepts(port_)) return {};
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return "dovecot ended at start-up: " + Log();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "dovecot did not accept connections: " + Log();
}

std::string DovecotServer::Log() const {
    return ReadFile(fs::path(dir_) / "dovecot.log") + ReadFile(fs::path(dir_) / "stderr.log");
}

} // namespace brix::testing
