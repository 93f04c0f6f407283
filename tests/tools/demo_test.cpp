// scripts/demo as a new user runs it, here without a terminal: the whole
// program against the bundled server, checked by what arrived where.

#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace brix {
namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The contents of the files matching prefix*suffix in dir, one after another.
std::string FilesLike(const std::filesystem::path& dir, const std::string& prefix,
                      const std::string& suffix, int& count) {
    std::string all;
    count = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) != 0 || name.size() < suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        ++count;
        all += Slurp(e.path());
    }
    return all;
}

TEST(Demo, RunsTheMainJobOnTheBundledServer) {
    testing::TempTree tmp;
    std::string build = std::filesystem::path(BRIX_BINARY).parent_path().string();
    auto r = testing::RunProgram(BRIX_SOURCE_DIR "/scripts/demo", {"--keep", "--no-build"},
                                 {"TMPDIR=" + tmp.Path(), "BRIX_BUILD_DIR=" + build});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(Has(r.output, "Brix demo: what arrived where")) << r.output;
    std::filesystem::path demo;
    for (const auto& e : std::filesystem::directory_iterator(tmp.Path()))
        demo = e.path();
    ASSERT_FALSE(demo.empty());
    std::filesystem::path qv = demo / "qv", spool = qv / "spool", server = demo / "server";

    // Mail: the three sample messages fetched, the queued reply sent.
    int count = 0;
    std::string fetched = FilesLike(spool, "m", ".msg", count);
    EXPECT_EQ(count, 3);
    for (const char* s : {"Subject: Welcome to Brix\n", "Subject: Minutes of Monday's meeting\n",
                          "Subject: Your weekly digest\n"})
        EXPECT_TRUE(Has(fetched, s)) << s;
    EXPECT_EQ(fetched.rfind("From alice@", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(spool / "m0001.out"));
    std::string sent = Slurp(server / "sink" / "0001.eml");
    EXPECT_TRUE(Has(sent, "X-Envelope-To: <bob@example.org>\n")) << sent;
    EXPECT_TRUE(Has(sent, "X-Mailer: Demo Reader 1.0, via Brix/W v0.4.2l\n")) << sent;
    EXPECT_TRUE(Has(sent, "\n.and this line")) << sent;
    EXPECT_TRUE(Has(Slurp(demo / "server.log"), "stopped (signal)"));

    // News: the article posted, the group list kept, the groups fetched
    // (the spammer killed by the scorefile, the binaries group header-only).
    EXPECT_FALSE(std::filesystem::exists(spool / "n0001.out"));
    EXPECT_TRUE(Has(Slurp(server / "news" / "demo.talk" / "5"),
                    "X-Newsreader: Demo Reader 1.0, via Brix/W v0.4.2l"));
    EXPECT_EQ(Slurp(qv / "DEMO.bl").rfind("!new_groups:", 0), 0u);
    std::string batches = FilesLike(spool, "n", ".msg", count);
    EXPECT_GE(count, 1);
    for (const char* s : {"#! rnews ", "Subject: Brix 0.4 released\n", "Subject: Offline readers\n",
                          "X-Score: 10\n", "X-QV-Mode: HdrOnly\n"})
        EXPECT_TRUE(Has(batches, s)) << s;
    EXPECT_FALSE(Has(batches, "MAKE MONEY FAST"));
    EXPECT_FALSE(Has(batches, "<post-1@example.org>")); // posted, so not fetched back
    std::string rc = Slurp(qv / "DEMO.rc");
    EXPECT_TRUE(Has(rc, "demo.announce 2\r\n") && Has(rc, "demo.talk 5\r\n")) << rc;
    EXPECT_TRUE(Has(r.output, " articles  demo.")) << r.output;
}

TEST(Demo, InstallPutsBrixAndItsManualPageUnderThePrefix) {
    testing::TempTree prefix;
    std::string build = std::filesystem::path(BRIX_BINARY).parent_path().string();
    auto r = testing::RunProgram("/usr/bin/env",
                                 {"cmake", "--install", build, "--prefix", prefix.Path()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(prefix.Exists("share/man/man1/brix.1"));
    r = testing::RunProgram(prefix / "bin/brix", {"-h"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.output, "man brix")) << r.output;
}

} // namespace
} // namespace brix
