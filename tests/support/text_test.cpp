#include "support/errors.h"
#include "support/text.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

TEST(Text, TrimBlanksRemovesBlanksAndTabsAtBothEnds) {
    std::string s = " \t a b \t ";
    TrimBlanks(s);
    EXPECT_EQ(s, "a b");
    s = " \t\t  ";
    TrimBlanks(s);
    EXPECT_EQ(s, "");
}

TEST(Text, WordsAreSeparatedByBlanksOnly) {
    EXPECT_EQ(WordCount(""), 0);
    EXPECT_EQ(WordCount("   "), 0);
    EXPECT_EQ(WordCount("a\tb c"), 2);
    EXPECT_EQ(ExtractWord(3, "a b"), "a"); // past the end: the first word
    EXPECT_EQ(ExtractWord(2, "  a   b  "), "b");
    EXPECT_EQ(ExtractWord(0, "a b"), "");
    EXPECT_EQ(ExtractWord(1, ""), "");
}

TEST(Text, UpperCaseOemMapsCp850Letters) {
    std::string s = "a\x84\x94\x81\x82\x86\x91\xA4\x87z\xE1";
    UpperCaseOEM(s);
    EXPECT_EQ(s, "A\x8E\x99\x9A\x90\x8F\x92\xA5\x80Z\xE1");
    std::string u = "a\x84\x94\x81\x82";
    UpperCaseUmlauts(u);
    EXPECT_EQ(u, "A\x8E\x99\x9A\x82");
}

TEST(Text, IntToBaseAndFormatSize) {
    EXPECT_EQ(IntToBase(5, 10, 2), "05");
    EXPECT_EQ(IntToBase(255, 16, 0), "FF");
    EXPECT_EQ(IntToBase(0, 10, 0), "0");
    struct {
        std::int64_t size;
        const char* text;
    } cases[] = {{0, "0"},           {512, "512"},        {1023, "1023"},       {1024, "1,00K"},
                 {1100, "1,07K"},    {1536, "1,50K"},     {10752, "10,5K"},     {102400, "100K"},
                 {1048576, "1,00M"}, {104857600, "100M"}, {2147483647, "1,99G"}};
    for (const auto& c : cases)
        EXPECT_EQ(FormatSize(c.size), c.text) << c.size;
    EXPECT_THROW(FormatSize(-1), ERangeError);
    EXPECT_THROW(IntToBase(-1, 10, 0), ERangeError);
}

TEST(Text, ProgressBarIsClampedToItsWidth) {
    EXPECT_EQ(ProgressBar(50, 10), std::string(5, '\xDB') + std::string(5, '\xB0'));
    EXPECT_EQ(ProgressBar(0, 3), std::string(3, '\xB0'));
    EXPECT_EQ(ProgressBar(250, 4), std::string(4, '\xDB'));
    EXPECT_EQ(ProgressBar(-5, 4), std::string(4, '\xB0'));
}

TEST(Text, StrToIntIsStrict) {
    EXPECT_EQ(StrToInt("42"), 42);
    EXPECT_EQ(StrToInt("-7"), -7);
    EXPECT_EQ(StrToInt("+2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
    for (const char* bad : {"", "abc", "12a", " 1", "1 ", "2147483648", "-", "0x10", "1e3"}) {
        try {
            StrToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + bad + "' is not a valid integer value");
        }
    }
}

TEST(Text, LeadingNumberStopsAtText) {
    std::int64_t v = 0;
    EXPECT_TRUE(LeadingInt64("2 320", v));
    EXPECT_EQ(v, 2);
    EXPECT_TRUE(LeadingInt64("15octets", v));
    EXPECT_EQ(v, 15);
    EXPECT_FALSE(LeadingInt64("x1", v));
    EXPECT_FALSE(LeadingInt64("99999999999999999999999", v));
}

TEST(Text, WildcardMatch) {
    struct {
        const char *pattern, *text;
        int flag;
        bool result;
    } cases[] = {
        {"*.txt", "readme.txt", 1, true},
        {"a?c", "abc", 1, true},
        {"a?c", "ac", 1, false},
        {"abc", "abcd", 1, false},
        {"*", "", 1, true},
        {"", "", 1, true},
        {"", "a", 1, false},
        {"ABC", "abc", 1, false},
        {"ABC", "abc", 0, true},
        {"*b*", "abc", 1, true},
        {"a**", "a", 1, true},
        {"*x", "", 1, false},
        {"m*.out", "M0001.OUT", 0, true},
        {"?", "", 1, false},
        {"*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 1, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WildcardMatch(c.pattern, c.text, c.flag), c.result) << c.pattern << " " << c.text;
}

TEST(Text, Dates) {
    EXPECT_EQ(MakeDate(2001, 3, 5), (2001u << 16) | (3u << 8) | 5u);
    EXPECT_EQ(MakeDate(99, 1, 1), MakeDate(1999, 1, 1));
    EXPECT_LT(MakeDate(2000, 12, 31), MakeDate(2001, 1, 1));
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_TRUE(IsLeapYear(2024));
    EXPECT_EQ(DaysInMonth(2, 2024), 29);
    EXPECT_EQ(DaysInMonth(2, 2023), 28);
    EXPECT_EQ(DaysInMonth(4, 2023), 30);
}

TEST(Errors, PlaceCodesAreStableEightHexDigits) {
    EXPECT_EQ(PlaceCode("a/b/x.cpp", 10), PlaceCode("other/x.cpp", 10));
    EXPECT_NE(PlaceCode("x.cpp", 10), PlaceCode("x.cpp", 11));
    std::string c = CallSiteCode();
    ASSERT_EQ(c.size(), 8u);
    for (char ch : c)
        EXPECT_TRUE((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'));
    try {
        throw EConvertError("m");
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), "EConvertError");
        EXPECT_EQ(e.SourceFile(), "text_test.cpp");
        EXPECT_GT(e.SourceLine(), 0u);
    }
}

} // namespace
} // namespace brix
