// The status window on a screen in memory: frame, labels and values at
// their places, the colours, the byte counts and bars, and the news rate.

#include "display/status_window.h"

#include "platform/fakes.h"
#include "support/errors.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <limits>

namespace brix {
namespace {

using testing::MemoryScreen;

std::string Repeat(char c, std::int64_t n) {
    return std::string(static_cast<std::size_t>(n), c);
}

class StatusWindow : public ::testing::Test {
  protected:
    void SetUp() override { SetNewsStartTime(clock.unix); }
    MemoryScreen screen;
    testing::FixedClock clock;
    testing::TempTree dir;
};

TEST_F(StatusWindow, FrameLabelsAndValuesSitAtTheirPlaces) {
    tbrix_info info(3, 4, "Brix 1.0", std::string(40, 'S'), true, dir.Path());
    std::vector<std::string> want(25, Repeat(' ', 80));
    auto put = [&](int x, int y, const std::string& s) { want[y - 1].replace(x - 1, s.size(), s); };
    for (int y = 4; y <= 23; ++y) {
        const bool sep = y == 6 || y == 10 || y == 14;
        const char fill = sep || y == 4 || y == 23 ? '\xC4' : ' ';
        const char* ends = y == 4    ? "\xDA\xBF"
                           : y == 23 ? "\xC0\xD9"
                           : sep     ? "\xC3\xB4"
                                     : "\xB3\xB3";
        put(3, y, ends[0] + Repeat(fill, 74) + ends[1]);
    }
    put(5, 5, "Brix 1.0 ");
    put(35, 23, " " + Repeat('S', 40) + " ");
    for (int y : {7, 11}) {
        put(5, y, "Serv:");
        put(5, y + 1, "Info:");
        put(5, y + 2, y == 7 ? "Rcvd:" : "Sent:");
    }
    put(73, 7, "POP3");
    put(73, 11, "SMTP");
    for (int y : {15, 19})
        for (int x : {5, 42}) {
            put(x, y, "Serv:");
            put(x, y + 1, "  NG:");
            put(x, y + 2, "Info:");
            put(x, y + 3, " S+R:");
        }
    info.Pop3Line().SetServer("pop.example.org");
    info.SmtpLine().SetInfo("MAIL FROM:<a@b>");
    info.NewsLines(4).SetGroup("group4");
    put(11, 7, "pop.example.org");
    put(11, 12, "MAIL FROM:<a@b>");
    put(48, 20, "group4");
    for (int y = 4; y <= 23; ++y)
        EXPECT_EQ(screen.chars[y - 1], want[y - 1]) << "row " << y;
    EXPECT_EQ(screen.Attr(3, 4), 0x70);
    EXPECT_EQ(screen.Attr(5, 5), 0x7E);
    EXPECT_EQ(screen.Attr(11, 7), 0x7F);
    EXPECT_THROW(info.NewsLines(5), ERangeError);

    // Only the first news block draws its rate, on the bottom border.
    for (int n = 2; n <= 4; ++n)
        info.NewsLines(n).SetBytesDone(100);
    EXPECT_EQ(screen.chars[22], want[22]);
    SetNewsStartTime(clock.unix - 2);
    info.NewsLines(1).SetBytesDone(2048);
    EXPECT_EQ(screen.Text(3, 23, 24), "\xC0\xC4\xC4\xC4[1024 cps]" + Repeat('\xC4', 10));
}

TEST_F(StatusWindow, ByteCountsAndBar) {
    const std::int64_t kHuge = std::numeric_limits<std::int64_t>::max();
    struct Case {
        std::int64_t total, done;
        std::string bytes, bar;
    } cases[] = {
        {0, 100, "(100/0)", ""}, // no total, no bar
        {2000000000, 1900000000, "(1,76G/1,86G)", Repeat('\xDB', 28) + Repeat('\xB0', 2) + " 95%"},
        {1000, 3000, "(2,92K/1000)", Repeat('\xDB', 30) + " 100%"}, // more than announced
        {100, -5, "(0/100)", Repeat('\xB0', 30) + " 0%"},
        {kHuge, kHuge / 2, "(1,99G/1,99G)", Repeat('\xDB', 30) + " 100%"}, // 32 bits at most
    };
    for (const Case& c : cases) {
        screen.ClearScreen();
        tbrix_sinf block(5, 7, "POP3", {0x70, 0x7F, 0x7E}, true);
        block.SetBytesTotal(c.total);
        block.SetBytesDone(c.done);
        EXPECT_EQ(screen.Text(28, 9, 13), c.bytes + Repeat(' ', 13 - c.bytes.size())) << c.bytes;
        EXPECT_EQ(screen.Text(42, 9, 35), c.bar + Repeat(' ', 35 - c.bar.size())) << c.bytes;
    }
    // News blocks show bytes without total or bar, and the rate eight rows down.
    tbrix_ninf news(5, 15, "NNTP", {0x70, 0x7F, 0x7E}, true);
    news.SetBytesTotal(1024);
    SetNewsStartTime(clock.unix - 10);
    news.SetBytesDone(1005); // halves round up
    EXPECT_EQ(screen.Text(28, 18, 6), "(1005)");
    EXPECT_EQ(screen.Text(7, 23, 20), "[101 cps]" + Repeat('\xC4', 11));
    clock.unix += 10;
    news.Update();
    EXPECT_EQ(screen.Text(7, 23, 20), "[50 cps]" + Repeat('\xC4', 12));
}

} // namespace
} // namespace brix
