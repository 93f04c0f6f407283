#include "mail/outgoing_mail.h"

#include "mail/mail_temp_dir.h"
#include "support/errors.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::MailTempDir;
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

TEST(OutgoingMail, LongLinesStayWhole) {
    std::string line(5000, 'x');
    EXPECT_EQ(SplitSpoolLines(line + "\r\n.\r\n"), (Lines{line, "."}));
}

TEST(OutgoingMail, ReadsFileIntoLines) {
    MailTempDir dir;
    dir.Write("m0001.out", "HELO me\r\nDATA\r\nx\r\n.\r\nQUIT");
    EXPECT_EQ(ReadSpoolLines(dir.Path() + "m0001.out"),
              (Lines{"HELO me", "DATA", "x", ".", "QUIT"}));
    EXPECT_THROW(ReadSpoolLines(dir.Path() + "missing.out"), EInOutError);
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

// Runs the text rules over the lines of one message and returns what is sent.
Lines Send(const Lines& lines, bool& inHeader) {
    Lines out;
    for (const auto& l : lines)
        out.push_back(ApplyTextRules(l, inHeader).text);
    return out;
}

TEST(OutgoingMail, MailerHeaderNamesUsInHeaderOnly) {
    bool inHeader = true;
    Lines sent = Send({"From: a@b", "X-Mailer: QV 1.0", "", "X-Mailer: QV 1.0", "."}, inHeader);
    EXPECT_EQ(sent, (Lines{"From: a@b", "X-Mailer: QV 1.0, via Brix/W v0.4.2l", "",
                           "X-Mailer: QV 1.0", "."}));
    EXPECT_TRUE(inHeader);
}

TEST(OutgoingMail, MailerHeaderMustMatchExactly) {
    for (const char* line : {"x-mailer: QV", "X-Mailer:QV", " X-Mailer: QV"}) {
        bool inHeader = true;
        EXPECT_EQ(ApplyTextRules(line, inHeader).text, line);
    }
}

TEST(OutgoingMail, LongMailerLineIsNotCut) {
    bool inHeader = true;
    std::string line = "X-Mailer: " + std::string(300, 'q');
    EXPECT_EQ(ApplyTextRules(line, inHeader).text, line + ", via Brix/W v0.4.2l");
}

TEST(OutgoingMail, DotLineEndsMessageAndStartsNextHeader) {
    bool inHeader = true;
    EXPECT_FALSE(ApplyTextRules("", inHeader).endsMessage);
    EXPECT_FALSE(inHeader);
    EXPECT_FALSE(ApplyTextRules("..", inHeader).endsMessage);
    EXPECT_EQ(ApplyTextRules("..", inHeader).text, "..");
    EXPECT_FALSE(ApplyTextRules(". ", inHeader).endsMessage);
    OutTextLine end = ApplyTextRules(".", inHeader);
    EXPECT_TRUE(end.endsMessage);
    EXPECT_EQ(end.text, ".");
    EXPECT_TRUE(inHeader);
}

} // namespace
} // namespace brix
