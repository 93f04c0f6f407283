#include "display/status_lines.h"

#include "platform/fakes.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace brix {
namespace {

using testing::FixedClock;
using testing::MemoryScreen;

constexpr StatusColors kColors = {0x70, 0x7F, 0x7E};
constexpr std::uint8_t kLabel = 0x70, kValue = 0x7F;

std::string Repeat(char c, int n) {
    return std::string(static_cast<std::size_t>(n), c);
}

// Letters, so that a cut shows exactly where it fell.
std::string Sample(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += static_cast<char>('a' + i % 26);
    return s;
}

struct Write {
    int x, y;
    std::string text;
    std::uint8_t attr;
};

class StatusLines : public ::testing::Test {
  protected:
    void SetUp() override { SetNewsStartTime(clock.unix); }
    // Compares the writes since the last call, then forgets them.
    void ExpectWrites(const std::vector<Write>& want) {
        ASSERT_EQ(screen.writes.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(screen.writes[i].x, want[i].x);
            EXPECT_EQ(screen.writes[i].y, want[i].y);
            EXPECT_EQ(screen.writes[i].text, want[i].text);
            EXPECT_EQ(screen.writes[i].attr, want[i].attr);
        }
        screen.writes.clear();
    }
    MemoryScreen screen;
    FixedClock clock;
};

// The labels of the POP3, SMTP and news blocks are checked in the window.
TEST_F(StatusLines, OtherKindGetsNoCountLabelNorKind) {
    tbrix_sinf block(5, 7, "NNTP", kColors, true);
    ExpectWrites({{5, 7, "Serv:", kLabel}, {5, 8, "Info:", kLabel}});
}

TEST_F(StatusLines, OnlyTheChangedFieldIsClearedAndRedrawn) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    screen.writes.clear();
    block.SetServer("pop.example.org");
    ExpectWrites({{11, 7, Repeat(' ', 61), kValue}, {11, 7, "pop.example.org", kValue}});
    block.SetServer("pop.example.org");
    block.Update();
    ExpectWrites({});
    block.SetInfo("RETR 1");
    ExpectWrites({{11, 8, Repeat(' ', 66), kValue}, {11, 8, "RETR 1", kValue}});
    block.SetMsgTotal(5);
    screen.writes.clear();
    block.SetMsgDone(2);
    ExpectWrites({{11, 9, Repeat(' ', 16), kValue}, {11, 9, "2/5 Msgs", kValue}});
    EXPECT_EQ(screen.Text(11, 9, 16), "2/5 Msgs        ");
    block.SetBytesTotal(1024);
    screen.writes.clear();
    block.SetBytesDone(512);
    ExpectWrites({{28, 9, Repeat(' ', 13), kValue},
                  {28, 9, "(512/1,00K)", kValue},
                  {42, 9, Repeat(' ', 35), kValue},
                  {42, 9, Repeat('\xDB', 15) + Repeat('\xB0', 15) + " 50%", kValue}});
    // The same percentage leaves the bar alone.
    block.SetBytesDone(515);
    ExpectWrites({{28, 9, Repeat(' ', 13), kValue}, {28, 9, "(515/1,00K)", kValue}});
}

TEST_F(StatusLines, TextsAreCutToTheirFields) {
    tbrix_sinf mail(5, 7, "POP3", kColors, true);
    mail.SetServer(Sample(70));
    EXPECT_EQ(screen.Text(11, 7, 62), Sample(61) + " ");
    mail.SetInfo(Sample(80));
    EXPECT_EQ(screen.writes.back().text, Sample(66));
    // The full text is kept, up to 255 characters; only the drawn copy is cut.
    EXPECT_EQ(mail.Server(), Sample(70));
    mail.SetServer(Sample(300));
    EXPECT_EQ(mail.Server().size(), 255u);

    tbrix_ninf news(5, 15, "NNTP", kColors, true);
    news.SetServer(Sample(70));
    news.SetGroup(Sample(40));
    news.SetInfo(Sample(31));
    EXPECT_EQ(screen.Text(11, 15, 31), Sample(30) + " ");
    EXPECT_EQ(screen.Text(11, 16, 31), Sample(30) + " ");
    EXPECT_EQ(screen.Text(11, 17, 31), Sample(30) + " ");
}

TEST_F(StatusLines, ByteCountsAndBar) {
    const std::int64_t kHuge = std::numeric_limits<std::int64_t>::max();
    struct Case {
        std::int64_t total, done;
        std::string bytes, bar;
        int percent;
    } cases[] = {
        // No total, no bar.
        {0, 100, "(100/0)", "", -1},
        {1024, 512, "(512/1,00K)", Repeat('\xDB', 15) + Repeat('\xB0', 15) + " 50%", 50},
        // done * 100 overflows 32 bits.
        {2000000000, 1900000000, "(1,76G/1,86G)", Repeat('\xDB', 28) + Repeat('\xB0', 2) + " 95%",
         95},
        // More than announced: a full bar and no more.
        {1000, 3000, "(2,92K/1000)", Repeat('\xDB', 30) + " 100%", 100},
        // A job's arithmetic gone below zero shows as 0.
        {100, -5, "(0/100)", Repeat('\xB0', 30) + " 0%", 0},
        // Counters saturate at 32 bits.
        {kHuge, kHuge / 2, "(1,99G/1,99G)", Repeat('\xDB', 30) + " 100%", 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        screen.ClearScreen();
        tbrix_sinf block(5, 7, "POP3", kColors, true);
        block.SetBytesTotal(c.total);
        block.SetBytesDone(c.done);
        EXPECT_EQ(screen.Text(28, 9, 13), c.bytes + Repeat(' ', 13 - int(c.bytes.size())));
        EXPECT_EQ(screen.Text(42, 9, 35), c.bar + Repeat(' ', 35 - int(c.bar.size())));
        EXPECT_EQ(block.Percent(), c.percent);
    }
}

TEST_F(StatusLines, NewsBlockShowsBytesWithoutTotalNorBar) {
    tbrix_ninf block(5, 15, "NNTP", kColors, true);
    block.SetBytesTotal(1024);
    block.SetMsgTotal(5);
    screen.writes.clear();
    block.SetBytesDone(512);
    // Byte count (2 writes), then the rate line (2 writes).
    ASSERT_EQ(screen.writes.size(), 4u);
    screen.writes.resize(2);
    ExpectWrites({{28, 18, Repeat(' ', 13), kValue}, {28, 18, "(512)", kValue}});
    EXPECT_EQ(block.Percent(), 50);
    EXPECT_EQ(block.ShownPercent(), -1);
    EXPECT_EQ(screen.Text(11, 18, 8), "0/5 Msgs");
}

TEST_F(StatusLines, NewsRateLineIsRedrawnEightRowsDownOnEveryUpdate) {
    tbrix_ninf block(5, 15, "NNTP", kColors, true);
    SetNewsStartTime(clock.unix - 10);
    block.SetBytesDone(1005); // halves round up
    EXPECT_EQ(screen.Text(7, 23, 20), "[101 cps]" + Repeat('\xC4', 11));
    screen.writes.erase(screen.writes.begin(), screen.writes.end() - 2);
    ExpectWrites({{7, 23, Repeat('\xC4', 20), kLabel}, {7, 23, "[101 cps]", kLabel}});
    clock.unix += 10;
    block.Update();
    EXPECT_EQ(NewsElapsed(), 20);
    ExpectWrites({{7, 23, Repeat('\xC4', 20), kLabel}, {7, 23, "[50 cps]", kLabel}});
    // No time passed: the rate keeps its value, which a new start reset.
    SetNewsStartTime(clock.unix);
    block.Update();
    EXPECT_EQ(screen.writes.back().text, "[0 cps]");
}

} // namespace
} // namespace brix
