#pragma once
// A TCP relay on loopback that holds every segment for a fixed time in each
// direction, as a slow link would: order and the end of each stream pass
// through in order. Brix's commands wait a round trip each on real links;
// this shows what that costs (bench/, brix-delay-relay by hand) and makes a
// test's run last.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace brix::relay {

class DelayRelay {
  public:
    // Relays each connection to 127.0.0.1:targetPort; with bytesPerSecond,
    // each direction is also paced to that rate, as a link of that speed.
    DelayRelay(int targetPort, std::chrono::milliseconds delay, std::uint64_t bytesPerSecond = 0);
    ~DelayRelay();
    DelayRelay(const DelayRelay&) = delete;
    DelayRelay& operator=(const DelayRelay&) = delete;
    int Port() const { return port_; }

  private:
    void Accept();
    void Pump(int from, int to);

    int target_;
    std::chrono::milliseconds delay_;
    std::uint64_t rate_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> pumps_;
};

} // namespace brix::relay
