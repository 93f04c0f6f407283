#include "display/status_window.h"

#include "platform/fakes.h"
#include "support/errors.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brix {
namespace {

using testing::FixedClock;
using testing::MemoryScreen;
using testing::TempTree;

std::string Repeat(char c, int n) {
    return std::string(static_cast<std::size_t>(n), c);
}

const std::string kTitle = "Brix 1.0 - transfer";
const std::string kSubtitle = "second line";

class StatusWindow : public ::testing::Test {
  protected:
    void SetUp() override { SetNewsStartTime(clock.unix); }
    MemoryScreen screen;
    FixedClock clock;
    TempTree dir;
};

TEST_F(StatusWindow, FrameRowsAreWrittenAtColumnThreeFromRowFour) {
    tbrix_info info(3, 4, kTitle, kSubtitle, true, dir.Path());
    const std::string top = "\xDA" + Repeat('\xC4', 74) + "\xBF";
    const std::string side = "\xB3" + Repeat(' ', 74) + "\xB3";
    const std::string sep = "\xC3" + Repeat('\xC4', 74) + "\xB4";
    const std::string bottom = "\xC0" + Repeat('\xC4', 74) + "\xD9";
    std::vector<std::string> expected = {top,  side, sep,  side, side, side,  sep,
                                         side, side, side, sep,  side, side,  side,
                                         side, side, side, side, side, bottom};
    ASSERT_GE(screen.writes.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(screen.writes[i].x, 3);
        EXPECT_EQ(screen.writes[i].y, 4 + i);
        EXPECT_EQ(screen.writes[i].text, expected[i]);
        EXPECT_EQ(screen.writes[i].attr, 0x70);
    }
}

TEST_F(StatusWindow, TitleAndSubtitleInTitleColour) {
    // The subtitle with a blank either side ends two columns before the
    // corner at column 78.
    const std::string sub(40, 'S');
    tbrix_info info(3, 4, kTitle, sub, true, dir.Path());
    EXPECT_EQ(screen.Text(5, 5, int(kTitle.size()) + 1), kTitle + " ");
    EXPECT_EQ(screen.Attr(5, 5), 0x7E);
    EXPECT_EQ(screen.Text(34, 23, 45), "\xC4 " + sub + " \xC4\xD9");
    EXPECT_EQ(screen.Attr(35, 23), 0x7E);
    EXPECT_EQ(screen.Attr(76, 23), 0x7E);
}

TEST_F(StatusWindow, BlocksSitInsideTheFrame) {
    tbrix_info info(3, 4, kTitle, kSubtitle, true, dir.Path());
    struct Label {
        int x, y;
        const char* text;
    };
    const Label labels[] = {
        {5, 7, "Serv:"},   {5, 8, "Info:"},   {5, 9, "Rcvd:"},   {73, 7, "POP3"},
        {5, 11, "Serv:"},  {5, 12, "Info:"},  {5, 13, "Sent:"},  {73, 11, "SMTP"},
        {5, 15, "Serv:"},  {5, 16, "  NG:"},  {5, 17, "Info:"},  {5, 18, " S+R:"},
        {42, 15, "Serv:"}, {42, 16, "  NG:"}, {42, 17, "Info:"}, {42, 18, " S+R:"},
        {5, 19, "Serv:"},  {5, 20, "  NG:"},  {5, 21, "Info:"},  {5, 22, " S+R:"},
        {42, 19, "Serv:"}, {42, 20, "  NG:"}, {42, 21, "Info:"}, {42, 22, " S+R:"},
    };
    // Frame (20), title and subtitle (2), then 4 + 4 + 4 x 4 labels.
    ASSERT_EQ(screen.writes.size(), 22u + std::size(labels));
    for (std::size_t i = 0; i < std::size(labels); ++i) {
        SCOPED_TRACE(i);
        const auto& w = screen.writes[22 + i];
        EXPECT_EQ(w.x, labels[i].x);
        EXPECT_EQ(w.y, labels[i].y);
        EXPECT_EQ(w.text, labels[i].text);
        EXPECT_EQ(w.attr, 0x70);
    }
}

TEST_F(StatusWindow, ValuesLandInTheirBlocks) {
    tbrix_info info(3, 4, kTitle, kSubtitle, true, dir.Path());
    info.Pop3Line().SetServer("pop.example.org");
    info.SmtpLine().SetInfo("MAIL FROM:<a@b>");
    info.NewsLines(4).SetGroup("group4");
    EXPECT_EQ(screen.Text(5, 7, 21), "Serv: pop.example.org");
    EXPECT_EQ(screen.Attr(11, 7), 0x7F);
    EXPECT_EQ(screen.Text(5, 12, 21), "Info: MAIL FROM:<a@b>");
    EXPECT_EQ(screen.Text(42, 20, 12), "  NG: group4");
    EXPECT_THROW(info.NewsLines(0), ERangeError);
    EXPECT_THROW(info.NewsLines(5), ERangeError);
}

TEST_F(StatusWindow, OnlyTheFirstNewsBlockDrawsTheRateOnTheBottomBorder) {
    tbrix_info info(3, 4, kTitle, std::string(40, 'S'), true, dir.Path());
    const std::string bottom = screen.Text(3, 23, 76);
    screen.writes.clear();
    for (int n = 2; n <= 4; ++n)
        info.NewsLines(n).SetBytesDone(100);
    EXPECT_EQ(screen.Text(3, 23, 76), bottom);
    for (const auto& w : screen.writes)
        EXPECT_LE(w.y, 22);
    SetNewsStartTime(clock.unix - 2);
    info.NewsLines(1).SetBytesDone(2048);
    EXPECT_EQ(screen.Text(3, 23, 24), "\xC0\xC4\xC4\xC4[1024 cps]" + Repeat('\xC4', 10));
    EXPECT_EQ(screen.Attr(7, 23), 0x70);
}

TEST_F(StatusWindow, WithoutAutoUpdateTheBlocksWaitForUpdate) {
    tbrix_info info(3, 4, kTitle, kSubtitle, false, dir.Path());
    screen.writes.clear();
    info.Pop3Line().SetServer("pop.example.org");
    info.NewsLines(1).SetServer("x");
    EXPECT_TRUE(screen.writes.empty());
    info.Pop3Line().Update();
    EXPECT_EQ(screen.Text(11, 7, 15), "pop.example.org");
}

TEST_F(StatusWindow, ColoursFromTheColourFileAreUsedEverywhere) {
    dir.Write("QVDESK.COL", "[colors]\r\nMAILER=31 47 46\r\n");
    tbrix_info info(3, 4, kTitle, kSubtitle, true, dir.Path());
    EXPECT_EQ(screen.writes[0].attr, 31);
    EXPECT_EQ(screen.writes[20].attr, 46);
    EXPECT_EQ(screen.writes[22].attr, 31);
    info.Pop3Line().SetServer("s");
    EXPECT_EQ(screen.writes.back().attr, 47);
}

TEST_F(StatusWindow, ColourFileErrorStopsCreationBeforeDrawing) {
    dir.Write("qvdesk.col", "MAILER=300\n");
    EXPECT_THROW(tbrix_info(3, 4, kTitle, kSubtitle, true, dir.Path()), ERangeError);
    EXPECT_TRUE(screen.writes.empty());
}

TEST(StatusColorsFile, ADirectoryCountsAsMissing) {
    TempTree dir;
    dir.MakeDir("qvdesk.col");
    EXPECT_EQ(LoadStatusColors(dir.Path()), (StatusColors{0x70, 0x7F, 0x7E}));
}

TEST(StatusColorsFile, MailerLineSetsTheColoursInOrder) {
    constexpr std::uint8_t F = 0x70, V = 0x7F, T = 0x7E; // the defaults
    struct Case {
        std::vector<std::string> lines;
        StatusColors expected;
    } cases[] = {
        {{"mailer = 31"}, {31, V, T}},
        {{"MAILER 5", "MAILER=112"}, {112, V, T}}, // no "=": skipped
        {{"MAILERS=5", "MAILER=9"}, {9, V, T}},    // longer key: skipped
        {{"MAILER=1 2 3", "MAILER=4 5 6"}, {1, 2, 3}},
        {{"MAILER=", "MAILER=5"}, {F, V, T}},  // an empty line still ends the search
        {{"MAILER=7", "MAILER=x"}, {7, V, T}}, // a later bad line is not read
        {{"\tMailer\t=\t20  30\t"}, {20, 30, T}},
        {{"MAILER=0 255 +7"}, {0, 255, 7}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseStatusColors(c.lines), c.expected) << ::testing::PrintToString(c.lines);
}

std::string ErrorOf(const std::string& line) {
    try {
        ParseStatusColors({line});
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.what();
    }
    return "none";
}

TEST(StatusColorsFile, BadNumbersRaiseTheirErrors) {
    // The line is upper-cased before it is read.
    EXPECT_EQ(ErrorOf("MAILER=12a"), "EConvertError: '12A' is not a valid integer value");
    // A fourth word that is no number fails on its conversion first.
    EXPECT_EQ(ErrorOf("MAILER=1 2 3 x"), "EConvertError: 'X' is not a valid integer value");
    for (const char* line : {"MAILER=256", "MAILER=1 2 3 4"})
        EXPECT_EQ(ErrorOf(line), "ERangeError: Range check error") << line;
}

} // namespace
} // namespace brix
