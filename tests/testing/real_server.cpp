#include "testing/real_server.h"

#include "testing/run_program.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace brix::testing {

namespace {
sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}
} // namespace

int FreeLoopbackPort(int* listener) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
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

int ConnectLoopback(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
    ::close(s);
    return -1;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
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
            return argv[0] + " ended at start-up: " + ReadText(output);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return argv[0] + " did not accept connections: " + ReadText(output);
}

} // namespace brix::testing
