#include "mail/idtext.h"

#include "mail_testing.h"
#include "support/errors.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::TempTree;

TEST(IdText, ContainsAndRemoveTakeWholeIdentifiersInExactCase) {
    const std::string text = "<2@u.a><1@u.a><2@u.a>";
    EXPECT_TRUE(ContainsId("<1@u.a>", text));
    EXPECT_FALSE(ContainsId("<1@U.A>", text));
    EXPECT_FALSE(ContainsId("", text));
    struct {
        const char* id;
        const char* after;
    } cases[] = {
        {"<2@u.a>", "<1@u.a><2@u.a>"}, // the first occurrence only
        {"<4@u.a>", "<2@u.a><1@u.a><2@u.a>"},
        {"", "<2@u.a><1@u.a><2@u.a>"},
    };
    for (const auto& c : cases) {
        std::string t = text;
        RemoveId(c.id, t);
        EXPECT_EQ(t, c.after) << c.id;
    }
}

TEST(IdText, AppendAtLimitCutsOldestAndPartialIdentifier) {
    // Identifiers of exactly 20 characters.
    auto id = [](int n) {
        std::string digits = std::to_string(n);
        return "<" + std::string(10 - digits.size(), '0') + digits + "@u.srv.x>";
    };
    std::string text;
    for (int i = 0; i < 1638; ++i)
        text += id(i);
    ASSERT_EQ(text.size(), 32760u);
    AppendId(id(9999), text, kIdTextLimit);
    // 32780 characters: 13 are cut, then the rest of the first identifier.
    EXPECT_EQ(text.size(), 32760u);
    EXPECT_EQ(text.substr(0, 20), id(1));
    EXPECT_EQ(text.substr(text.size() - 20), id(9999));
}

TEST(IdText, TrimKeepsTheLastCharactersAndNoCutIdentifier) {
    struct {
        const char* before;
        std::size_t limit;
        const char* after;
    } cases[] = {
        {"<1@u.a><2@u.a>", 14, "<1@u.a><2@u.a>"},
        {"<1@u.a><2@u.a>", 13, "<2@u.a>"},
        {"<1@u.a><2@u.a>", 3, ""},
        {"abc", kIdTextLimit, "abc"}, // no ">": nothing to cut at
        {"junk><1@u.a>", kIdTextLimit, "<1@u.a>"},
    };
    for (const auto& c : cases) {
        std::string text = c.before;
        TrimIdText(text, c.limit);
        EXPECT_EQ(text, c.after) << c.before << " to " << c.limit;
    }
}

TEST(IdText, FileRoundTripKeepsEveryByteAndFailedWriteTheOldFile) {
    TempTree dir;
    const std::string name = dir / "e-mail.uid";
    EXPECT_EQ(ReadWholeFile(name), ""); // missing
    const std::string text("<1@u.a>\r\n\0b", 11);
    WriteWholeFile(name, text);
    EXPECT_EQ(ReadWholeFile(name), text);
    {
        testing::FileSizeLimit fullDisk(4);
        EXPECT_THROW(WriteWholeFile(name, "<1@u.a><2@u.a>"), EInOutError);
    }
    EXPECT_EQ(testing::DirNames(dir.Path()), std::vector<std::string>{"e-mail.uid"});
    EXPECT_EQ(dir.Read("e-mail.uid"), text);
}

} // namespace
} // namespace brix
