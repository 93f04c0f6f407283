#include "testing/inn_server.h"

#include "testing/run_program.h"

#include <chrono>
#include <filesystem>
#include <pwd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace brix::testing {

namespace fs = std::filesystem;

namespace {

// Sends bytes (maybe none) on a feed connection and reads one reply line
// (without CR LF).
std::string Exchange(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return {};
        done += static_cast<std::size_t>(n);
    }
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        if (c != '\r') line += c;
    return line;
}

} // namespace

std::string InnServer::Missing() {
    for (const char* tool : {"innd", "nnrpd", "ctlinnd", "makedbz"})
        if (::access((std::string(kBin) + tool).c_str(), X_OK) != 0)
            return std::string(kBin) + tool + " is not installed (package inn2)";
    if (::geteuid() == 0 && !::getpwnam("news")) return "the user news is needed as root";
    return {};
}

// As root, INN's programs run as news through setpriv.
std::vector<std::string> InnServer::AsNews(const std::string& tool) const {
    std::vector<std::string> argv;
    if (::geteuid() == 0)
        argv = {"/usr/bin/setpriv", "--reuid=news", "--regid=news", "--init-groups"};
    argv.push_back(kBin + tool);
    return argv;
}

std::string InnServer::Spawn(const std::vector<std::string>& args, int port) {
    std::vector<std::string> argv = AsNews(args[0]);
    argv.insert(argv.end(), args.begin() + 1, args.end());
    return Launch(argv, dir_ + "/" + args[0] + ".out", port, {"INNCONF=" + dir_ + "/etc/inn.conf"});
}

std::string InnServer::Run(const std::string& tool, const std::vector<std::string>& args) {
    std::vector<std::string> argv = AsNews(tool);
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramResult r = RunProgram(argv[0], {argv.begin() + 1, argv.end()},
                                 {"INNCONF=" + dir_ + "/etc/inn.conf"}, dir_);
    return r.exitCode == 0 ? "" : tool + " failed: " + r.output;
}

std::string InnServer::Start(const std::vector<std::string>& groups) {
    if (dir_.empty()) return "cannot create a temporary folder";
    const std::string& d = dir_;
    for (const char* sub : {"etc", "db", "run", "log", "tmp", "http", "filter", "spool/articles",
                            "spool/overview", "spool/incoming", "spool/outgoing"})
        fs::create_directories(d + "/" + sub);
    while (readerPort_ == 0 || readerPort_ == port_)
        readerPort_ = FreeLoopbackPort();
    while (!cert_.empty() &&
           (tlsReaderPort_ == 0 || tlsReaderPort_ == port_ || tlsReaderPort_ == readerPort_))
        tlsReaderPort_ = FreeLoopbackPort();
    passwd* user = ::getpwuid(::geteuid());
    const std::string name = ::geteuid() == 0 || !user ? "news" : user->pw_name;
    // Every path not given here lies below pathnews.
    WriteText(d + "/etc/inn.conf",
              "domain: example.test\npathhost: brix.test\nserver: 127.0.0.1\n"
              "bindaddress: 127.0.0.1\nport: " +
                  PortText() + "\nrunasuser: " + name + "\nrunasgroup: " + name +
                  "\npathnews: " + d + "\npathbin: /usr/lib/news/bin\npathfilter: " + d +
                  "/filter\novmethod: tradindexed\nhismethod: hisv6\nenableoverview: true\n"
                  "nnrpdloadlimit: 0\npgpverify: false\nwireformat: true\nartcutoff: 0\n"
                  "doinnwatch: false\ndocnfsstat: false\nmta: \"/bin/true %s\"\n"
                  "mailcmd: /bin/true\norganization: \"brix test\"\n");
    if (!cert_.empty()) {
        // nnrpd wants a key that only its owner can read: copies of its own.
        fs::copy_file(cert_, d + "/etc/cert.pem");
        fs::copy_file(key_, d + "/etc/key.pem");
        fs::permissions(d + "/etc/key.pem", fs::perms::owner_read | fs::perms::owner_write);
    }
    WriteText(d + "/etc/storage.conf", "method tradspool {\n newsgroups: *\n class: 0\n}\n");
    WriteText(d + "/etc/readers.conf", "auth \"all\" {\n hosts: \"*\"\n default: \"<all>\"\n}\n"
                                       "access \"all\" {\n users: \"<all>\"\n newsgroups: \"*\"\n"
                                       " access: RPA\n}\n");
    WriteText(d + "/etc/newsfeeds", "ME:*::\n");
    WriteText(d + "/etc/incoming.conf", "peer ME {\n hostname: \"localhost, 127.0.0.1\"\n}\n");
    WriteText(d + "/db/active", "control 0000000000 0000000001 n\n"
                                "control.cancel 0000000000 0000000001 n\n"
                                "junk 0000000000 0000000001 n\n");
    for (const char* f : {"/db/active.times", "/db/newsgroups", "/db/history"})
        WriteText(d + f, "");
    if (passwd* news = ::geteuid() == 0 ? ::getpwnam("news") : nullptr) {
        for (const auto& entry : fs::recursive_directory_iterator(d))
            if (::chown(entry.path().c_str(), news->pw_uid, news->pw_gid) != 0) return "chown";
        if (::chown(d.c_str(), news->pw_uid, news->pw_gid) != 0) return "chown";
    }
    std::string why = Run("makedbz", {"-i", "-o"});
    const std::string reader = std::to_string(readerPort_), tls = std::to_string(tlsReaderPort_);
    if (why.empty()) why = Spawn({"innd", "-f"}, port_);
    if (why.empty())
        why = Spawn({"nnrpd", "-D", "-f", "-b", "127.0.0.1", "-p", reader}, readerPort_);
    if (why.empty() && tlsReaderPort_)
        why = Spawn({"nnrpd", "-D", "-f", "-S", "-b", "127.0.0.1", "-p", tls}, tlsReaderPort_);
    // The control channel of ctlinnd is ready a moment after the port.
    for (const std::string& group : groups)
        for (int attempt = 0; why.empty(); ++attempt) {
            std::string failed = Run("ctlinnd", {"-t", "5", "newgroup", group, "y"});
            if (failed.empty()) break;
            if (attempt == 50) why = failed;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    return why;
}

std::vector<std::string> InnServer::Inject(const std::vector<std::vector<std::string>>& articles) {
    std::vector<std::string> replies;
    int fd = ConnectLoopback(port_);
    if (fd < 0) return replies;
    Exchange(fd, ""); // the greeting
    for (const std::vector<std::string>& article : articles) {
        std::string id, text;
        for (const std::string& line : article) {
            if (line.starts_with("Message-ID: ")) id = line.substr(12);
            text += (line.starts_with(".") ? "." : "") + line + "\r\n";
        }
        std::string reply = Exchange(fd, "IHAVE " + id + "\r\n");
        replies.push_back(reply.starts_with("335") ? Exchange(fd, text + ".\r\n") : reply);
    }
    Exchange(fd, "QUIT\r\n");
    ::close(fd);
    return replies;
}

std::string InnServer::Log() const {
    return ReadText(dir_ + "/innd.out") + ReadText(dir_ + "/nnrpd.out") +
           ReadText(dir_ + "/log/errlog") + ReadText(dir_ + "/log/news.notice");
}

} // namespace brix::testing
