#include "display/status_lines.h"

#include "platform/fakes.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace brix {
namespace {

using testing::FixedClock;
using testing::MemoryScreen;

constexpr StatusColors kColors = {0x70, 0x7F, 0x7E};
constexpr std::uint8_t kLabel = 0x70, kValue = 0x7F;

std::string Repeat(char c, int n) {
    return std::string(static_cast<std::size_t>(n), c);
}

// Digits and letters, so that a cut shows exactly where it fell.
std::string Sample(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += static_cast<char>('a' + i % 26);
    return s;
}

void ExpectWrite(const MemoryScreen::WriteRecord& w, int x, int y, const std::string& text,
                 std::uint8_t attr) {
    EXPECT_EQ(w.x, x);
    EXPECT_EQ(w.y, y);
    EXPECT_EQ(w.text, text);
    EXPECT_EQ(w.attr, attr);
}

class StatusLines : public ::testing::Test {
  protected:
    void SetUp() override { SetNewsStartTime(clock.unix); }
    MemoryScreen screen;
    FixedClock clock;
};

TEST_F(StatusLines, Pop3BlockDrawsItsLabelsOnCreation) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    ASSERT_EQ(screen.writes.size(), 4u);
    ExpectWrite(screen.writes[0], 5, 7, "Serv:", kLabel);
    ExpectWrite(screen.writes[1], 5, 8, "Info:", kLabel);
    ExpectWrite(screen.writes[2], 5, 9, "Rcvd:", kLabel);
    ExpectWrite(screen.writes[3], 73, 7, "POP3", kLabel);
}

TEST_F(StatusLines, SmtpBlockLabelsItsThirdRowSent) {
    tbrix_sinf block(5, 11, "SMTP", kColors, true);
    ASSERT_EQ(screen.writes.size(), 4u);
    ExpectWrite(screen.writes[2], 5, 13, "Sent:", kLabel);
    ExpectWrite(screen.writes[3], 73, 11, "SMTP", kLabel);
}

TEST_F(StatusLines, OtherKindGetsNoCountLabelNorKind) {
    tbrix_sinf block(5, 7, "NNTP", kColors, true);
    ASSERT_EQ(screen.writes.size(), 2u);
    ExpectWrite(screen.writes[0], 5, 7, "Serv:", kLabel);
    ExpectWrite(screen.writes[1], 5, 8, "Info:", kLabel);
}

TEST_F(StatusLines, InitialValues) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    EXPECT_EQ(block.Kind(), "POP3");
    EXPECT_EQ(block.Server(), "");
    EXPECT_EQ(block.MsgDone(), 0);
    EXPECT_EQ(block.BytesTotal(), 0);
    EXPECT_EQ(block.Percent(), -1);
    EXPECT_EQ(block.ShownPercent(), -1);
    EXPECT_EQ(block.Col(), 5);
    EXPECT_EQ(block.Row(), 7);
    EXPECT_TRUE(block.AutoUpdate());
}

TEST_F(StatusLines, ServerFieldIsClearedThenWrittenInValueColour) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    screen.writes.clear();
    block.SetServer("pop.example.org");
    ASSERT_EQ(screen.writes.size(), 2u);
    ExpectWrite(screen.writes[0], 11, 7, Repeat(' ', 61), kValue);
    ExpectWrite(screen.writes[1], 11, 7, "pop.example.org", kValue);
    EXPECT_EQ(block.ShownServer(), "pop.example.org");
}

TEST_F(StatusLines, SameServerTextTwiceRedrawsNothing) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetServer("pop.example.org");
    screen.writes.clear();
    block.SetServer("pop.example.org");
    EXPECT_TRUE(screen.writes.empty());
}

TEST_F(StatusLines, OnlyTheChangedFieldIsRedrawn) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetServer("pop.example.org");
    block.SetMsgTotal(5);
    screen.writes.clear();
    block.SetInfo("RETR 1");
    ASSERT_EQ(screen.writes.size(), 2u);
    ExpectWrite(screen.writes[0], 11, 8, Repeat(' ', 66), kValue);
    ExpectWrite(screen.writes[1], 11, 8, "RETR 1", kValue);
}

TEST_F(StatusLines, LongServerIsCutTo61InMailBlock) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetServer(Sample(70));
    EXPECT_EQ(screen.writes.back().text, Sample(61));
    EXPECT_EQ(screen.Text(11, 7, 61), Sample(61));
    EXPECT_EQ(screen.Text(72, 7, 1), " ");
    // The full text is kept; only the drawn copy is cut.
    EXPECT_EQ(block.Server(), Sample(70));
    screen.writes.clear();
    block.Update();
    EXPECT_TRUE(screen.writes.empty());
}

TEST_F(StatusLines, LongInfoIsCutTo66InMailBlock) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetInfo(Sample(80));
    EXPECT_EQ(screen.writes.back().text, Sample(66));
}

TEST_F(StatusLines, TextsAreKeptShort) {
    tbrix_sinf block(5, 7, "POP3", kColors, false);
    block.SetServer(Sample(300));
    EXPECT_EQ(block.Server().size(), 255u);
}

TEST_F(StatusLines, MessageCountsShowDoneOfTotal) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetMsgTotal(5);
    screen.writes.clear();
    block.SetMsgDone(2);
    ASSERT_EQ(screen.writes.size(), 2u);
    ExpectWrite(screen.writes[0], 11, 9, Repeat(' ', 16), kValue);
    ExpectWrite(screen.writes[1], 11, 9, "2/5 Msgs", kValue);
    EXPECT_EQ(screen.Text(11, 9, 16), "2/5 Msgs        ");
}

TEST_F(StatusLines, ZeroByteTotalDrawsNoBar) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    screen.writes.clear();
    block.SetBytesDone(100);
    ASSERT_EQ(screen.writes.size(), 2u);
    ExpectWrite(screen.writes[0], 28, 9, Repeat(' ', 13), kValue);
    ExpectWrite(screen.writes[1], 28, 9, "(100/0)", kValue);
    EXPECT_EQ(block.Percent(), -1);
    EXPECT_EQ(screen.Text(42, 9, 35), Repeat(' ', 35));
}

TEST_F(StatusLines, HalfTheBytesShowHalfABar) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetBytesTotal(1024);
    screen.writes.clear();
    block.SetBytesDone(512);
    ASSERT_EQ(screen.writes.size(), 4u);
    ExpectWrite(screen.writes[0], 28, 9, Repeat(' ', 13), kValue);
    ExpectWrite(screen.writes[1], 28, 9, "(512/1,00K)", kValue);
    ExpectWrite(screen.writes[2], 42, 9, Repeat(' ', 35), kValue);
    ExpectWrite(screen.writes[3], 42, 9, Repeat('\xDB', 15) + Repeat('\xB0', 15) + " 50%", kValue);
    EXPECT_EQ(block.Percent(), 50);
    EXPECT_EQ(block.ShownPercent(), 50);
}

TEST_F(StatusLines, FirstTotalShowsZeroPercent) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetBytesTotal(1024);
    EXPECT_EQ(screen.writes.back().text, Repeat('\xB0', 30) + " 0%");
}

TEST_F(StatusLines, UnchangedPercentRedrawsOnlyTheByteCount) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetBytesTotal(1000);
    block.SetBytesDone(500);
    screen.writes.clear();
    block.SetBytesDone(505);
    ASSERT_EQ(screen.writes.size(), 2u);
    EXPECT_EQ(screen.writes[1].text, "(505/1000)");
}

TEST_F(StatusLines, PercentOfLargeCountsDoesNotOverflow) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetBytesTotal(2000000000);
    block.SetBytesDone(1900000000);
    EXPECT_EQ(block.Percent(), 95);
    EXPECT_EQ(screen.writes.back().text, Repeat('\xDB', 28) + Repeat('\xB0', 2) + " 95%");
}

TEST_F(StatusLines, MoreBytesThanAnnouncedShowAFullBarAndNoMore) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetBytesTotal(1000);
    block.SetBytesDone(3000);
    EXPECT_EQ(block.Percent(), 100);
    EXPECT_EQ(screen.writes.back().text, Repeat('\xDB', 30) + " 100%");
    EXPECT_EQ(screen.writes.back().text.size(), 35u);
}

TEST_F(StatusLines, CounterSettersSaturateAt32Bits) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetBytesDone(std::int64_t{1} << 40);
    block.SetMsgTotal(-(std::int64_t{1} << 40));
    EXPECT_EQ(block.BytesDone(), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(block.MsgTotal(), std::numeric_limits<std::int32_t>::min());
    block.SetBytesTotal(std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(block.Percent(), 100);
}

TEST_F(StatusLines, NegativeByteCountShowsAsZero) {
    tbrix_sinf block(5, 7, "POP3", kColors, true);
    block.SetBytesTotal(100);
    EXPECT_NO_THROW(block.SetBytesDone(-5));
    EXPECT_EQ(screen.Text(28, 9, 13), "(0/100)      ");
    EXPECT_EQ(block.Percent(), 0);
}

TEST_F(StatusLines, WithoutAutoUpdateNothingIsDrawnUntilUpdate) {
    tbrix_sinf block(5, 7, "POP3", kColors, false);
    screen.writes.clear();
    block.SetServer("pop.example.org");
    block.SetMsgTotal(5);
    EXPECT_TRUE(screen.writes.empty());
    EXPECT_EQ(block.ShownServer(), "");
    block.Update();
    EXPECT_EQ(screen.Text(11, 7, 15), "pop.example.org");
    EXPECT_EQ(screen.Text(11, 9, 8), "0/5 Msgs");
}

TEST_F(StatusLines, NewsBlockDrawsItsLabelsOnCreation) {
    tbrix_ninf block(5, 15, "NNTP", kColors, true);
    ASSERT_EQ(screen.writes.size(), 4u);
    ExpectWrite(screen.writes[0], 5, 15, "Serv:", kLabel);
    ExpectWrite(screen.writes[1], 5, 16, "  NG:", kLabel);
    ExpectWrite(screen.writes[2], 5, 17, "Info:", kLabel);
    ExpectWrite(screen.writes[3], 5, 18, " S+R:", kLabel);
}

TEST_F(StatusLines, NewsBlockCutsItsTextsTo30) {
    tbrix_ninf block(5, 15, "NNTP", kColors, true);
    screen.writes.clear();
    block.SetServer(Sample(70));
    ASSERT_GE(screen.writes.size(), 2u);
    ExpectWrite(screen.writes[0], 11, 15, Repeat(' ', 30), kValue);
    ExpectWrite(screen.writes[1], 11, 15, Sample(30), kValue);
    block.SetGroup("de.comp.lang." + Sample(40));
    EXPECT_EQ(screen.Text(11, 16, 31), ("de.comp.lang." + Sample(40)).substr(0, 30) + " ");
    block.SetInfo(Sample(31));
    EXPECT_EQ(screen.Text(11, 17, 31), Sample(30) + " ");
}

TEST_F(StatusLines, NewsBlockShowsBytesWithoutTotal) {
    tbrix_ninf block(5, 15, "NNTP", kColors, true);
    block.SetBytesTotal(1024);
    block.SetMsgTotal(5);
    screen.writes.clear();
    block.SetBytesDone(512);
    // Byte count (2 writes), then the rate line (2 writes); no bar.
    ASSERT_EQ(screen.writes.size(), 4u);
    ExpectWrite(screen.writes[0], 28, 18, Repeat(' ', 13), kValue);
    ExpectWrite(screen.writes[1], 28, 18, "(512)", kValue);
    EXPECT_EQ(block.Percent(), 50);
    EXPECT_EQ(block.ShownPercent(), -1);
    EXPECT_EQ(screen.Text(11, 18, 8), "0/5 Msgs");
}

TEST_F(StatusLines, NewsRateLineIsWrittenEightRowsDown) {
    tbrix_ninf block(5, 15, "NNTP", kColors, true);
    SetNewsStartTime(clock.unix - 10);
    screen.writes.clear();
    block.SetBytesDone(1000);
    ASSERT_EQ(screen.writes.size(), 4u);
    ExpectWrite(screen.writes[2], 7, 23, Repeat('\xC4', 20), kLabel);
    ExpectWrite(screen.writes[3], 7, 23, "[100 cps]", kLabel);
    EXPECT_EQ(screen.Text(7, 23, 20), "[100 cps]" + Repeat('\xC4', 11));
    EXPECT_EQ(NewsElapsed(), 10);
    EXPECT_DOUBLE_EQ(NewsRate(), 100.0);
}

TEST_F(StatusLines, NewsRateChangesOnEveryUpdate) {
    tbrix_ninf block(5, 15, "NNTP", kColors, true);
    SetNewsStartTime(clock.unix - 10);
    block.SetBytesDone(1000);
    clock.unix += 10;
    screen.writes.clear();
    block.Update();
    ASSERT_EQ(screen.writes.size(), 2u);
    EXPECT_EQ(screen.writes[1].text, "[50 cps]");
    EXPECT_EQ(NewsElapsed(), 20);
}

TEST_F(StatusLines, NewsRateRoundsHalvesUp) {
    tbrix_ninf block(5, 15, "NNTP", kColors, true);
    SetNewsStartTime(clock.unix - 2);
    block.SetBytesDone(5);
    EXPECT_EQ(screen.writes.back().text, "[3 cps]");
}

TEST_F(StatusLines, NewsRateKeepsItsValueWhenNoTimePassed) {
    tbrix_ninf block(5, 15, "NNTP", kColors, true);
    block.SetBytesDone(5000);
    EXPECT_EQ(NewsElapsed(), 0);
    EXPECT_EQ(screen.writes.back().text, "[0 cps]");
}

TEST_F(StatusLines, NewsRateIsMeasuredFromProgramStart) {
    SetNewsStartTime(clock.unix - 100);
    tbrix_ninf first(5, 15, "NNTP", kColors, true);
    first.SetBytesDone(10000);
    tbrix_ninf second(5, 15, "NNTP", kColors, true);
    second.SetBytesDone(200);
    EXPECT_EQ(screen.writes.back().text, "[2 cps]");
}

TEST_F(StatusLines, NewsBlockWithoutRateLineStillMeasures) {
    tbrix_ninf block(42, 15, "NNTP", kColors, true, false);
    SetNewsStartTime(clock.unix - 4);
    screen.writes.clear();
    block.SetBytesDone(400);
    ASSERT_EQ(screen.writes.size(), 2u);
    EXPECT_EQ(screen.writes[1].text, "(400)");
    EXPECT_DOUBLE_EQ(NewsRate(), 100.0);
}

TEST_F(StatusLines, SetNewsStartTimeResetsTheRate) {
    tbrix_ninf block(5, 15, "NNTP", kColors, true);
    SetNewsStartTime(clock.unix - 1);
    block.SetBytesDone(77);
    SetNewsStartTime(clock.unix);
    EXPECT_EQ(NewsStartTime(), clock.unix);
    EXPECT_EQ(NewsElapsed(), 0);
    EXPECT_EQ(NewsRate(), 0.0);
}

} // namespace
} // namespace brix
