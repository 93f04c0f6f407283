#include "testing/inn_server.h"

#include "testing/exim_server.h"

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

int Connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    ::close(fd);
    return -1;
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One reply line from a feed connection (without CR LF).
std::string ReadReply(int fd) {
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        if (c != '\r') line += c;
    return line;
}

void SendAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

std::string InnServer::Missing() {
    for (const char* tool : {"innd", "nnrpd", "ctlinnd", "makedbz"})
        if (::access((std::string(kBin) + tool).c_str(), X_OK) != 0)
            return std::string(kBin) + tool + " is not installed (package inn2)";
    if (::geteuid() == 0 && !::getpwnam("news")) return "the user news is needed as root";
    return {};
}

InnServer::InnServer() {
    char pattern[] = "/tmp/brix-inn-XXXXXX";
    if (::mkdtemp(pattern)) dir_ = pattern;
}

InnServer::~InnServer() {
    if (innd_ > 0) Run({std::string(kBin) + "ctlinnd", "-t", "5", "shutdown", "test"});
    Stop(nnrpdTls_);
    Stop(nnrpd_);
    Stop(innd_);
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

void InnServer::Stop(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid = -1;
}

pid_t InnServer::Spawn(const std::vector<std::string>& args, const std::string& out) {
    // As root, the servers run as news through setpriv; INN reads its
    // configuration from INNCONF.
    std::vector<std::string> argv;
    if (::geteuid() == 0)
        argv = {"/usr/bin/setpriv", "--reuid=news", "--regid=news", "--init-groups"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> env = {"INNCONF=" + dir_ + "/etc/inn.conf", "PATH=/usr/bin:/bin",
                                    "HOME=" + dir_};
    std::vector<char*> cenv;
    for (std::string& e : env)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    pid_t pid = -1;
    if (posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string InnServer::Run(const std::vector<std::string>& argv) {
    const std::string out = dir_ + "/tool.out";
    ::unlink(out.c_str());
    pid_t pid = Spawn(argv, out);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return argv[0] + " failed: " + ReadFile(out);
    return {};
}

std::string InnServer::Start(const std::vector<std::string>& groups) {
    if (dir_.empty()) return "cannot create a temporary folder";
    const fs::path d = dir_;
    for (const char* sub : {"etc", "db", "run", "log", "tmp", "http", "filter", "spool/articles",
                            "spool/overview", "spool/incoming", "spool/outgoing", "spool/archive"})
        fs::create_directories(d / sub);
    feedPort_ = FreeLoopbackPort();
    readerPort_ = FreeLoopbackPort();
    while (readerPort_ == feedPort_)
        readerPort_ = FreeLoopbackPort();
    if (!cert_.empty())
        while (tlsReaderPort_ == 0 || tlsReaderPort_ == feedPort_ || tlsReaderPort_ == readerPort_)
            tlsReaderPort_ = FreeLoopbackPort();
    std::string user = "news";
    if (::geteuid() != 0)
        if (passwd* me = ::getpwuid(::geteuid())) user = me->pw_name;
    std::string conf =
        "domain: example.test\npathhost: " + std::string(kPathHost) +
        "\nserver: 127.0.0.1\nbindaddress: 127.0.0.1\nport: " + std::to_string(feedPort_) +
        "\nrunasuser: " + user + "\nrunasgroup: " + user + "\n";
    conf += "pathnews: " + dir_ + "\npathbin: /usr/lib/news/bin\n";
    conf += "pathcontrol: /usr/lib/news/bin/control\n";
    for (const char* p : {"filter", "etc", "db", "run", "log", "tmp", "http"})
        conf += std::string("path") + p + ": " + dir_ + "/" + p + "\n";
    conf += "pathspool: " + dir_ + "/spool\npatharticles: " + dir_ + "/spool/articles\n";
    conf += "pathoverview: " + dir_ + "/spool/overview\npathincoming: " + dir_ +
            "/spool/incoming\npathoutgoing: " + dir_ + "/spool/outgoing\npatharchive: " + dir_ +
            "/spool/archive\n";
    conf += "ovmethod: tradindexed\nhismethod: hisv6\nenableoverview: true\n"
            "nnrpdloadlimit: 0\npgpverify: false\nwireformat: true\nartcutoff: 0\n"
            "doinnwatch: false\ndocnfsstat: false\nmta: \"/bin/true %s\"\n"
            "mailcmd: /bin/true\norganization: \"brix test\"\n";
    if (!cert_.empty()) {
        // nnrpd wants a key that only its owner can read: copies of its own.
        fs::copy_file(cert_, d / "etc/cert.pem");
        fs::copy_file(key_, d / "etc/key.pem");
        fs::permissions(d / "etc/key.pem", fs::perms::owner_read | fs::perms::owner_write);
        conf += "tlscertfile: " + dir_ + "/etc/cert.pem\ntlskeyfile: " + dir_ + "/etc/key.pem\n";
    }
    WriteFile(d / "etc/inn.conf", conf);
    WriteFile(d / "etc/storage.conf", "method tradspool {\n newsgroups: *\n class: 0\n}\n");
    WriteFile(d / "etc/readers.conf", "auth \"all\" {\n hosts: \"*\"\n default: \"<all>\"\n}\n"
                                      "access \"all\" {\n users: \"<all>\"\n newsgroups: \"*\"\n"
                                      " access: RPA\n}\n");
    WriteFile(d / "etc/newsfeeds", "ME:*::\n");
    WriteFile(d / "etc/incoming.conf", "peer ME {\n hostname: \"localhost, 127.0.0.1\"\n}\n");
    WriteFile(d / "db/active", "control 0000000000 0000000001 n\n"
                               "control.cancel 0000000000 0000000001 n\n"
                               "junk 0000000000 0000000001 n\n");
    for (const char* f : {"db/active.times", "db/newsgroups", "db/history"})
        WriteFile(d / f, "");
    if (::geteuid() == 0) {
        passwd* news = ::getpwnam("news");
        if (!news) return "no user news";
        for (const auto& entry : fs::recursive_directory_iterator(d))
            if (::chown(entry.path().c_str(), news->pw_uid, news->pw_gid) != 0) return "chown";
        if (::chown(d.c_str(), news->pw_uid, news->pw_gid) != 0) return "chown";
    }
    if (std::string why = Run({std::string(kBin) + "makedbz", "-i", "-o"}); !why.empty())
        return why;

    innd_ = Spawn({std::string(kBin) + "innd", "-f"}, dir_ + "/innd.out");
    nnrpd_ = Spawn({std::string(kBin) + "nnrpd", "-D", "-f", "-b", "127.0.0.1", "-p",
                    std::to_string(readerPort_)},
                   dir_ + "/nnrpd.out");
    if (tlsReaderPort_ > 0)
        nnrpdTls_ = Spawn({std::string(kBin) + "nnrpd", "-D", "-f", "-S", "-b", "127.0.0.1", "-p",
                           std::to_string(tlsReaderPort_)},
                          dir_ + "/nnrpd.out");
    if (innd_ < 0 || nnrpd_ < 0 || (tlsReaderPort_ > 0 && nnrpdTls_ < 0))
        return "cannot start innd or nnrpd";
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (int port : {feedPort_, readerPort_, tlsReaderPort_}) {
        if (port == 0) continue;
        int fd = -1;
        while (fd < 0 && std::chrono::steady_clock::now() < until) {
            fd = Connect(port);
            if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (fd < 0) return "INN did not accept connections: " + Log();
        ::close(fd);
    }
    // The control channel of ctlinnd is ready a moment after the port.
    for (const std::string& group : groups)
        for (int attempt = 0;; ++attempt) {
            std::string why = AddGroup(group);
            if (why.empty()) break;
            if (attempt == 50) return why;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    return {};
}

std::string InnServer::AddGroup(const std::string& name) {
    return Run({std::string(kBin) + "ctlinnd", "-t", "5", "newgroup", name, "y"});
}

std::vector<std::string> InnServer::Inject(const std::vector<std::vector<std::string>>& articles) {
    std::vector<std::string> replies;
    int fd = Connect(feedPort_);
    if (fd < 0) return replies;
    ReadReply(fd);
    for (const std::vector<std::string>& article : articles) {
        std::string id;
        for (const std::string& line : article)
            if (line.rfind("Message-ID: ", 0) == 0) id = line.substr(12);
        SendAll(fd, "IHAVE " + id + "\r\n");
        std::string reply = ReadReply(fd);
        if (reply.rfind("335", 0) != 0) {
            replies.push_back(reply);
            continue;
        }
        std::string text;
        for (const std::string& line : article)
            text += (line.rfind(".", 0) == 0 ? "." : "") + line + "\r\n";
        SendAll(fd, text + ".\r\n");
        replies.push_back(ReadReply(fd));
    }
    SendAll(fd, "QUIT\r\n");
    ReadReply(fd);
    ::close(fd);
    return replies;
}

std::string InnServer::Log() const {
    return ReadFile(fs::path(dir_) / "innd.out") + ReadFile(fs::path(dir_) / "nnrpd.out") +
           ReadFile(fs::path(dir_) / "log/errlog") + ReadFile(fs::path(dir_) / "log/news.notice");
}

} // namespace brix::testing
