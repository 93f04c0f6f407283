// brix-delay-relay PORT MILLISECONDS: relays connections to 127.0.0.1:PORT,
// holding every segment MILLISECONDS in each direction, until interrupted.
// Point a box at the port it prints to see Brix on a slow link.

#include "delay_relay.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT MILLISECONDS\n", argv[0]);
        return 1;
    }
    brix::relay::DelayRelay relay(std::atoi(argv[1]),
                                  std::chrono::milliseconds(std::atoi(argv[2])));
    std::printf("relaying 127.0.0.1:%d to 127.0.0.1:%s\n", relay.Port(), argv[1]);
    std::fflush(stdout);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int sig = 0;
    sigwait(&set, &sig);
    // The relay's threads may still hold connections: leave without them.
    std::_Exit(0);
}
