// The POP3 client against a real Dovecot on loopback: the test starts its
// own instance (own configuration, Maildir and port in a temporary folder),
// talks to it with USER/PASS and with APOP, and stops exactly the process it
// started. Skipped when Dovecot is not installed.

#include "clients/pop3_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace brix {
namespace {

namespace fs = std::filesystem;
const char* kDovecot = "/usr/sbin/dovecot";

int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

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

// Size of a Maildir file as POP3 counts it: every LF becomes CR LF.
std::int64_t Pop3Size(const std::string& text) {
    std::int64_t size = static_cast<std::int64_t>(text.size());
    for (char c : text)
        size += c == '\n';
    return size;
}

const std::string kMessage1 = "From: a@b\nSubject: one\n\nhello\n";
const std::string kMessage2 =
    "From: c@d\nSubject: two\n\n.starts with a dot\n" + std::string(300, 'x') + "\nend\n";
const char* kName1 = "1000000001.M1P1.brixtest";
const char* kName2 = "1000000002.M2P1.brixtest";

class DovecotServer {
  public:
    // Empty when it started; otherwise why not.
    std::string Start() {
        char pattern[] = "/tmp/brix-dovecot-XXXXXX";
        if (!::mkdtemp(pattern)) return "cannot create a temporary folder";
        dir_ = pattern;
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        fs::path maildir = dir_ / "mail" / "joe";
        for (const char* sub : {"cur", "new", "tmp"})
            fs::create_directories(maildir / sub);
        fs::create_directories(dir_ / "run");
        fs::create_directories(dir_ / "state");
        WriteFile(maildir / "cur" / (std::string(kName1) + ":2,"), kMessage1);
        WriteFile(maildir / "cur" / (std::string(kName2) + ":2,"), kMessage2);

        // As root, the mail is owned by an unprivileged user and Dovecot's
        // own processes run as its system users; otherwise everything runs
        // as the calling user.
        std::string internalUser, loginUser;
        uid_t uid;
        gid_t gid;
        if (::geteuid() == 0) {
            passwd* nobody = ::getpwnam("nobody");
            if (!::getpwnam("dovecot") || !::getpwnam("dovenull") || !nobody)
                return "the users dovecot, dovenull and nobody are needed as root";
            uid = nobody->pw_uid;
            gid = nobody->pw_gid;
            internalUser = "dovecot";
            loginUser = "dovenull";
            for (const auto& entry : fs::recursive_directory_iterator(dir_ / "mail"))
                if (::chown(entry.path().c_str(), uid, gid) != 0) return "chown failed";
            if (::chown((dir_ / "mail").c_str(), uid, gid) != 0) return "chown failed";
        } else {
            passwd* me = ::getpwuid(::geteuid());
            if (!me) return "no passwd entry for the current user";
            uid = me->pw_uid;
            gid = me->pw_gid;
            internalUser = loginUser = me->pw_name;
        }
        WriteFile(dir_ / "passwd", "joe:{PLAIN}tanstaaf:" + std::to_string(uid) + ":" +
                                       std::to_string(gid) + "::" + (maildir).string() + "::\n");
        port_ = FreePort();
        std::string d = dir_.string();
        WriteFile(dir_ / "dovecot.conf",
                  "protocols = pop3\n"
                  "listen = 127.0.0.1\n"
                  "base_dir = " +
                      d +
                      "/run\n"
                      "state_dir = " +
                      d +
                      "/state\n"
                      "log_path = " +
                      d +
                      "/dovecot.log\n"
                      "ssl = no\n"
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
                      std::to_string(port_) + "\n  }\n}\n");

        std::string conf = (dir_ / "dovecot.conf").string();
        const char* argv[] = {kDovecot, "-F", "-c", conf.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "stderr.log").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int rc = posix_spawn(&pid_, kDovecot, &actions, nullptr, const_cast<char**>(argv), environ);
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

    ~DovecotServer() {
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

    std::string Log() const {
        std::ifstream in(dir_ / "dovecot.log");
        std::ifstream err(dir_ / "stderr.log");
        return std::string(std::istreambuf_iterator<char>(in), {}) +
               std::string(std::istreambuf_iterator<char>(err), {});
    }
    std::string PortText() const { return std::to_string(port_); }

  private:
    fs::path dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

TEST(Pop3Dovecot, FullSessionWithUserPassAndApop) {
    if (::access(kDovecot, X_OK) != 0)
        GTEST_SKIP() << kDovecot << " is not installed (packages dovecot-core, dovecot-pop3d)";
    DovecotServer dovecot;
    std::string why = dovecot.Start();
    ASSERT_TRUE(why.empty()) << why;

    {
        TPOP3Client client;
        client.Socket->Timeout = 10000;
        client.Service = dovecot.PortText();
        std::vector<std::string> log;
        client.OnLogLine = [&](const std::string& l) { log.push_back(l); };
        client.Login("127.0.0.1", "joe", "tanstaaf", false);
        EXPECT_EQ(client.MsgCount, 2);
        EXPECT_EQ(client.MailboxSize, Pop3Size(kMessage1) + Pop3Size(kMessage2));
        EXPECT_EQ(log[1], "<USER joe");
        EXPECT_EQ(log[3], "<PASS tanstaaf");

        TStrings lines;
        client.Uidl(&lines);
        EXPECT_EQ(lines, (TStrings{std::string("1 ") + kName1, std::string("2 ") + kName2}));
        lines.clear();
        client.List(&lines);
        EXPECT_EQ(lines, (TStrings{"1 " + std::to_string(Pop3Size(kMessage1)),
                                   "2 " + std::to_string(Pop3Size(kMessage2))}));
        lines.clear();
        client.Top(1, 0, &lines);
        EXPECT_EQ(lines, (TStrings{"From: a@b", "Subject: one", ""}));
        lines.clear();
        client.Retr(2, &lines);
        EXPECT_EQ(lines, (TStrings{"From: c@d", "Subject: two", "", ".starts with a dot",
                                   std::string(300, 'x'), "end"}));
        client.Dele(1);
        EXPECT_THROW(client.Retr(1, &lines), EAbsPOP3Client);
        client.Disconnect();
        EXPECT_EQ(client.Socket->Handle, -1);
    }
    {
        TPOP3Client client;
        client.Socket->Timeout = 10000;
        client.Service = dovecot.PortText();
        client.Login("127.0.0.1", "joe", "tanstaaf", true);
        EXPECT_EQ(APOPTimestamp.front(), '<');
        EXPECT_EQ(APOPTimestamp.back(), '>');
        EXPECT_EQ(client.MsgCount, 1) << "DELE took effect at QUIT";
        TStrings lines;
        client.Uidl(&lines);
        EXPECT_EQ(lines, TStrings{std::string("1 ") + kName2});
        client.Disconnect();
    }
    {
        TPOP3Client client;
        client.Socket->Timeout = 10000;
        client.Service = dovecot.PortText();
        try {
            client.Login("127.0.0.1", "joe", "wrong", false);
            ADD_FAILURE() << "wrong password accepted";
        } catch (const EAbsPOP3Client& e) {
            EXPECT_EQ(e.Message().rfind("Pass. (Error=-ERR", 0), 0u) << e.Message();
        }
    }
}

} // namespace
} // namespace brix
