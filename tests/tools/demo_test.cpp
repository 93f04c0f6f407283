// scripts/demo as a new user runs it, here without a terminal: the whole
// program against the bundled server, checked by what arrived where; then
// the installed program under a prefix of its own.

#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace brix {
namespace {

namespace fs = std::filesystem;
using testing::TempTree;

// The files of dir whose names start with `prefix`, one after another.
std::string FilesLike(const fs::path& dir, const std::string& prefix, int& count) {
    std::string all;
    count = 0;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().starts_with(prefix) && e.path().extension() == ".msg") {
            ++count;
            all += TempTree::ReadAny(e.path());
        }
    return all;
}

TEST(Demo, RunsTheMainJobOnTheBundledServerAndInstalls) {
    TempTree tmp;
    const std::string build = fs::path(BRIX_BINARY).parent_path().string();
    auto r = testing::RunProgram(BRIX_SOURCE_DIR "/scripts/demo", {"--keep", "--no-build"},
                                 {"TMPDIR=" + tmp.Path(), "BRIX_BUILD_DIR=" + build});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const fs::path demo = fs::directory_iterator(tmp.Path())->path(), qv = demo / "qv",
                   spool = qv / "spool", server = demo / "server";
    auto has = [](const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    };

    // Mail: the three sample messages fetched, the queued reply sent.
    int count = 0;
    std::string fetched = FilesLike(spool, "m", count);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(fetched.rfind("From alice@", 0), 0u);
    EXPECT_TRUE(has(fetched, "Subject: Your weekly digest\n")) << fetched;
    EXPECT_FALSE(fs::exists(spool / "m0001.out"));
    std::string sent = TempTree::ReadAny(server / "sink" / "0001.eml");
    EXPECT_TRUE(has(sent, "X-Mailer: Demo Reader 1.0, via Brix/W v0.4.2l\n")) << sent;
    EXPECT_TRUE(has(sent, "\n.and this line")) << sent;

    // News: the article posted, the groups fetched
    // (the spammer killed by the scorefile, the binaries group header-only).
    EXPECT_FALSE(fs::exists(spool / "n0001.out"));
    EXPECT_TRUE(has(TempTree::ReadAny(server / "news" / "demo.talk" / "5"),
                    "X-Newsreader: Demo Reader 1.0, via Brix/W v0.4.2l"));
    std::string batches = FilesLike(spool, "n", count);
    for (const char* s :
         {"#! rnews ", "Subject: Offline readers\n", "X-Score: 10\n", "X-QV-Mode: HdrOnly\n"})
        EXPECT_TRUE(has(batches, s)) << s;
    EXPECT_FALSE(has(batches, "MAKE MONEY FAST"));
    EXPECT_FALSE(has(batches, "<post-1@example.org>")); // posted, so not fetched back
    std::string rc = TempTree::ReadAny(qv / "DEMO.rc");
    EXPECT_TRUE(has(rc, "demo.announce 2\r\n") && has(rc, "demo.talk 5\r\n")) << rc;

    r = testing::RunProgram("/usr/bin/env", {"cmake", "--install", build, "--prefix", tmp / "p"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(tmp.Exists("p/share/man/man1/brix.1"));
    r = testing::RunProgram(tmp / "p/bin/brix", {"-h"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.output, "man brix")) << r.output;
}

} // namespace
} // namespace brix
