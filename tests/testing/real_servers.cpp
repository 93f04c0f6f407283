#include "testing/real_servers.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace brix::testing {

namespace {
sockaddr_in Loopback(int port, int host = 1) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + static_cast<std::uint32_t>(host));
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}
} // namespace

int FreeLoopbackPort(int* listener, int port, int host) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A port asked for again (a second run against "the same" server) may
    // still have the first connection's TIME_WAIT on it; both sockets must
    // allow that.
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = Loopback(port, host);
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (listener && ::listen(s, 8) != 0) ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(s);
        s = -1;
    }
    if (listener)
        *listener = s;
    else
        ::close(s);
    return ntohs(a.sin_port);
}

int FreeLoopbackPort6(int* listener) {
    int s = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof a;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (listener && ::listen(s, 8) != 0) ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (s >= 0) ::close(s);
        if (listener) *listener = -1;
        return 0;
    }
    if (listener)
        *listener = s;
    else
        ::close(s);
    return ntohs(a.sin6_port);
}

int ConnectLoopback(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
    ::close(s);
    return -1;
}

RealServer::RealServer(const char* name) {
    std::string tmpl = "/tmp/brix-" + std::string(name) + "-XXXXXX";
    if (::mkdtemp(tmpl.data())) dir_ = tmpl;
    ::chmod(dir_.c_str(), 0755);
    port_ = FreeLoopbackPort();
}

RealServer::~RealServer() {
    for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid) {
        ::kill(*pid, SIGTERM);
        for (int i = 0; i < 250 && ::waitpid(*pid, nullptr, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::kill(*pid, SIGKILL);
        ::waitpid(*pid, nullptr, 0);
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::string RealServer::Launch(const std::vector<std::string>& argv, const std::string& output,
                               int port, const std::vector<std::string>& env) {
    if (::access(argv[0].c_str(), X_OK) != 0) return argv[0] + " is not installed";
    int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_t pid = Spawn(argv[0], {argv.begin() + 1, argv.end()}, env, dir_, out);
    ::close(out);
    pids_.push_back(pid);
    for (int i = 0; i < 300; ++i) {
        if (int s = ConnectLoopback(port ? port : port_); s >= 0) {
            ::close(s);
            return {};
        }
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            pids_.pop_back();
            return argv[0] + " ended at start-up: " + TempTree::ReadAny(output);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return argv[0] + " did not accept connections: " + TempTree::ReadAny(output);
}

namespace fs = std::filesystem;

std::string DovecotServer::Missing() {
    if (::access(kBinary, X_OK) != 0)
        return std::string(kBinary) + " is not installed (packages dovecot-core, dovecot-pop3d)";
    // The one configuration serves IMAP too: without it Dovecot does not start.
    if (::access(kImap, X_OK) != 0)
        return std::string(kImap) + " is not installed (package dovecot-imapd)";
    return {};
}

namespace {

// A mailbox name as IMAP and Dovecot's Maildir++ folders spell it (RFC 3501
// 5.1.3): printable ASCII stays, "&" becomes "&-", every other run of
// characters is UTF-16 in base64 with "," for "/", between "&" and "-".
std::string ModifiedUtf7(const std::string& utf8) {
    static const char* kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
    std::string out;
    std::vector<std::uint16_t> run;
    auto flush = [&] {
        if (run.empty()) return;
        std::string bytes;
        for (std::uint16_t u : run)
            bytes += {static_cast<char>(u >> 8), static_cast<char>(u & 0xff)};
        out += '&';
        for (std::size_t i = 0; i < bytes.size(); i += 3) {
            std::uint32_t n = static_cast<std::uint8_t>(bytes[i]) << 16;
            if (i + 1 < bytes.size()) n |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
            if (i + 2 < bytes.size()) n |= static_cast<std::uint8_t>(bytes[i + 2]);
            const std::size_t chars = i + 2 < bytes.size() ? 4 : i + 1 < bytes.size() ? 3 : 2;
            for (std::size_t c = 0; c < chars; ++c)
                out += kAlphabet[(n >> (18 - 6 * c)) & 63];
        }
        out += '-';
        run.clear();
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<std::uint8_t>(utf8[i]);
        if (c >= 0x20 && c < 0x7f) {
            flush();
            out += c == '&' ? std::string("&-") : std::string(1, static_cast<char>(c));
            ++i;
            continue;
        }
        const std::size_t length = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
        std::uint32_t code = length == 1 ? c : c & (0x3f >> (length - 1));
        for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k)
            code = code << 6 | (static_cast<std::uint8_t>(utf8[i + k]) & 0x3f);
        i += length;
        if (code >= 0x10000) {
            code -= 0x10000;
            run.push_back(static_cast<std::uint16_t>(0xd800 | code >> 10));
            run.push_back(static_cast<std::uint16_t>(0xdc00 | (code & 0x3ff)));
        } else {
            run.push_back(static_cast<std::uint16_t>(code));
        }
    }
    flush();
    return out;
}

// A free port that none of `taken` is: each is found with its socket closed
// again, so the same one may come back.
int OtherFreePort(const std::vector<int>& taken) {
    for (;;)
        if (int port = FreeLoopbackPort();
            std::find(taken.begin(), taken.end(), port) == taken.end())
            return port;
}

} // namespace

// As root, the mail belongs to nobody and Dovecot's processes run as its
// system users; otherwise everything runs as the calling user.
std::string DovecotServer::Owner() {
    if (owned_) return {};
    const bool root = ::geteuid() == 0;
    passwd* owner = root ? ::getpwnam("nobody") : ::getpwuid(::geteuid());
    if (!owner || (root && (!::getpwnam("dovecot") || !::getpwnam("dovenull"))))
        return "the users dovecot, dovenull and nobody are needed";
    mailUid_ = owner->pw_uid;
    mailGid_ = owner->pw_gid;
    owned_ = true;
    return {};
}

std::string DovecotServer::FolderDir(const std::string& folder) const {
    const std::string root = dir_ + "/mail/" + kUser;
    return folder == "INBOX" ? root : root + "/." + ModifiedUtf7(folder);
}

std::string DovecotServer::MakeFolder(const std::string& folder) {
    if (std::string why = Owner(); !why.empty()) return why;
    const std::string maildir = FolderDir(folder);
    for (const std::string& path : {dir_ + "/mail", dir_ + "/mail/" + kUser, maildir,
                                    maildir + "/cur", maildir + "/new", maildir + "/tmp"})
        if (fs::create_directory(path) && ::chown(path.c_str(), mailUid_, mailGid_) != 0)
            return "chown failed";
    return {};
}

void DovecotServer::AddToFolder(const std::string& folder, const MaildirMessage& message) {
    if (!MakeFolder(folder).empty()) return;
    const std::string maildir = FolderDir(folder);
    // Renamed in, as a delivery agent does: the server never sees half a message.
    const std::string tmp = maildir + "/tmp/" + message.name;
    TempTree::WriteAny(tmp, message.text);
    if (::chown(tmp.c_str(), mailUid_, mailGid_) == 0)
        fs::rename(tmp, maildir + "/cur/" + message.name + ":2,");
}

std::vector<std::string> DovecotServer::FolderFiles(const std::string& folder) const {
    std::vector<std::string> names;
    for (const char* sub : {"/cur", "/new"}) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(FolderDir(folder) + sub, ec))
            names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> DovecotServer::FolderNames(const std::string& folder) const {
    std::vector<std::string> names = FolderFiles(folder);
    for (std::string& name : names)
        name.erase(std::min(name.find(':'), name.size()));
    std::sort(names.begin(), names.end());
    return names;
}

std::string DovecotServer::Doveadm(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"-c", dir_ + "/dovecot.conf"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramResult r = RunProgram(kDoveadm, argv, {}, dir_);
    return r.exitCode == 0 ? "" : "doveadm " + args[0] + " failed: " + r.output;
}

std::string DovecotServer::ClearFlags(const std::string& folder) {
    const std::string maildir = FolderDir(folder);
    for (const std::string& file : FolderFiles(folder)) {
        const std::string name = file.substr(0, file.find(':')) + ":2,";
        if (file == name) continue;
        std::error_code ec;
        fs::rename(maildir + "/cur/" + file, maildir + "/cur/" + name, ec);
        if (ec) fs::rename(maildir + "/new/" + file, maildir + "/cur/" + name, ec);
        if (ec) return "cannot rename " + file;
    }
    return Doveadm({"force-resync", "-u", kUser, folder});
}

std::string DovecotServer::SetUidValidity(const std::string& folder, unsigned value) {
    return Doveadm({"mailbox", "update", "-u", kUser, "--uid-validity", std::to_string(value),
                    ModifiedUtf7(folder)});
}

std::string DovecotServer::Start(const std::vector<MaildirMessage>& messages) {
    if (std::string missing = Missing(); !missing.empty()) return missing;
    if (dir_.empty()) return "cannot create a temporary folder";
    if (std::string why = MakeFolder("INBOX"); !why.empty()) return why;
    const bool root = ::geteuid() == 0;
    const std::string self = root ? "" : ::getpwuid(::geteuid())->pw_name;
    const std::string internal = root ? "dovecot" : self;
    const std::string login = root ? "dovenull" : self;
    for (const char* sub : {"/run", "/state"})
        fs::create_directories(dir_ + sub);
    for (const MaildirMessage& message : messages)
        Add(message);
    const std::string& d = dir_;
    imapPort_ = OtherFreePort({port_});
    if (!cert_.empty()) {
        tlsPort_ = OtherFreePort({port_, imapPort_});
        imapTlsPort_ = OtherFreePort({port_, imapPort_, tlsPort_});
    }
    auto listener = [](const char* name, int port, bool tls) {
        return std::string("  inet_listener ") + name +
               " {\n    address = 127.0.0.1\n    port = " + std::to_string(port) +
               (tls ? "\n    ssl = yes\n  }\n" : "\n  }\n");
    };
    TempTree::WriteAny(d + "/passwd", std::string(kUser) + ":{PLAIN}" + kPassword + ":" +
                                          std::to_string(mailUid_) + ":" +
                                          std::to_string(mailGid_) + "::" + d + "/mail/" + kUser +
                                          "::\n");
    TempTree::WriteAny(
        d + "/dovecot.conf",
        "protocols = pop3 imap\nlisten = 127.0.0.1\nbase_dir = " + d + "/run\nstate_dir = " + d +
            "/state\nlog_path = " + d + "/dovecot.log\n" +
            (cert_.empty() ? std::string("ssl = no\n")
                           : "ssl = yes\nssl_cert = <" + cert_ + "\nssl_key = <" + key_ + "\n") +
            "disable_plaintext_auth = no\n"
            "auth_mechanisms = plain login apop cram-md5 scram-sha-256\nauth_failure_delay = 0\n"
            "default_internal_user = " +
            internal + "\ndefault_login_user = " + login +
            "\nfirst_valid_uid = 1\nmail_location = maildir:" + d +
            "/mail/%u\npop3_uidl_format = %f\n"
            // COMPRESS=DEFLATE (RFC 4978) after login.
            "mail_plugins = $mail_plugins\nprotocol imap {\n"
            "  mail_plugins = $mail_plugins imap_zlib\n}\n"
            "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " +
            d + "/passwd\n}\nuserdb {\n  driver = passwd-file\n  args = " + d +
            "/passwd\n}\nservice pop3-login {\n" + listener("pop3", port_, false) +
            (cert_.empty() ? "" : listener("pop3s", tlsPort_, true)) + "}\nservice imap-login {\n" +
            listener("imap", imapPort_, false) +
            (cert_.empty() ? "" : listener("imaps", imapTlsPort_, true)) + "}\n");
    std::string why = Launch({kBinary, "-F", "-c", d + "/dovecot.conf"}, d + "/stderr.log");
    // The master opens every listener before it serves any.
    for (int port : {imapPort_, tlsPort_, imapTlsPort_}) {
        if (!why.empty() || port == 0) continue;
        if (int s = ConnectLoopback(port); s >= 0)
            ::close(s);
        else
            why = "Dovecot does not accept on port " + std::to_string(port) + ": " + Log();
    }
    return why;
}

std::string DovecotServer::Log() const {
    return TempTree::ReadAny(dir_ + "/dovecot.log") + TempTree::ReadAny(dir_ + "/stderr.log");
}

bool EximServer::Start(std::string& why) {
    // Exim runs as its own user (or as the caller when not root), who must
    // own the spool and deliver the mail.
    passwd* pw = ::getuid() != 0             ? ::getpwuid(::getuid())
                 : ::getpwnam("Debian-exim") ? ::getpwnam("Debian-exim")
                                             : ::getpwnam("mail");
    const std::string user = pw ? pw->pw_name : "";
    for (const char* sub : {"/spool", "/log", "/out"}) {
        std::filesystem::create_directories(dir_ + sub);
        if (!pw || ::chown((dir_ + sub).c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            why = "cannot hand the folders to Exim's user";
            return false;
        }
    }
    TempTree::WriteAny(dir_ + "/exim.conf",
                       "primary_hostname = brix.test\nspool_directory = " + dir_ +
                           "/spool\nlog_file_path = " + dir_ +
                           "/log/%slog\ndaemon_smtp_ports = " + PortText() +
                           "\nlocal_interfaces = 127.0.0.1\n"
                           "acl_smtp_rcpt = acl_rcpt\nacl_smtp_data = acl_data\n"
                           "auth_advertise_hosts = *\nhost_lookup =\nrfc1413_hosts =\n" +
                           (cert_.empty() ? std::string("tls_advertise_hosts =\n")
                                          : "tls_advertise_hosts = *\ntls_certificate = " + cert_ +
                                                "\ntls_privatekey = " + key_ + "\n") +
                           "keep_environment =\nmessage_size_limit = 0\n"
                           "begin acl\nacl_rcpt:\n  deny recipients = refuse@brix.test\n"
                           "  deny message = authentication required\n"
                           "       domains = auth.test\n       !authenticated = *\n  accept\n"
                           // A code at the start of the message replaces Exim's 550.
                           "acl_data:\n  deny message = 554 message refused\n"
                           "       condition = ${if def:h_X-Refuse:}\n  accept\n"
                           "begin routers\nall:\n  driver = accept\n  transport = bsmtp_file\n"
                           "begin transports\nbsmtp_file:\n  driver = appendfile\n  directory "
                           "= " +
                           dir_ + "/out\n  use_bsmtp\n  user = " + user +
                           "\n  mode = 0644\n"
                           "begin authenticators\nlogin:\n  driver = plaintext\n  public_name = "
                           "LOGIN\n"
                           "  server_prompts = Username:: : Password::\n"
                           "  server_condition = ${if and "
                           "{{eq{$auth1}{user}}{eq{$auth2}{secret}}}}\n"
                           "  server_set_id = $auth1\n"
                           "plain:\n  driver = plaintext\n  public_name = PLAIN\n"
                           "  server_prompts = :\n"
                           "  server_condition = ${if and "
                           "{{eq{$auth2}{user}}{eq{$auth3}{secret}}}}\n"
                           "  server_set_id = $auth2\n"
                           "cram:\n  driver = cram_md5\n  public_name = CRAM-MD5\n"
                           "  server_secret = ${if eq{$auth1}{user}{secret}fail}\n"
                           "  server_set_id = $auth1\n");
    why = Launch({"/usr/sbin/exim4", "-C", dir_ + "/exim.conf", "-bdf", "-odi"}, "/dev/null");
    return why.empty();
}

std::vector<std::string> EximServer::Delivered(std::size_t count) {
    std::vector<std::string> texts;
    for (int i = 0; i < 100; ++i) {
        std::vector<std::string> files;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir_ + "/out", ec))
            files.push_back(e.path().string());
        std::sort(files.begin(), files.end());
        texts.clear();
        bool whole = true; // a file appears before Exim has written it
        for (const std::string& f : files) {
            texts.push_back(TempTree::ReadAny(f));
            whole = whole && (texts.back().ends_with(".\n") || texts.back().ends_with(".\r\n"));
        }
        if (texts.size() >= count && whole) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return texts;
}

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

std::string SocksProxyServer::Start(const std::string& user, const std::string& password) {
    if (dir_.empty()) return "cannot create a temporary folder";
    const std::string log = dir_ + "/proxy.log";
    if (kind_ == Kind::Microsocks) {
        std::vector<std::string> argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p",
                                         PortText()};
        if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
        const std::string why = Launch(argv, log);
        return why.empty() ? why : why + " (package microsocks)";
    }
    // In the foreground (no -D), so that the PID stays the server's.
    TempTree::WriteAny(
        dir_ + "/danted.conf",
        "logoutput: " + log + "\ninternal: 127.0.0.1 port = " + PortText() +
            "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n" +
            (::geteuid() == 0 ? "user.privileged: root\nuser.unprivileged: nobody\n" : "") +
            "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  log: error\n}\n"
            "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n"
            "  command: connect\n  log: connect error\n}\n");
    const std::string why =
        Launch({"/usr/sbin/danted", "-f", dir_ + "/danted.conf", "-p", dir_ + "/danted.pid"},
               dir_ + "/danted.out");
    return why.empty() ? why : why + " (package dante-server)";
}

std::string SocksProxyServer::Log() const {
    return TempTree::ReadAny(dir_ + "/proxy.log");
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
    TempTree::WriteAny(
        d + "/etc/inn.conf",
        "domain: example.test\npathhost: brix.test\nserver: 127.0.0.1\n"
        "bindaddress: 127.0.0.1\nport: " +
            PortText() + "\nrunasuser: " + name + "\nrunasgroup: " + name + "\npathnews: " + d +
            "\npathbin: /usr/lib/news/bin\npathfilter: " + d +
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
    TempTree::WriteAny(d + "/etc/storage.conf",
                       "method tradspool {\n newsgroups: *\n class: 0\n}\n");
    TempTree::WriteAny(d + "/etc/readers.conf",
                       "auth \"all\" {\n hosts: \"*\"\n default: \"<all>\"\n}\n"
                       "access \"all\" {\n users: \"<all>\"\n newsgroups: \"*\"\n"
                       " access: RPA\n}\n");
    TempTree::WriteAny(d + "/etc/newsfeeds", "ME:*::\n");
    TempTree::WriteAny(d + "/etc/incoming.conf",
                       "peer ME {\n hostname: \"localhost, 127.0.0.1\"\n}\n");
    TempTree::WriteAny(d + "/db/active", "control 0000000000 0000000001 n\n"
                                         "control.cancel 0000000000 0000000001 n\n"
                                         "junk 0000000000 0000000001 n\n");
    for (const char* f : {"/db/active.times", "/db/newsgroups", "/db/history"})
        TempTree::WriteAny(d + f, "");
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
    return TempTree::ReadAny(dir_ + "/innd.out") + TempTree::ReadAny(dir_ + "/nnrpd.out") +
           TempTree::ReadAny(dir_ + "/log/errlog") + TempTree::ReadAny(dir_ + "/log/news.notice");
}

namespace {
const std::string kNewKey = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ";
}

TestPki::TestPki() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "brix-pki-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a temporary folder");
    dir_ = tmpl;
    ::chmod(dir_.c_str(), 0755); // the servers read their keys as their own users
    for (const char* ca : {"ca", "stranger"})
        Openssl("openssl req -x509 -days 30 -subj /CN=" + std::string(ca) + kNewKey + ca +
                ".key -out " + ca + ".pem");
    localhost_ = Issue("localhost");
}

TestPki::~TestPki() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void TestPki::Openssl(const std::string& commands) const {
    std::string script = "cd '" + dir_ + "' && " + commands + " && chmod 644 * 2>/dev/null";
    if (std::system(("(" + script + ") >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("openssl failed: " + commands);
}

TestPki::Pair TestPki::Issue(const std::string& dns, int days, bool trusted) {
    const std::string n = std::to_string(++serial_), ca = trusted ? "ca" : "stranger";
    unsigned char ip[16];
    const bool address =
        inet_pton(AF_INET, dns.c_str(), ip) == 1 || inet_pton(AF_INET6, dns.c_str(), ip) == 1;
    Openssl("openssl req -new -subj /CN=" + dns +
            " -addext subjectAltName=" + (address ? "IP:" : "DNS:") + dns + kNewKey + "key" + n +
            ".pem | openssl x509 -req -copy_extensions copy -days " + std::to_string(days) +
            " -CA " + ca + ".pem -CAkey " + ca + ".key -out cert" + n + ".pem && cat " + ca +
            ".pem >> cert" + n + ".pem");
    return {dir_ + "/cert" + n + ".pem", dir_ + "/key" + n + ".pem"};
}

} // namespace brix::testing
