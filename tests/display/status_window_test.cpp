#include "display/status_window.h"

#include "display/temp_dir.h"
#include "platform/fakes.h"
#include "support/errors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brix {
namespace {

using testing::DisplayTempDir;
using testing::FixedClock;
using testing::MemoryScreen;

std::string Repeat(char c, int n) {
    return std::string(static_cast<std::size_t>(n), c);
}

const std::string kTitle = "Brix 1.0 - transfer";
const std::string kSubtitle = "second line";

class StatusWindow : public ::testing::Test {
  protected:
    void SetUp() override { SetNewsStartTime(clock.unix); }
    const MemoryScreen::WriteRecord* FindWrite(int x, int y, const std::string& text) const {
        for (const auto& w : screen.writes)
            if (w.x == x && w.y == y && w.text == text) return &w;
        return nullptr;
    }
    MemoryScreen screen;
    FixedClock clock;
    DisplayTempDir dir;
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
        EXPECT_EQ(screen.writes[i].text.size(), 76u);
        EXPECT_EQ(screen.writes[i].attr, 0x70);
    }
}

TEST_F(StatusWindow, TitleAndSubtitleInTitleColour) {
    tbrix_info info(3, 4, kTitle, kSubtitle, true, dir.Path());
    ASSERT_GE(screen.writes.size(), 22u);
    EXPECT_EQ(screen.writes[20].x, 5);
    EXPECT_EQ(screen.writes[20].y, 5);
    EXPECT_EQ(screen.writes[20].text, kTitle);
    EXPECT_EQ(screen.writes[20].attr, 0x7E);
    // The subtitle's text ends three columns before the corner at column 78.
    EXPECT_EQ(screen.writes[21].x, 3 + 72 - static_cast<int>(kSubtitle.size()));
    EXPECT_EQ(screen.writes[21].y, 23);
    EXPECT_EQ(screen.writes[21].text, " " + kSubtitle + " ");
    EXPECT_EQ(screen.writes[21].attr, 0x7E);
    EXPECT_EQ(screen.Text(75, 23, 4), "e \xC4\xD9");
}

TEST_F(StatusWindow, FortyCharacterSubtitleStartsAtColPlus32) {
    const std::string sub(40, 'S');
    tbrix_info info(3, 4, kTitle, sub, true, dir.Path());
    EXPECT_EQ(screen.Text(3 + 32, 23, 1), " ");
    EXPECT_EQ(screen.Text(3 + 33, 23, 40), sub);
    EXPECT_EQ(screen.Text(3 + 73, 23, 1), " ");
    EXPECT_EQ(screen.Text(3 + 74, 23, 2), "\xC4\xD9");
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
    EXPECT_EQ(info.Pop3Line().Col(), 5);
    EXPECT_EQ(info.Pop3Line().Row(), 7);
    EXPECT_EQ(info.SmtpLine().Row(), 11);
    EXPECT_EQ(info.NewsLines(1).Row(), 15);
    EXPECT_EQ(info.NewsLines(2).Col(), 42);
    EXPECT_EQ(info.NewsLines(4).Row(), 19);
    EXPECT_EQ(info.NewsLines(3).Kind(), "NNTP");
    EXPECT_TRUE(info.NewsLines(2).AutoUpdate());
}

TEST_F(StatusWindow, ValuesLandInTheirRows) {
    tbrix_info info(3, 4, kTitle, kSubtitle, true, dir.Path());
    info.Pop3Line().SetServer("pop.example.org");
    info.SmtpLine().SetInfo("MAIL FROM:<a@b>");
    info.NewsLines(1).SetGroup("de.test");
    EXPECT_EQ(screen.Text(5, 7, 21), "Serv: pop.example.org");
    EXPECT_EQ(screen.Attr(11, 7), 0x7F);
    EXPECT_EQ(screen.Text(5, 12, 21), "Info: MAIL FROM:<a@b>");
    EXPECT_EQ(screen.Text(5, 16, 13), "  NG: de.test");
    EXPECT_EQ(screen.Text(78, 7, 1), "\xB3");
}

TEST_F(StatusWindow, NewsRateLineLiesOnTheBottomBorder) {
    tbrix_info info(3, 4, kTitle, kSubtitle, true, dir.Path());
    SetNewsStartTime(clock.unix - 2);
    info.NewsLines(1).SetBytesDone(2048);
    EXPECT_EQ(screen.Text(3, 23, 24), "\xC0\xC4\xC4\xC4[1024 cps]" + Repeat('\xC4', 10));
    EXPECT_EQ(screen.Attr(7, 23), 0x70);
}

TEST_F(StatusWindow, FurtherNewsBlocksLeaveTheBorderAlone) {
    tbrix_info info(3, 4, std::string(kTitle), std::string(40, 'S'), true, dir.Path());
    const std::string bottom = screen.Text(3, 23, 76);
    screen.writes.clear();
    for (int n = 2; n <= 4; ++n)
        info.NewsLines(n).SetBytesDone(100);
    EXPECT_EQ(screen.Text(3, 23, 76), bottom);
    for (const auto& w : screen.writes)
        EXPECT_LE(w.y, 22);
}

TEST_F(StatusWindow, NewsLineNumbersOutsideOneToFourAreRefused) {
    tbrix_info info(3, 4, kTitle, kSubtitle, true, dir.Path());
    EXPECT_THROW(info.NewsLines(0), ERangeError);
    EXPECT_THROW(info.NewsLines(5), ERangeError);
}

TEST_F(StatusWindow, DestructorSetsAttributeBackToSeven) {
    {
        tbrix_info info(3, 4, kTitle, kSubtitle, true, dir.Path());
        info.Pop3Line().SetServer("x");
    }
    screen.WriteAt(1, 25, "after");
    EXPECT_EQ(screen.writes.back().attr, 7);
    EXPECT_EQ(screen.Text(3, 4, 1), "\xDA");
}

TEST_F(StatusWindow, StoresItsSettings) {
    tbrix_info info(3, 4, kTitle, kSubtitle, false, dir.Path());
    EXPECT_EQ(info.Title(), kTitle);
    EXPECT_EQ(info.Subtitle(), kSubtitle);
    EXPECT_EQ(info.Col(), 3);
    EXPECT_EQ(info.Row(), 4);
    EXPECT_FALSE(info.AutoUpdate());
    EXPECT_FALSE(info.Pop3Line().AutoUpdate());
    EXPECT_EQ(info.Colors(), kDefaultStatusColors);
}

TEST_F(StatusWindow, ColoursFromTheColourFileAreUsedEverywhere) {
    dir.Write("qvdesk.col", "[colors]\r\nMAILER=31 47 46\r\n");
    tbrix_info info(3, 4, kTitle, kSubtitle, true, dir.Path());
    EXPECT_EQ((info.Colors()), (StatusColors{31, 47, 46}));
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

// Colour file reading.

TEST(StatusColorsFile, MissingFileGivesDefaults) {
    DisplayTempDir dir;
    EXPECT_EQ(LoadStatusColors(dir.Path()), kDefaultStatusColors);
    EXPECT_EQ((kDefaultStatusColors), (StatusColors{0x70, 0x7F, 0x7E}));
}

TEST(StatusColorsFile, FileNameCaseDoesNotMatter) {
    DisplayTempDir dir;
    dir.Write("QVDESK.COL", "MAILER=1 2 3\r\n");
    EXPECT_EQ((LoadStatusColors(dir.Path())), (StatusColors{1, 2, 3}));
}

TEST(StatusColorsFile, DirectoryNamedLikeTheFileCountsAsMissing) {
    DisplayTempDir dir;
    std::filesystem::create_directory(dir.Path() + "qvdesk.col");
    EXPECT_EQ(LoadStatusColors(dir.Path()), kDefaultStatusColors);
}

struct ColourCase {
    const char* name;
    std::vector<std::string> lines;
    StatusColors expected;
};

class StatusColorsParse : public ::testing::TestWithParam<ColourCase> {};

TEST_P(StatusColorsParse, Reads) {
    EXPECT_EQ(ParseStatusColors(GetParam().lines), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusColorsParse,
    ::testing::Values(
        ColourCase{"Empty", {}, {0x70, 0x7F, 0x7E}},
        ColourCase{"LowerCaseWithBlanks", {"mailer = 31"}, {31, 0x7F, 0x7E}},
        ColourCase{"DefaultsSpelledOut", {"MAILER=112 127 126"}, {112, 127, 126}},
        ColourCase{"TwoNumbers", {"MAILER=1 2"}, {1, 2, 0x7E}},
        ColourCase{"LineWithoutEqualsIsSkipped", {"MAILER 5", "MAILER=112"}, {112, 0x7F, 0x7E}},
        ColourCase{"LongerKeyIsSkipped", {"MAILERS=5", "MAILER=9"}, {9, 0x7F, 0x7E}},
        ColourCase{"OnlyFirstColourLineCounts", {"MAILER=1 2 3", "MAILER=4 5 6"}, {1, 2, 3}},
        ColourCase{
            "EmptyColourLineStillEndsTheSearch", {"MAILER=", "MAILER=5"}, {0x70, 0x7F, 0x7E}},
        ColourCase{"LaterBadLineIsNotRead", {"MAILER=7", "MAILER=x"}, {7, 0x7F, 0x7E}},
        ColourCase{"TabsAroundKeyAndEquals", {"\tMailer\t=\t20  30\t"}, {20, 30, 0x7E}},
        ColourCase{"BlanksBetweenNumbers", {"MAILER=  1    2   3  "}, {1, 2, 3}},
        ColourCase{"ZeroAndMaximum", {"MAILER=0 255 +7"}, {0, 255, 7}},
        ColourCase{
            "OtherSectionsIgnored", {"EDITOR=1 2 3", " MAILERX", "MAILER=8"}, {8, 0x7F, 0x7E}},
        ColourCase{"KeyMustStartTheLine", {"XMAILER=4"}, {0x70, 0x7F, 0x7E}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StatusColorsFile, NonNumberIsAConversionError) {
    try {
        ParseStatusColors({"MAILER=12a"});
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        // The line is upper-cased before it is read.
        EXPECT_STREQ(e.what(), "'12A' is not a valid integer value");
    }
}

TEST(StatusColorsFile, OutOfRangeNumbersAreRangeErrors) {
    for (const char* line : {"MAILER=256", "MAILER=-1", "MAILER=1 2 3 4", "MAILER=1 2 3 x"}) {
        SCOPED_TRACE(line);
        try {
            ParseStatusColors({line});
            ADD_FAILURE() << "no exception";
        } catch (const ERangeError& e) {
            EXPECT_STREQ(e.what(), "Range check error");
        } catch (const EConvertError& e) {
            // A fourth word that is no number fails on its conversion first.
            EXPECT_EQ(std::string(line), "MAILER=1 2 3 x");
        }
    }
}

TEST(StatusColorsFile, NumberBeyond32BitsIsAConversionError) {
    EXPECT_THROW(ParseStatusColors({"MAILER=99999999999"}), EConvertError);
}

TEST(StatusColorsFile, ErrorsComeFromTheFileToo) {
    DisplayTempDir dir;
    dir.Write("qvdesk.col", "MAILER=1 2 3 4\r\n");
    EXPECT_THROW(LoadStatusColors(dir.Path()), ERangeError);
    dir.Write("qvdesk.col", "MAILER=blue\r\n");
    EXPECT_THROW(LoadStatusColors(dir.Path()), EConvertError);
}

} // namespace
} // namespace brix
