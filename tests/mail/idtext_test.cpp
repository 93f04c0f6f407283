#include "mail/idtext.h"

#include "mail_testing.h"
#include "support/errors.h"
#include "testing/drop_privileges.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace brix {
namespace {

using testing::DirNames;
using testing::FileSizeLimit;
using testing::RaisesUnprivileged;
using testing::TempTree;

TEST(IdText, ContainsIdOnlyWholeAndInExactCase) {
    const std::string text = "<1@u.a><2@u.a><3@u.a>";
    for (const char* id : {"<1@u.a>", "<2@u.a>", "<3@u.a>"})
        EXPECT_TRUE(ContainsId(id, text)) << id;
    EXPECT_FALSE(ContainsId("<4@u.a>", text));
    EXPECT_FALSE(ContainsId("<1@U.A>", text));
    EXPECT_FALSE(ContainsId("<1@u.a>", ""));
    EXPECT_FALSE(ContainsId("", text));
    EXPECT_FALSE(ContainsId("", ""));
}

TEST(IdText, RemoveIdTakesFirstOccurrenceOnly) {
    struct {
        const char* id;
        const char* before;
        const char* after;
    } cases[] = {
        {"<1@u.a>", "<1@u.a><2@u.a><3@u.a>", "<2@u.a><3@u.a>"},
        {"<2@u.a>", "<1@u.a><2@u.a><3@u.a>", "<1@u.a><3@u.a>"},
        {"<3@u.a>", "<1@u.a><2@u.a><3@u.a>", "<1@u.a><2@u.a>"},
        {"<2@u.a>", "<2@u.a><1@u.a><2@u.a>", "<1@u.a><2@u.a>"},
        {"<4@u.a>", "<1@u.a><2@u.a>", "<1@u.a><2@u.a>"},
        {"<1@u.a>", "", ""},
        {"", "<1@u.a>", "<1@u.a>"},
    };
    for (const auto& c : cases) {
        std::string text = c.before;
        RemoveId(c.id, text);
        EXPECT_EQ(text, c.after) << c.id << " in " << c.before;
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
        {"<1@u.a><2@u.a>", 13, "<2@u.a>"}, // cut into the first identifier
        {"<1@u.a><2@u.a>", 7, "<2@u.a>"},
        {"<1@u.a><2@u.a>", 3, ""}, // the cut remains of the last one go whole
        {"", kIdTextLimit, ""},
        {"abc", kIdTextLimit, "abc"}, // no ">": nothing to cut at
        {"junk><1@u.a>", kIdTextLimit, "<1@u.a>"},
        {"x>", kIdTextLimit, ""},
    };
    for (const auto& c : cases) {
        std::string text = c.before;
        TrimIdText(text, c.limit);
        EXPECT_EQ(text, c.after) << c.before << " to " << c.limit;
    }
}

TEST(IdText, FileRoundTripKeepsEveryByte) {
    TempTree dir;
    const std::string name = dir / "e-mail.uid";
    EXPECT_EQ(ReadWholeFile(name), ""); // missing
    dir.Write("e-mail.uid", "<0@u.a>");
    for (std::string text : {std::string("<1@u.a><2@u.a>"), std::string("<1@u.a>\r\n<2@u.a>\n"),
                             std::string("a\0b", 3), std::string()}) {
        WriteWholeFile(name, text);
        EXPECT_EQ(dir.Read("e-mail.uid"), text);
        EXPECT_EQ(ReadWholeFile(name), text);
    }
    EXPECT_EQ(DirNames(dir.Path()), std::vector<std::string>{"e-mail.uid"});
}

TEST(IdText, FileFoundInOtherCaseIsWrittenBackUnderThatName) {
    TempTree dir;
    dir.Write("E-MAIL.UID", "<1@u.a>");
    EXPECT_EQ(ReadWholeFile(dir / "e-mail.uid"), "<1@u.a>");
    WriteWholeFile(dir / "e-mail.uid", "<1@u.a><2@u.a>");
    WriteWholeFile(dir / "e-mail.idx", "<m@x>"); // a new file gets the name as given
    EXPECT_EQ(DirNames(dir.Path()), (std::vector<std::string>{"E-MAIL.UID", "e-mail.idx"}));
    EXPECT_EQ(dir.Read("E-MAIL.UID"), "<1@u.a><2@u.a>");
}

// Read failures raise, so that the identifiers are never silently replaced
// by an empty text.
TEST(IdText, UnreadableFileRaisesInsteadOfReadingEmpty) {
    TempTree dir;
    ::chmod(dir.Path().c_str(), 0755);
    dir.Write("e-mail.uid", "<1@u.a>");
    ::chmod((dir / "e-mail.uid").c_str(), 0);
    EXPECT_TRUE(RaisesUnprivileged<EInOutError>([&] { ReadWholeFile(dir / "e-mail.uid"); }));

    dir.MakeDir("e-mail.idx");
    EXPECT_THROW(ReadWholeFile(dir / "e-mail.idx"), EInOutError);
    EXPECT_THROW(WriteWholeFile(dir / "e-mail.idx", "<1@u.a>"), EInOutError);
}

TEST(IdText, FailedWriteKeepsOldFile) {
    TempTree dir;
    dir.Write("e-mail.uid", "<1@u.a>");
    {
        FileSizeLimit fullDisk(4);
        EXPECT_THROW(WriteWholeFile(dir / "e-mail.uid", "<1@u.a><2@u.a>"), EInOutError);
    }
    // A folder where no new file can be made: the replacement cannot start.
    ::chmod(dir.Path().c_str(), 0555);
    EXPECT_TRUE(
        RaisesUnprivileged<EInOutError>([&] { WriteWholeFile(dir / "e-mail.uid", "<2@u.a>"); }));
    ::chmod(dir.Path().c_str(), 0755);
    EXPECT_EQ(dir.Read("e-mail.uid"), "<1@u.a>");
    EXPECT_EQ(DirNames(dir.Path()), std::vector<std::string>{"e-mail.uid"});
}

} // namespace
} // namespace brix
