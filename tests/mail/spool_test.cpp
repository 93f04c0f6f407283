#include "mail/spool.h"

#include "mail/file_size_limit.h"
#include "mail/mail_temp_dir.h"
#include "support/errors.h"
#include "support/textfile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace brix {
namespace {

using testing::FileSizeLimit;
using testing::MailTempDir;

const tbrix_msg kDotMessage = {"From: a@b", "Subject: dots", "", "."};

std::string Bytes(const std::vector<std::string>& lines) {
    return JoinLines(lines, true);
}

TEST(SpoolForm, MailboxFormHasFromLineWithUserAndLocalDomain) {
    EXPECT_EQ(Bytes(MailboxForm(kDotMessage, "joe")),
              "From joe@localhost\nFrom: a@b\nSubject: dots\n\n.\n");
}

TEST(SpoolForm, MailboxFormLeavesBodyLinesAlone) {
    tbrix_msg m = {"A: 1", "", "From here on", ".dot", ""};
    EXPECT_EQ(Bytes(MailboxForm(m, "u")), "From u@localhost\nA: 1\n\nFrom here on\n.dot\n\n");
}

TEST(SpoolForm, BatchedSmtpFormFramesAndStuffsDots) {
    EXPECT_EQ(Bytes(BatchedSmtpForm(kDotMessage, "pop.example.org", "joe@example.org")),
              "HELO pop.example.org\n"
              "RCPT TO:<joe@example.org>\n"
              "DATA\n"
              "From: a@b\n"
              "Subject: dots\n"
              "\n"
              "..\n"
              ".\n"
              "QUIT\n");
}

TEST(SpoolForm, BatchedSmtpStuffsOnlyLinesStartingWithDot) {
    tbrix_msg m = {".H: 1", "", "..", ".x", "a.b", "", " ."};
    auto out = BatchedSmtpForm(m, "s", "r");
    std::vector<std::string> text(out.begin() + 3, out.end() - 2);
    EXPECT_EQ(text, (std::vector<std::string>{"..H: 1", "", "...", "..x", "a.b", "", " ."}));
}

TEST(SpoolForm, BatchedSmtpOfEmptyMessage) {
    EXPECT_EQ(Bytes(BatchedSmtpForm({}, "s", "r")), "HELO s\nRCPT TO:<r>\nDATA\n.\nQUIT\n");
}

TEST(SpoolForm, RecipientFromEnvelopeHeaders) {
    struct {
        tbrix_msg message;
        const char* recipient;
    } cases[] = {
        {{"Envelope-To: a@x", "X-Envelope-To: b@x", ""}, "a@x"},
        {{"X-Envelope-To: b@x", "ENVELOPE-TO:  a@x ", ""}, "a@x"},
        {{"From: c@x", "X-Envelope-To: b@x", ""}, "b@x"},
        {{"Envelope-To:", "X-Envelope-To: b@x", ""}, "b@x"},
        {{"From: c@x", "", "Envelope-To: body@x"}, ""},
        {{}, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BatchedSmtpRecipient(c.message, true, "fixed@x"), c.recipient) << c.recipient;
}

TEST(SpoolForm, MissingEnvelopeHeadersGiveEmptyBrackets) {
    tbrix_msg m = {"From: c@x", "", "body"};
    auto out = BatchedSmtpForm(m, "s", BatchedSmtpRecipient(m, true, ""));
    EXPECT_EQ(out[1], "RCPT TO:<>");
}

TEST(SpoolForm, RecipientFromEnvelopeSettingWhenHeadersAreNotUsed) {
    tbrix_msg m = {"Envelope-To: a@x", ""};
    EXPECT_EQ(BatchedSmtpRecipient(m, false, "me@home"), "me@home");
    EXPECT_EQ(BatchedSmtpRecipient(m, false, ""), DefaultEnvelope());
    EXPECT_EQ(DefaultEnvelope(), "postmaster@localhost");
    EXPECT_EQ(LocalMailDomain(), "@localhost");
}

TEST(SpoolForm, AccountWordsChooseTheForm) {
    tbrix_msg m = {"X-Envelope-To: me@x", "", ".x"};
    SpoolAccount account{"joe", "pop.x", true, "fixed@x"};
    EXPECT_EQ(Bytes(SpoolForm(m, false, account)),
              "From joe@localhost\nX-Envelope-To: me@x\n\n.x\n");
    EXPECT_EQ(Bytes(SpoolForm(m, true, account)),
              "HELO pop.x\nRCPT TO:<me@x>\nDATA\nX-Envelope-To: me@x\n\n..x\n.\nQUIT\n");
    account.useEnvelope = false;
    EXPECT_EQ(SpoolForm(m, true, account)[1], "RCPT TO:<fixed@x>");
    account.envelope = "";
    EXPECT_EQ(SpoolForm(m, true, account)[1], "RCPT TO:<postmaster@localhost>");
}

TEST(SpoolForm, MailIdentifierNamesUserAndServer) {
    EXPECT_EQ(MailIdentifier("abc", "joe", "pop.a"), "<abc@joe.pop.a>");
    EXPECT_NE(MailIdentifier("1", "joe", "pop.a"), MailIdentifier("1", "joe", "pop.b"));
}

TEST(SpoolName, HexCounterWithAtLeastFourDigits) {
    struct {
        std::uint32_t counter;
        const char* name;
    } cases[] = {{0, "m0000.msg"},   {10, "m000A.msg"},  {16, "m0010.msg"},
                 {255, "m00FF.msg"}, {256, "m0100.msg"}, {0x10000, "m10000.msg"}};
    for (const auto& c : cases)
        EXPECT_EQ(SpoolFileName("", c.counter), c.name);
    EXPECT_EQ(SpoolFileName("/q/spool/", 3), "/q/spool/m0003.msg");
    EXPECT_EQ(SpoolTempName("/q/spool/", 3), "/q/spool/m0003.tmp");
}

TEST(SpoolWrite, WritesNumberedFilesWithLfEnds) {
    MailTempDir dir;
    std::uint32_t counter = 0;
    EXPECT_EQ(WriteSpoolFile(dir.Path(), counter, {"a", "b"}), dir.Path() + "m0000.msg");
    EXPECT_EQ(counter, 1u);
    EXPECT_EQ(WriteSpoolFile(dir.Path(), counter, {"c"}, true), dir.Path() + "m0001.msg");
    EXPECT_EQ(counter, 2u);
    EXPECT_EQ(dir.Read("m0000.msg"), "a\nb\n");
    EXPECT_EQ(dir.Read("m0001.msg"), "c\n");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"m0000.msg", "m0001.msg"}));
}

TEST(SpoolWrite, TakenNamesAreSkippedNeverReplaced) {
    MailTempDir dir;
    dir.Write("m0000.msg", "zero");
    dir.Write("m0001.msg", "one");
    dir.Write("M0002.MSG", "two"); // the host reader does not tell case apart
    dir.Write("m0004.msg", "four");
    std::uint32_t counter = 0;
    EXPECT_EQ(WriteSpoolFile(dir.Path(), counter, {"new"}), dir.Path() + "m0003.msg");
    EXPECT_EQ(WriteSpoolFile(dir.Path(), counter, {"newer"}), dir.Path() + "m0005.msg");
    EXPECT_EQ(counter, 6u);
    EXPECT_EQ(dir.Read("m0000.msg"), "zero");
    EXPECT_EQ(dir.Read("m0001.msg"), "one");
    EXPECT_EQ(dir.Read("M0002.MSG"), "two");
    EXPECT_EQ(dir.Read("m0003.msg"), "new\n");
    EXPECT_EQ(dir.Read("m0004.msg"), "four");
    EXPECT_EQ(dir.Read("m0005.msg"), "newer\n");
}

TEST(SpoolWrite, DanglingLinkAndDirectoryCountAsTaken) {
    MailTempDir dir;
    ASSERT_EQ(::symlink("nowhere", (dir.Path() + "m0000.msg").c_str()), 0);
    ASSERT_EQ(::mkdir((dir.Path() + "m0001.msg").c_str(), 0700), 0);
    std::uint32_t counter = 0;
    EXPECT_EQ(WriteSpoolFile(dir.Path(), counter, {"x"}), dir.Path() + "m0002.msg");
}

TEST(SpoolWrite, LeftoverTemporaryFileIsSkippedAndKept) {
    MailTempDir dir;
    dir.Write("m0000.tmp", "left by a crash");
    std::uint32_t counter = 0;
    EXPECT_EQ(WriteSpoolFile(dir.Path(), counter, {"x"}), dir.Path() + "m0001.msg");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"m0000.tmp", "m0001.msg"}));
}

TEST(SpoolWrite, CounterIsSharedAcrossSpoolDirectories) {
    MailTempDir a, b;
    std::uint32_t counter = 0;
    WriteSpoolFile(a.Path(), counter, {"1"});
    WriteSpoolFile(a.Path(), counter, {"2"});
    EXPECT_EQ(WriteSpoolFile(b.Path(), counter, {"3"}), b.Path() + "m0002.msg");
}

TEST(SpoolWrite, EmptyMessageGivesEmptyFile) {
    MailTempDir dir;
    std::uint32_t counter = 0;
    WriteSpoolFile(dir.Path(), counter, {});
    EXPECT_EQ(dir.Read("m0000.msg"), "");
}

TEST(SpoolWrite, ReadOnlyDirectoryRaisesAndLeavesNothing) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes everywhere";
    MailTempDir dir;
    ::chmod(dir.Path().c_str(), 0500);
    std::uint32_t counter = 0;
    EXPECT_THROW(WriteSpoolFile(dir.Path(), counter, {"x"}), EInOutError);
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_TRUE(dir.Names().empty());
}

TEST(SpoolWrite, MissingDirectoryRaises) {
    MailTempDir dir;
    std::uint32_t counter = 0;
    EXPECT_THROW(WriteSpoolFile(dir.Path() + "nope/", counter, {"x"}), EInOutError);
    dir.Write("file", "");
    EXPECT_THROW(WriteSpoolFile(dir.Path() + "file/", counter, {"x"}), EInOutError);
    EXPECT_EQ(counter, 0u);
}

TEST(SpoolWrite, FailedWriteRemovesTemporaryFile) {
    MailTempDir dir;
    std::uint32_t counter = 0;
    {
        FileSizeLimit limit(8);
        EXPECT_THROW(WriteSpoolFile(dir.Path(), counter, {std::string(100, 'x')}),
                     EStringListError);
    }
    EXPECT_TRUE(dir.Names().empty());
    // The next attempt starts over at the same number.
    EXPECT_EQ(WriteSpoolFile(dir.Path(), counter, {"x"}), dir.Path() + "m0000.msg");
}

} // namespace
} // namespace brix

namespace brix {
namespace {

TEST(MessageIdMode, IdentifierIsMessageIdValue) {
    struct {
        tbrix_msg header;
        const char* id;
    } cases[] = {
        {{"From: a@b", "Message-ID: <abc@x.org>", ""}, "<abc@x.org>"},
        {{"message-id:\t<abc@x.org>  ", ""}, "<abc@x.org>"},
        {{"Message-Id: <abc@x.org> (added by relay)", ""}, "<abc@x.org>"},
        {{"Message-ID: abc@x.org", ""}, "<abc@x.org>"},
        {{"Message-ID: <abc@x.org", ""}, "<abc@x.org>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MessageIdIdentifier(c.header), c.id) << c.id;
}

TEST(MessageIdMode, MessageWithoutIdIsNamedByDigestOfHeaderLines) {
    // MD5 of "From: a@b\r\nSubject: x\r\n".
    const char* digest = "<0afda31a0c3c3cbb1a43611682d869bb>";
    EXPECT_EQ(MessageIdIdentifier({"From: a@b", "Subject: x", ""}), digest);
    EXPECT_EQ(MessageIdIdentifier({"From: a@b", "Subject: x"}), digest);
    EXPECT_EQ(MessageIdIdentifier({"From: a@b", "Subject: x", "", "Message-ID: <body@x>"}), digest);
    EXPECT_EQ(MessageIdIdentifier({"From: a@b", "Subject: x", "Message-ID: <>", ""}),
              MessageIdIdentifier({"From: a@b", "Subject: x", "Message-ID: <>"}));
    EXPECT_NE(MessageIdIdentifier({"From: a@b", "Subject: y", ""}), digest);
}

} // namespace
} // namespace brix
