#include "testing/exim_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace brix::testing {

namespace fs = std::filesystem;

int FreeLoopbackPort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

namespace {
bool CanConnect(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}
} // namespace

EximServer::EximServer() {
    std::string tmpl = (fs::temp_directory_path() / "brix-exim-XXXXXX").string();
    if (::mkdtemp(tmpl.data())) dir_ = tmpl;
}

EximServer::~EximServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 50; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

bool EximServer::Start(std::string& why) {
    const char* exim = "/usr/sbin/exim4";
    if (::access(exim, X_OK) != 0) {
        why = "Exim (exim4-daemon-light) is not installed";
        return false;
    }
    if (dir_.empty()) {
        why = "no temporary directory";
        return false;
    }
    // Exim gives up root for a configuration of its own and then runs as
    // its own user (or as the caller when not root): that user must own the
    // spool and deliver the mail.
    std::string user;
    if (::getuid() == 0) {
        user = ::getpwnam("Debian-exim") ? "Debian-exim" : "mail";
    } else {
        passwd* pw = ::getpwuid(::getuid());
        user = pw ? pw->pw_name : "";
    }
    passwd* pw = ::getpwnam(user.c_str());
    if (!pw) {
        why = "no user for Exim";
        return false;
    }
    for (const char* sub : {"spool", "log", "out"}) {
        fs::create_directories(dir_ + "/" + sub);
        if (::chown((dir_ + "/" + sub).c_str(), pw->pw_uid, pw->pw_gid) != 0 && ::getuid() == 0) {
            why = "cannot hand the folders to " + user;
            return false;
        }
    }
    ::chmod(dir_.c_str(), 0755);
    port_ = FreeLoopbackPort();
    std::ofstream(dir_ + "/exim.conf")
        << "primary_hostname = brix.test\n"
        << "spool_directory = " << dir_ << "/spool\n"
        << "log_file_path = " << dir_ << "/log/%slog\n"
        << "daemon_smtp_ports = " << port_ << "\n"
        << "local_interfaces = 127.0.0.1\n"
        << "acl_smtp_rcpt = acl_rcpt\nacl_smtp_data = acl_data\n"
        << "auth_advertise_hosts = *\nhost_lookup =\nrfc1413_hosts =\n"
        << (cert_.empty() ? std::string("tls_advertise_hosts =\n")
                          : "tls_advertise_hosts = *\ntls_certificate = " + cert_ +
                                "\ntls_privatekey = " + key_ + "\n")
        << "keep_environment =\n"
        << "begin acl\nacl_rcpt:\n"
        << "  deny recipients = refuse@brix.test\n"
        << "  deny message = authentication required\n"
        << "       domains = auth.test\n       !authenticated = *\n"
        << "  accept\n"
        // A code at the start of the message replaces Exim's default 550.
        << "acl_data:\n  deny message = 554 message refused\n"
        << "       condition = ${if def:h_X-Refuse:}\n  accept\n"
        << "begin routers\nall:\n  driver = accept\n  transport = bsmtp_file\n"
        << "begin transports\nbsmtp_file:\n  driver = appendfile\n"
        << "  directory = " << dir_ << "/out\n  use_bsmtp\n"
        << "  user = " << user << "\n  mode = 0644\n"
        << "begin authenticators\nlogin:\n  driver = plaintext\n  public_name = LOGIN\n"
        << "  server_prompts = Username:: : Password::\n"
        << "  server_condition = ${if and {{eq{$auth1}{user}}{eq{$auth2}{secret}}}}\n"
        << "  server_set_id = $auth1\n";
    pid_ = ::fork();
    if (pid_ == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::string conf = dir_ + "/exim.conf";
        ::execl(exim, exim, "-C", conf.c_str(), "-bdf", "-odi", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 100; ++i) {
        if (CanConnect(port_)) return true;
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why = "Exim did not start; see " + dir_ + "/log";
    return false;
}

std::vector<std::string> EximServer::Delivered(std::size_t count) {
    std::vector<std::string> files;
    for (int i = 0; i < 100; ++i) {
        files.clear();
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir_ + "/out", ec)) {
            files.push_back(e.path().string());
        }
        if (files.size() >= count) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> out;
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

} // namespace brix::testing
