// Fetches N articles of about 3 KiB (default 2,000) from one group of a real
// INN 2 on loopback with the news fetch job, and reports the wall time and
// the CPU time per article, split into the first and the second half of the
// run so that a cost that grows with the run shows.
//
// Usage: brix_bench_news [articles]   (needs Debian's inn2; runs as root or
// as any user, with INN's files in a temporary folder)

#include "context/settings.h"
#include "news/batch.h"
#include "news/dupes.h"
#include "news/get_news.h"
#include "news/request_file.h"
#include "testing/real_servers.h"
#include "testing/temp_tree.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Lines Article(int n) {
    Lines a = {"Path: brix.test!not-for-mail",
               "From: Poster " + std::to_string(n % 50) + " <p" + std::to_string(n % 50) +
                   "@example.org>",
               "Newsgroups: de.bench",
               "Subject: benchmark article " + std::to_string(n),
               "Message-ID: <bench" + std::to_string(n) + "@brix.test>",
               "Date: Tue, 01 Dec 2026 10:00:00 +0000",
               ""};
    for (int i = 0; i < 38; ++i)
        a.push_back("line " + std::to_string(i) + " of article " + std::to_string(n) + " " +
                    std::string(60, static_cast<char>('a' + (n + i) % 26)));
    return a;
}

struct Half {
    double wall = 0, cpu = 0;
};

// Fetches articles pointer+1 .. last of the group into the tree.
Half Fetch(brix::tbrixconfig& box, const brix::testing::TempTree& tree, long pointer) {
    tree.Write("BOX1.rc", "de.bench " + std::to_string(pointer) + "\r\n");
    auto t0 = std::chrono::steady_clock::now();
    double c0 = CpuSeconds();
    brix::GetNews(box, false, nullptr);
    Half h;
    h.cpu = CpuSeconds() - c0;
    h.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return h;
}

bool Inject(brix::testing::InnServer& inn, const std::vector<Lines>& articles, int from, int to) {
    for (int at = from; at < to; at += 200) {
        std::vector<Lines> part(articles.begin() + at, articles.begin() + std::min(to, at + 200));
        for (const std::string& reply : inn.Inject(part))
            if (reply.rfind("235", 0) != 0) {
                std::fprintf(stderr, "injection refused: %s\n%s", reply.c_str(), inn.Log().c_str());
                return false;
            }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (count < 2) return 2;
    if (std::string why = brix::testing::InnServer::Missing(); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 2;
    }
    brix::testing::InnServer inn;
    if (std::string why = inn.Start({"de.bench"}); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    std::vector<Lines> articles;
    std::size_t bytes = 0;
    for (int n = 1; n <= count; ++n) {
        articles.push_back(Article(n));
        for (const std::string& line : articles.back())
            bytes += line.size() + 1;
    }
    const int half = count / 2;
    brix::RunSettings& s = brix::Settings();
    s.CurrentBox = "BOX1";
    s.VerboseMode = false;
    brix::tbrixconfig box;
    box.NNTPSERVER = "127.0.0.1";
    box.NNTPPORT = inn.ReaderPortText();
    box.NNTPNEWMAX = count;
    box.NNTPDUPESIZE = 1 << 20;
    auto useTree = [&](const brix::testing::TempTree& tree) {
        tree.MakeDir("spool");
        s.QvPath = tree.Path();
        s.LogDir = tree.Path();
        s.SpoolDir = tree.Path() + "spool/";
        box.NNTPSPOOL = s.SpoolDir;
        brix::NewsBatchCounter() = 0;
    };

    // First half on the server, fetched; then the second half, fetched with
    // the first half's duplicate list and batch in place.
    if (!Inject(inn, articles, 0, half)) return 1;
    brix::testing::TempTree halves;
    useTree(halves);
    Half a = Fetch(box, halves, 0);
    if (!Inject(inn, articles, half, count)) return 1;
    brix::NewsBatchCounter() = 0;
    Half b = Fetch(box, halves, half);

    // The whole group in one run into an empty tree.
    brix::testing::TempTree tree;
    useTree(tree);
    Half whole = Fetch(box, tree, 0);

    std::printf("%d articles of %.2f KiB on average, one group of INN 2 on loopback\n", count,
                static_cast<double>(bytes) / count / 1024.0);
    std::printf("whole run:   wall %.3f s (%.3f ms/article, %.0f articles/s), CPU %.3f s "
                "(%.1f us/article)\n",
                whole.wall, whole.wall * 1000 / count, count / whole.wall, whole.cpu,
                whole.cpu * 1e6 / count);
    std::printf("first half:  wall %.3f ms/article, CPU %.1f us/article\n", a.wall * 1000 / half,
                a.cpu * 1e6 / half);
    std::printf("second half: wall %.3f ms/article, CPU %.1f us/article\n",
                b.wall * 1000 / (count - half), b.cpu * 1e6 / (count - half));
    std::string batch = tree.Read("spool/n0000.msg");
    std::size_t entries = 0;
    for (std::size_t pos = 0; (pos = batch.find("#! rnews ", pos)) != std::string::npos; ++pos)
        ++entries;
    std::printf("batch: %zu entries, %zu bytes\n", entries, batch.size());
    return entries == static_cast<std::size_t>(count) && halves.Read("spool/n0000.msg") == batch
               ? 0
               : 1;
}
