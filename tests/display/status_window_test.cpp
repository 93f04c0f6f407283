// The status window on a screen in memory: frame, labels and values at
// their places, the colours, a byte count with its bar, and the news rate.

#include "display/status_window.h"

#include "platform/fakes.h"
#include "support/errors.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

std::string Repeat(char c, std::int64_t n) {
    return std::string(static_cast<std::size_t>(n), c);
}

TEST(StatusWindow, FramedScreenWithValuesBytesBarAndRate) {
    testing::MemoryScreen screen;
    testing::FixedClock clock;
    testing::TempTree dir;
    SetNewsStartTime(clock.unix);
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
    info.Pop3Line().SetBytesTotal(2000000000);
    info.Pop3Line().SetBytesDone(1900000000);
    info.SmtpLine().SetInfo("MAIL FROM:<a@b>");
    info.NewsLines(4).SetGroup("group4");
    info.NewsLines(4).SetBytesDone(100); // only the first news block draws its rate
    put(11, 7, "pop.example.org");
    put(28, 9, "(1,76G/1,86G)");
    put(42, 9, Repeat('\xDB', 28) + Repeat('\xB0', 2) + " 95%");
    put(11, 12, "MAIL FROM:<a@b>");
    put(48, 20, "group4");
    put(65, 22, "(100)");
    for (int y = 4; y <= 23; ++y)
        EXPECT_EQ(screen.chars[y - 1], want[y - 1]) << "row " << y;
    EXPECT_EQ(screen.Attr(3, 4), 0x70);
    EXPECT_EQ(screen.Attr(5, 5), 0x7E);
    EXPECT_EQ(screen.Attr(11, 7), 0x7F);
    EXPECT_THROW(info.NewsLines(5), ERangeError);

    SetNewsStartTime(clock.unix - 2);
    info.NewsLines(1).SetBytesDone(2048);
    EXPECT_EQ(screen.Text(3, 23, 24), "\xC0\xC4\xC4\xC4[1024 cps]" + Repeat('\xC4', 10));
}

} // namespace
} // namespace brix
