#include "delay_relay.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace brix::relay {

namespace {
struct Chunk {
    std::chrono::steady_clock::time_point due;
    std::string data;
};

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}
} // namespace

DelayRelay::DelayRelay(int targetPort, std::chrono::milliseconds delay,
                       std::uint64_t bytesPerSecond)
    : target_(targetPort), delay_(delay), rate_(bytesPerSecond) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = Loopback(0);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 16);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
}

DelayRelay::~DelayRelay() {
    stop_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    ::close(listen_);
    acceptor_.join();
    for (auto& t : pumps_)
        t.join();
}

void DelayRelay::Accept() {
    for (;;) {
        int client = ::accept(listen_, nullptr, nullptr);
        if (client < 0 && errno == EINTR && !stop_) continue;
        if (client < 0) return;
        int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback(target_);
        if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(client);
            ::close(server);
            continue;
        }
        int on = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // The descriptors are closed once both directions are done: closed
        // by the first, their numbers could go to the next connection while
        // the second still shuts down its side, cutting that connection.
        pumps_.emplace_back([=, this] {
            std::thread up([=, this] { Pump(client, server); });
            Pump(server, client);
            up.join();
            ::close(client);
            ::close(server);
        });
    }
}

// Reads from `from`, delivers to `to` after the delay, in order.
void DelayRelay::Pump(int from, int to) {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Chunk> queue;
    bool done = false;
    std::thread writer([&] {
        std::unique_lock lock(m);
        for (;;) {
            cv.wait(lock, [&] { return done || !queue.empty(); });
            if (queue.empty()) break;
            Chunk c = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            std::this_thread::sleep_until(c.due);
            for (std::size_t off = 0; off < c.data.size();) {
                ssize_t n = ::send(to, c.data.data() + off, c.data.size() - off, MSG_NOSIGNAL);
                // A signal (a child of the benchmark ending) is no end.
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                off += static_cast<std::size_t>(n);
            }
            lock.lock();
        }
        ::shutdown(to, SHUT_WR);
    });
    // At a rate, a segment leaves the link no earlier than the one before
    // it has, plus its own time on the wire.
    std::chrono::steady_clock::time_point wireFree{};
    char buf[16384];
    for (;;) {
        ssize_t n =
            ::recv(from, buf, rate_ ? std::min<std::size_t>(sizeof buf, 1460) : sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        auto due = std::chrono::steady_clock::now() + delay_;
        if (rate_) {
            wireFree = std::max(wireFree, std::chrono::steady_clock::now()) +
                       std::chrono::microseconds(static_cast<std::uint64_t>(n) * 1'000'000 / rate_);
            due = std::max(due, wireFree + delay_);
        }
        std::lock_guard lock(m);
        queue.push_back({due, std::string(buf, static_cast<std::size_t>(n))});
        cv.notify_one();
    }
    {
        std::lock_guard lock(m);
        done = true;
        cv.notify_one();
    }
    writer.join();
}

} // namespace brix::relay
