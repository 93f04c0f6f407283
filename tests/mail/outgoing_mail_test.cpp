#include "mail/outgoing_mail.h"

#include "support/errors.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::TempTree;
using Lines = std::vector<std::string>;

TEST(OutgoingMail, LinesEndAtCrLfLoneCrOrLoneLf) {
    struct {
        std::string bytes;
        Lines lines;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\r\nb", {"a", "b"}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        {"a\r\r\nb", {"a", "", "b"}},
        {"a\n\rb", {"a", "", "b"}},
        {"\r\n", {""}},
        {"\n\n", {"", ""}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitSpoolLines(c.bytes), c.lines) << c.bytes;
}

TEST(OutgoingMail, ReadsFileIntoLines) {
    TempTree dir;
    dir.Write("m0001.out", "HELO me\r\nDATA\r\nx\r\n.\r\nQUIT");
    EXPECT_EQ(ReadSpoolLines(dir / "m0001.out"), (Lines{"HELO me", "DATA", "x", ".", "QUIT"}));
    EXPECT_THROW(ReadSpoolLines(dir / "missing.out"), EInOutError);
}

TEST(OutgoingMail, CommandLinesAreRecognisedAtStartInAnyCase) {
    struct {
        const char* line;
        OutCommand command;
        const char* argument;
    } cases[] = {
        {"HELO my.host", OutCommand::Helo, "my.host"},
        {"helo \t my.host \t", OutCommand::Helo, "my.host"},
        {"HELO", OutCommand::Helo, ""},
        {"MAIL FROM:<joe@example.org>", OutCommand::MailFrom, "joe@example.org"},
        {"mail from:  <joe@example.org>  ", OutCommand::MailFrom, "joe@example.org"},
        {"MAIL FROM:joe@example.org", OutCommand::MailFrom, "joe@example.org"},
        {"MAIL FROM:<>", OutCommand::MailFrom, ""},
        {"MAIL FROM:<<a>>", OutCommand::MailFrom, "<a>"},
        {"RCPT TO:<ann@example.org>", OutCommand::RcptTo, "ann@example.org"},
        {"Rcpt To: ann@example.org>", OutCommand::RcptTo, "ann@example.org"},
        {"DATA", OutCommand::Data, ""},
        {"data", OutCommand::Data, ""},
        {"QUIT", OutCommand::Other, ""},
        {"RSET", OutCommand::Other, ""},
        {"", OutCommand::Other, ""},
        {" HELO x", OutCommand::Other, ""},
        {"MAIL FROM <a>", OutCommand::Other, ""},
        {"RCPT TO", OutCommand::Other, ""},
    };
    for (const auto& c : cases) {
        OutCommandLine parsed = ParseCommandLine(c.line);
        EXPECT_EQ(parsed.command, c.command) << c.line;
        EXPECT_EQ(parsed.argument, c.argument) << c.line;
    }
}

TEST(OutgoingMail, MailerHeaderNamesUsInHeaderOnlyAndExactly) {
    bool inHeader = true;
    Lines sent;
    for (const char* line : {"From: a@b", "X-Mailer: QV 1.0", "x-mailer: QV", "X-Mailer:QV",
                             " X-Mailer: QV", "", "X-Mailer: QV 1.0"})
        sent.push_back(ApplyTextRules(line, inHeader).text);
    EXPECT_EQ(sent, (Lines{"From: a@b", "X-Mailer: QV 1.0, via Brix/W v0.4.2l", "x-mailer: QV",
                           "X-Mailer:QV", " X-Mailer: QV", "", "X-Mailer: QV 1.0"}));
    EXPECT_FALSE(inHeader);
}

TEST(OutgoingMail, OnlyTheDotLineEndsMessageAndStartsNextHeader) {
    bool inHeader = false;
    for (const char* line : {"..", ". ", ".x"}) {
        OutTextLine out = ApplyTextRules(line, inHeader);
        EXPECT_FALSE(out.endsMessage) << line;
        EXPECT_EQ(out.text, line);
    }
    EXPECT_FALSE(inHeader);
    OutTextLine end = ApplyTextRules(".", inHeader);
    EXPECT_TRUE(end.endsMessage);
    EXPECT_EQ(end.text, ".");
    EXPECT_TRUE(inHeader);
}

} // namespace
} // namespace brix
