// Keep-mode fetch of 1,000 and 4,000 messages of about 4 KiB from a real
// Dovecot on loopback by the brix program: wall time per run and the growth
// from 1x to 4x, which must stay near 4 (nothing per message may grow with
// the run). Also a second run over the larger mailbox, which fetches nothing.
//
// Usage: brix_bench_pop3 [runs]   (needs Dovecot; run by hand, never by CTest)

#include "testing/real_servers.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace brix::testing;

double Seconds(const std::function<void()>& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Median wall time of a first keep-mode fetch of `count` messages, and of
// the second run over the same mailbox.
std::pair<double, double> Row(int count, int runs) {
    std::vector<MaildirMessage> seed;
    const std::string body(60, 'x');
    for (int i = 0; i < count; ++i) {
        std::string text =
            "From: bench@example.org\nSubject: message " + std::to_string(i) + "\n\n";
        while (text.size() < 4096)
            text += body + "\n";
        seed.push_back(
            {std::to_string(1000000000 + i) + ".M" + std::to_string(i) + "P1.bench", text});
    }
    DovecotServer pop;
    if (std::string why = pop.Start(seed); !why.empty()) {
        std::fprintf(stderr, "Dovecot: %s\n", why.c_str());
        std::exit(1);
    }
    std::vector<double> first, second;
    for (int r = 0; r < runs; ++r) {
        TempTree t;
        t.MakeDir("spool");
        t.Write("qvdesk.cfg", "");
        t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + pop.PortText() +
                                "\nPOP3USER=joe\nPOP3PASS=tanstaaf\n");
        auto run = [&] { RunBrix({"box1.bfg", "-v"}, {"QV=" + t.Path()}); };
        first.push_back(Seconds(run));
        second.push_back(Seconds(run));
    }
    std::sort(first.begin(), first.end());
    std::sort(second.begin(), second.end());
    return {first[first.size() / 2], second[second.size() / 2]};
}

} // namespace

int main(int argc, char** argv) {
    if (std::string why = DovecotServer::Missing(); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    auto [t1, again1] = Row(1000, runs);
    auto [t4, again4] = Row(4000, runs);
    std::printf("POP3 keep mode, real Dovecot on loopback, 4 KiB messages (median of %d)\n", runs);
    std::printf("  1,000 messages: %.2f s (%.0f msg/s); second run %.2f s\n", t1, 1000 / t1,
                again1);
    std::printf("  4,000 messages: %.2f s (%.0f msg/s); second run %.2f s\n", t4, 4000 / t4,
                again4);
    std::printf("  growth 1x -> 4x: %.2f (linear: 4.0)\n", t4 / t1);
    return 0;
}
