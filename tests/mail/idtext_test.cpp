#include "mail/idtext.h"

#include "mail/file_size_limit.h"
#include "mail/mail_temp_dir.h"
#include "support/errors.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace brix {
namespace {

using testing::FileSizeLimit;
using testing::MailTempDir;

const std::string kText = "<1@u.a><2@u.a><3@u.a>";

TEST(IdText, ContainsIdAtStartMiddleAndEnd) {
    EXPECT_TRUE(ContainsId("<1@u.a>", kText));
    EXPECT_TRUE(ContainsId("<2@u.a>", kText));
    EXPECT_TRUE(ContainsId("<3@u.a>", kText));
    EXPECT_FALSE(ContainsId("<4@u.a>", kText));
    EXPECT_FALSE(ContainsId("<1@U.A>", kText)); // exact case
    EXPECT_FALSE(ContainsId("<1@u.a>", ""));
    EXPECT_FALSE(ContainsId("", kText));
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
        {"<1@u.a>", "<1@u.a>", ""},
    };
    for (const auto& c : cases) {
        std::string text = c.before;
        RemoveId(c.id, text);
        EXPECT_EQ(text, c.after) << c.id << " in " << c.before;
    }
}

TEST(IdText, AppendIdAddsWithoutSeparator) {
    std::string text;
    AppendId("<1@u.a>", text);
    AppendId("<2@u.a>", text);
    EXPECT_EQ(text, "<1@u.a><2@u.a>");
}

// Identifiers of exactly 20 characters: "<" + 12 digits + "@u.srv.x>".
std::string Id20(int n) {
    std::string digits = std::to_string(n);
    std::string id = "<" + std::string(10 - digits.size(), '0') + digits + "@u.srv.x>";
    EXPECT_EQ(id.size(), 20u);
    return id;
}

TEST(IdText, AppendAtLimitCutsOldestAndPartialIdentifier) {
    std::string text;
    for (int i = 0; i < 1638; ++i)
        text += Id20(i);
    ASSERT_EQ(text.size(), 32760u);
    AppendId(Id20(9999), text, kIdTextLimit);
    // 32780 characters: 13 are cut, then the rest of the first identifier.
    EXPECT_EQ(text.size(), 32760u);
    EXPECT_EQ(text.substr(0, 20), Id20(1));
    EXPECT_EQ(text.substr(text.size() - 20), Id20(9999));
    EXPECT_FALSE(ContainsId(Id20(0), text));
}

TEST(IdText, TrimKeepsTextUpToLimit) {
    std::string text = "<1@u.a><2@u.a>";
    TrimIdText(text, 14);
    EXPECT_EQ(text, "<1@u.a><2@u.a>");
    TrimIdText(text, 13); // cut into the first identifier
    EXPECT_EQ(text, "<2@u.a>");
    TrimIdText(text, 7);
    EXPECT_EQ(text, "<2@u.a>");
    TrimIdText(text, 3); // the cut remains of the last one go whole
    EXPECT_EQ(text, "");
}

TEST(IdText, TrimOfTextNotStartingWithBracket) {
    struct {
        const char* before;
        const char* after;
    } cases[] = {
        {"", ""},
        {"abc", "abc"}, // no ">": nothing to cut at
        {"junk><1@u.a>", "<1@u.a>"},
        {"<1@u.a>", "<1@u.a>"},
        {"x>", ""},
    };
    for (const auto& c : cases) {
        std::string text = c.before;
        TrimIdText(text, kIdTextLimit);
        EXPECT_EQ(text, c.after) << c.before;
    }
}

TEST(IdText, MissingFileReadsAsEmptyText) {
    MailTempDir dir;
    EXPECT_EQ(ReadWholeFile(dir.Path() + "e-mail.uid"), "");
}

TEST(IdText, RoundTripKeepsEveryByte) {
    MailTempDir dir;
    for (std::string text : {std::string("<1@u.a><2@u.a>"), std::string("<1@u.a>\r\n<2@u.a>\r\n"),
                             std::string("<1@u.a>\n<2@u.a>\n"), std::string("a\0b", 3)}) {
        WriteWholeFile(dir.Path() + "e-mail.uid", text);
        EXPECT_EQ(dir.Read("e-mail.uid"), text);
        EXPECT_EQ(ReadWholeFile(dir.Path() + "e-mail.uid"), text);
    }
}

TEST(IdText, LineEndsInFileDoNotHideIdentifiers) {
    MailTempDir dir;
    dir.Write("e-mail.uid", "<1@u.a>\r\n<2@u.a>\n");
    std::string text = ReadWholeFile(dir.Path() + "e-mail.uid");
    EXPECT_TRUE(ContainsId("<1@u.a>", text));
    EXPECT_TRUE(ContainsId("<2@u.a>", text));
    RemoveId("<1@u.a>", text);
    WriteWholeFile(dir.Path() + "e-mail.uid", text);
    EXPECT_EQ(dir.Read("e-mail.uid"), "\r\n<2@u.a>\n");
}

TEST(IdText, EmptyTextWritesEmptyFile) {
    MailTempDir dir;
    dir.Write("e-mail.uid", "<1@u.a>");
    WriteWholeFile(dir.Path() + "e-mail.uid", "");
    EXPECT_TRUE(dir.Has("e-mail.uid"));
    EXPECT_EQ(dir.Read("e-mail.uid"), "");
}

TEST(IdText, FileFoundInOtherCaseIsWrittenBackUnderThatName) {
    MailTempDir dir;
    dir.Write("E-MAIL.UID", "<1@u.a>");
    std::string text = ReadWholeFile(dir.Path() + "e-mail.uid");
    EXPECT_EQ(text, "<1@u.a>");
    AppendId("<2@u.a>", text);
    WriteWholeFile(dir.Path() + "e-mail.uid", text);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"E-MAIL.UID"});
    EXPECT_EQ(dir.Read("E-MAIL.UID"), "<1@u.a><2@u.a>");
}

TEST(IdText, NewFileGetsNameAsGiven) {
    MailTempDir dir;
    WriteWholeFile(dir.Path() + "e-mail.idx", "<m@x>");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"e-mail.idx"});
}

TEST(IdText, UnreadableFileRaisesInsteadOfReadingEmpty) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    MailTempDir dir;
    dir.Write("e-mail.uid", "<1@u.a>");
    ::chmod((dir.Path() + "e-mail.uid").c_str(), 0);
    EXPECT_THROW(ReadWholeFile(dir.Path() + "e-mail.uid"), EInOutError);
}

TEST(IdText, DirectoryInPlaceOfFileRaises) {
    MailTempDir dir;
    ASSERT_EQ(::mkdir((dir.Path() + "e-mail.uid").c_str(), 0700), 0);
    EXPECT_THROW(ReadWholeFile(dir.Path() + "e-mail.uid"), EInOutError);
    EXPECT_THROW(WriteWholeFile(dir.Path() + "e-mail.uid", "<1@u.a>"), EInOutError);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"e-mail.uid"});
}

TEST(IdText, FullDiskKeepsOldFile) {
    MailTempDir dir;
    dir.Write("e-mail.uid", "<1@u.a>");
    {
        FileSizeLimit limit(4);
        EXPECT_THROW(WriteWholeFile(dir.Path() + "e-mail.uid", "<1@u.a><2@u.a>"), EInOutError);
    }
    EXPECT_EQ(dir.Read("e-mail.uid"), "<1@u.a>");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"e-mail.uid"});
}

TEST(IdText, FailedWriteKeepsOldFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes everywhere";
    MailTempDir dir;
    dir.Write("e-mail.uid", "<1@u.a>");
    ::chmod(dir.Path().c_str(), 0500);
    EXPECT_THROW(WriteWholeFile(dir.Path() + "e-mail.uid", "<2@u.a>"), EInOutError);
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_EQ(dir.Read("e-mail.uid"), "<1@u.a>");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"e-mail.uid"});
}

} // namespace
} // namespace brix
