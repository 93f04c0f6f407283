#include "mail/outgoing_mail.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using Lines = std::vector<std::string>;

TEST(OutgoingMail, LinesEndAtCrLfOrLoneLf) {
    struct {
        std::string bytes;
        Lines lines;
    } cases[] = {
        {"", {}},
        {"a\r\nb", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"a\rb\r", {"a\rb\r"}},
        {"a\r\r\nb", {"a\r", "b"}},
        {"a\n\rb", {"a", "\rb"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitSpoolLines(c.bytes), c.lines) << c.bytes;
}

TEST(OutgoingMail, CommandLinesAreRecognisedAtStartInAnyCase) {
    struct {
        const char* line;
        OutCommand command;
        const char* argument;
    } cases[] = {
        {"helo \t my.host \t", OutCommand::Helo, "my.host"},
        {"mail from:  <joe@example.org>  ", OutCommand::MailFrom, "joe@example.org"},
        {"MAIL FROM:joe@example.org", OutCommand::MailFrom, "joe@example.org"},
        {"MAIL FROM:<>", OutCommand::MailFrom, ""},
        {"Rcpt To: ann@example.org>", OutCommand::RcptTo, "ann@example.org"},
        {"data", OutCommand::Data, ""},
        {"QUIT", OutCommand::Other, ""},
        {" HELO x", OutCommand::Other, ""},
        {"MAIL FROM <a>", OutCommand::Other, ""},
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
    for (const char* line : {"X-Mailer: QV 1.0", "x-mailer: QV", "X-Mailer:QV", "", "X-Mailer: QV"})
        sent.push_back(ApplyTextRules(line, inHeader).text);
    EXPECT_EQ(sent, (Lines{"X-Mailer: QV 1.0, via Brix/W v0.4.2l", "x-mailer: QV", "X-Mailer:QV",
                           "", "X-Mailer: QV"}));
}

TEST(OutgoingMail, OnlyTheDotLineEndsMessageAndStartsNextHeader) {
    bool inHeader = false;
    for (const char* line : {"..", ". "})
        EXPECT_FALSE(ApplyTextRules(line, inHeader).endsMessage) << line;
    EXPECT_FALSE(inHeader);
    EXPECT_TRUE(ApplyTextRules(".", inHeader).endsMessage);
    EXPECT_TRUE(inHeader);
}

} // namespace
} // namespace brix
