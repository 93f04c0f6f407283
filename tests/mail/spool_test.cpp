// The files the mail jobs read and write, byte for byte: spool files in both
// forms, their names, the identifier files, and the outgoing batch lines.

#include "mail/idtext.h"
#include "mail/msg.h"
#include "mail/outgoing_mail.h"
#include "mail/spool.h"
#include "mail_testing.h"
#include "support/errors.h"
#include "support/textfile.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::DirNames;
using testing::TempTree;
using Lines = std::vector<std::string>;

TEST(SpoolForm, MailboxAndBatchedSmtpForms) {
    EXPECT_EQ(JoinLines(MailboxForm({"A: 1", "", "From here on", ".dot", ""}, "u"), true),
              "From u@localhost\nA: 1\n\nFrom here on\n.dot\n\n");
    // The batch is read back as SMTP: lines starting with a dot are stuffed.
    EXPECT_EQ(JoinLines(BatchedSmtpForm({".H: 1", "", "..", ".x", "a.b", " ."}, "s", "r"), true),
              "HELO s\nRCPT TO:<r>\nDATA\n..H: 1\n\n...\n..x\na.b\n .\n.\nQUIT\n");
    struct {
        tbrix_msg message;
        bool useEnvelope;
        const char* envelope;
        const char* recipient;
    } cases[] = {
        {{"X-Envelope-To: b@x", "envelope-to:  a@x ", ""}, true, "fixed@x", "a@x"},
        {{"Envelope-To: a@x", ""}, false, "", "postmaster@localhost"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BatchedSmtpRecipient(c.message, c.useEnvelope, c.envelope), c.recipient);
}

TEST(SpoolWrite, TakenNamesAreSkippedNeverReplaced) {
    TempTree dir;
    dir.Write("m0000.msg", "zero");
    dir.Write("M0001.MSG", "one"); // the host reader does not tell case apart
    ASSERT_EQ(::symlink("nowhere", (dir / "m0002.msg").c_str()), 0);
    dir.Write("m0003.tmp", "left by a crash");
    std::uint32_t counter = 0;
    EXPECT_EQ(WriteSpoolFile(dir.Path(), counter, {"a", "b"}), dir / "m0004.msg");
    EXPECT_EQ(counter, 5u);
    EXPECT_EQ(DirNames(dir.Path()),
              (Lines{"M0001.MSG", "m0000.msg", "m0002.msg", "m0003.tmp", "m0004.msg"}));
    EXPECT_EQ(dir.Read("m0003.tmp"), "left by a crash");
    EXPECT_EQ(dir.Read("m0004.msg"), "a\nb\n");
}

// Without a Message-ID: the MD5 of "From: a@b\r\nSubject: x\r\n".
TEST(MessageIdMode, IdentifierIsMessageIdValueOrDigestOfHeaderLines) {
    EXPECT_EQ(MessageIdIdentifier({"message-id:\t<abc@x.org> (relay)", ""}), "<abc@x.org>");
    EXPECT_EQ(MessageIdIdentifier({"Message-ID: abc@x.org", ""}), "<abc@x.org>");
    EXPECT_EQ(MessageIdIdentifier({"From: a@b", "Subject: x", "", "Message-ID: <body@x>"}),
              "<0afda31a0c3c3cbb1a43611682d869bb>");
    tbrix_uid u = {"2 QhdPYR:00WBw1Ph7x7", " 1 \t one ", "x8 abc"};
    EXPECT_EQ(u.UidOf(1), "one");
    EXPECT_THROW(u.UidOf(3), EListError);
    EXPECT_FALSE(u.CoversMessages(3));
}

TEST(IdText, AppendAtLimitCutsOldestWholeIdentifiers) {
    std::string text;
    for (int i = 0; i < 1638; ++i) // identifiers of 20 characters
        text += "<" + std::to_string(1000000000 + i) + "@u.srv.x>";
    AppendId("<9999999999@u.srv.x>", text, kIdTextLimit);
    // 32780 characters: 13 are cut, then the rest of the first identifier.
    EXPECT_EQ(text.size(), 32760u);
    EXPECT_EQ(text.substr(0, 20), "<1000000001@u.srv.x>");
    EXPECT_TRUE(text.ends_with("<9999999999@u.srv.x>"));
    std::string t = "<1@u.a><2@u.a><1@u.a>";
    RemoveId("<1@u.a>", t); // the first occurrence only
    EXPECT_EQ(t, "<2@u.a><1@u.a>");
}

TEST(IdText, FailedWriteKeepsTheOldFile) {
    TempTree dir;
    const std::string name = dir / "e-mail.uid", text("<1@u.a>\r\n\0b", 11);
    WriteWholeFile(name, text);
    EXPECT_EQ(ReadWholeFile(name), text);
    {
        testing::FileSizeLimit fullDisk(4);
        EXPECT_THROW(WriteWholeFile(name, "<1@u.a><2@u.a>"), EInOutError);
    }
    EXPECT_EQ(DirNames(dir.Path()), Lines{"e-mail.uid"});
    EXPECT_EQ(dir.Read("e-mail.uid"), text);
}

TEST(OutgoingMail, LinesEndAtCrLfLoneCrOrLoneLf) {
    EXPECT_EQ(SplitSpoolLines("a\r\nb\nc\rd\r\r\ne"), (Lines{"a", "b", "c", "d", "", "e"}));
}

} // namespace
} // namespace brix
