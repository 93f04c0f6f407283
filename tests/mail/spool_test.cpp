#include "mail/spool.h"

#include "mail_testing.h"
#include "support/errors.h"
#include "support/textfile.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::DirNames;
using testing::FileSizeLimit;
using testing::TempTree;
using Lines = std::vector<std::string>;

std::string Bytes(const Lines& lines) {
    return JoinLines(lines, true);
}

TEST(SpoolForm, MailboxFormLeavesBodyLinesAlone) {
    tbrix_msg m = {"A: 1", "", "From here on", ".dot", ""};
    EXPECT_EQ(Bytes(MailboxForm(m, "u")), "From u@localhost\nA: 1\n\nFrom here on\n.dot\n\n");
}

TEST(SpoolForm, BatchedSmtpFormFramesAndStuffsLinesStartingWithDot) {
    struct {
        tbrix_msg message;
        const char* bytes;
    } cases[] = {
        {{".H: 1", "", "..", ".x", "a.b", "", " ."},
         "HELO s\nRCPT TO:<r>\nDATA\n..H: 1\n\n...\n..x\na.b\n\n .\n.\nQUIT\n"},
        {{}, "HELO s\nRCPT TO:<r>\nDATA\n.\nQUIT\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Bytes(BatchedSmtpForm(c.message, "s", "r")), c.bytes);
}

TEST(SpoolForm, BatchedSmtpRecipientFromEnvelopeHeadersOrTheSetting) {
    struct {
        tbrix_msg message;
        bool useEnvelope;
        const char* envelope;
        const char* recipient;
    } cases[] = {
        {{"X-Envelope-To: b@x", "ENVELOPE-TO:  a@x ", ""}, true, "fixed@x", "a@x"},
        {{"Envelope-To:", "X-Envelope-To: b@x", ""}, true, "fixed@x", "b@x"},
        {{"From: c@x", "", "Envelope-To: body@x"}, true, "fixed@x", ""},
        {{"Envelope-To: a@x", ""}, false, "me@home", "me@home"},
        {{"Envelope-To: a@x", ""}, false, "", "postmaster@localhost"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BatchedSmtpRecipient(c.message, c.useEnvelope, c.envelope), c.recipient)
            << c.recipient;
}

TEST(SpoolName, HexCounterWithAtLeastFourDigits) {
    EXPECT_EQ(SpoolFileName("/q/", 255), "/q/m00FF.msg");
    EXPECT_EQ(SpoolFileName("", 0x10000), "m10000.msg");
    EXPECT_EQ(SpoolTempName("/q/", 3), "/q/m0003.tmp");
}

TEST(SpoolWrite, TakenNamesAreSkippedNeverReplaced) {
    TempTree dir, other;
    dir.Write("m0000.msg", "zero");
    dir.Write("M0001.MSG", "one"); // the host reader does not tell case apart
    ASSERT_EQ(::symlink("nowhere", (dir / "m0002.msg").c_str()), 0);
    dir.MakeDir("m0003.msg");
    dir.Write("m0004.tmp", "left by a crash");
    std::uint32_t counter = 0;
    EXPECT_EQ(WriteSpoolFile(dir.Path(), counter, {"a", "b"}), dir / "m0005.msg");
    EXPECT_EQ(counter, 6u);
    EXPECT_EQ(WriteSpoolFile(dir.Path(), counter, {}, true), dir / "m0006.msg");
    // The counter goes on in another spool folder.
    EXPECT_EQ(WriteSpoolFile(other.Path(), counter, {"c"}), other / "m0007.msg");
    EXPECT_EQ(counter, 8u);
    EXPECT_EQ(DirNames(dir.Path()), (Lines{"M0001.MSG", "m0000.msg", "m0002.msg", "m0003.msg",
                                           "m0004.tmp", "m0005.msg", "m0006.msg"}));
    EXPECT_EQ(dir.Read("m0000.msg"), "zero");
    EXPECT_EQ(dir.Read("M0001.MSG"), "one");
    EXPECT_EQ(dir.Read("m0004.tmp"), "left by a crash");
    EXPECT_EQ(dir.Read("m0005.msg"), "a\nb\n");
    EXPECT_EQ(dir.Read("m0006.msg"), "");
    EXPECT_EQ(other.Read("m0007.msg"), "c\n");
}

TEST(SpoolWrite, FailedWriteRemovesTemporaryFile) {
    TempTree dir;
    std::uint32_t counter = 0;
    {
        FileSizeLimit fullDisk(8);
        EXPECT_THROW(WriteSpoolFile(dir.Path(), counter, {std::string(100, 'x')}),
                     EStringListError);
    }
    EXPECT_TRUE(DirNames(dir.Path()).empty());
    // The next attempt starts over at the same number.
    EXPECT_EQ(WriteSpoolFile(dir.Path(), counter, {"x"}), dir / "m0000.msg");
}

// Without a Message-ID in the header: the MD5 of "From: a@b\r\nSubject: x\r\n".
TEST(MessageIdMode, IdentifierIsMessageIdValueOrDigestOfHeaderLines) {
    struct {
        tbrix_msg header;
        const char* id;
    } cases[] = {
        {{"message-id:\t<abc@x.org>  ", ""}, "<abc@x.org>"},
        {{"Message-Id: <abc@x.org> (added by relay)", ""}, "<abc@x.org>"},
        {{"Message-ID: abc@x.org", ""}, "<abc@x.org>"},
        {{"From: a@b", "Subject: x", "", "Message-ID: <body@x>"},
         "<0afda31a0c3c3cbb1a43611682d869bb>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MessageIdIdentifier(c.header), c.id) << c.id;
}

} // namespace
} // namespace brix
