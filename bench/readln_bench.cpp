// Reads 100 MiB of short lines through TBufTCPClientSocket::ReadLn over
// loopback and reports the throughput and the receive calls per MiB. The
// buffered socket is meant to cost one receive per 4096 bytes (256 per MiB);
// the run fails when it needs more than 5 % above that.
//
// Usage: brix_bench_readln [MiB]

#include "net/buf_tcp_client_socket.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// One MiB of CR LF lines of 20 to 60 characters, like mail and overview text.
std::string MakeBlock() {
    std::string block;
    unsigned n = 0;
    while (block.size() < kMiB) {
        std::string line = "line " + std::to_string(n) + " ";
        line.append(15 + (n * 7) % 40, static_cast<char>('a' + n % 26));
        block += line + "\r\n";
        ++n;
    }
    // Cut at a line end so that every block holds whole lines.
    block.resize(block.rfind('\n', kMiB - 1) + 1);
    return block;
}

} // namespace

int main(int argc, char** argv) {
    int mebibytes = argc > 1 ? std::atoi(argv[1]) : 100;
    if (mebibytes <= 0) mebibytes = 100;

    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("listen");
        return 2;
    }
    const std::string block = MakeBlock();
    std::size_t total = block.size() * static_cast<std::size_t>(mebibytes);

    std::thread sender([&] {
        int fd = ::accept(listener, nullptr, nullptr);
        for (int i = 0; i < mebibytes; ++i) {
            std::size_t pos = 0;
            while (pos < block.size()) {
                ssize_t n = ::send(fd, block.data() + pos, block.size() - pos, MSG_NOSIGNAL);
                if (n <= 0) break;
                pos += static_cast<std::size_t>(n);
            }
        }
        ::close(fd);
    });

    brix::TBufTCPClientSocket socket;
    socket.Connect("127.0.0.1", std::to_string(ntohs(addr.sin_port)));
    auto start = std::chrono::steady_clock::now();
    std::string line;
    std::size_t lines = 0, bytes = 0;
    for (;;) {
        socket.ReadLn(line);
        if (!socket.LastLineEnded()) break;
        ++lines;
        bytes += line.size() + 2;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sender.join();
    ::close(listener);

    double mib = static_cast<double>(bytes) / kMiB;
    double perMiB = static_cast<double>(socket.ReceiveCalls) / mib;
    double ideal = static_cast<double>(kMiB) / brix::TBufTCPClientSocket::kBufferSize;
    std::printf("lines read:          %zu\n", lines);
    std::printf("bytes read:          %zu of %zu\n", bytes, total);
    std::printf("time:                %.3f s\n", seconds);
    std::printf("throughput:          %.1f MiB/s\n", mib / seconds);
    std::printf("receive calls:       %llu\n",
                static_cast<unsigned long long>(socket.ReceiveCalls));
    std::printf("receive calls / MiB: %.1f (one per 4096 bytes: %.0f, ratio %.3f)\n", perMiB, ideal,
                perMiB / ideal);
    bool ok = bytes == total && perMiB <= ideal * 1.05;
    std::printf("%s\n", ok ? "OK" : "FAIL");
    return ok ? 0 : 1;
}
