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

// The spool file's bytes for a received message, formed line by line.
std::string Formed(const tbrix_msg& message, bool batched, const std::string& user,
                   const std::string& server, const std::string& envelope) {
    std::string bytes;
    SpoolFormer form(batched, {user, server, false, envelope}, [&](std::string_view line) {
        bytes.append(line);
        bytes += '\n';
    });
    for (const std::string& line : message)
        form.Line(line);
    form.End();
    return bytes;
}

std::string Write(SpoolNames& names, std::uint32_t& counter, const Lines& lines) {
    SpoolFile file(names, counter);
    for (const std::string& line : lines)
        file.Line(line);
    return file.Commit();
}

TEST(SpoolForm, MailboxFormLeavesBodyLinesAlone) {
    tbrix_msg m = {"A: 1", "", "From here on", ".dot", ""};
    EXPECT_EQ(Formed(m, false, "u", "s", ""), "From u@localhost\nA: 1\n\nFrom here on\n.dot\n\n");
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
        EXPECT_EQ(Formed(c.message, true, "u", "s", "r"), c.bytes);
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
    dir.Write("m0004.tmp", "left by a killed run");
    SpoolNames names(dir.Path()), otherNames(other.Path());
    EXPECT_EQ(names.Removed, Lines{dir / "m0004.tmp"});
    std::uint32_t counter = 0;
    EXPECT_EQ(Write(names, counter, {"a", "b"}), dir / "m0004.msg");
    dir.Write("m0005.msg", "taken after the listing");
    EXPECT_EQ(Write(names, counter, {}), dir / "m0006.msg");
    EXPECT_EQ(counter, 7u);
    // The counter goes on in another spool folder.
    EXPECT_EQ(Write(otherNames, counter, {"c"}), other / "m0007.msg");
    EXPECT_EQ(DirNames(dir.Path()), (Lines{"M0001.MSG", "m0000.msg", "m0002.msg", "m0003.msg",
                                           "m0004.msg", "m0005.msg", "m0006.msg"}));
    EXPECT_EQ(dir.Read("m0000.msg"), "zero");
    EXPECT_EQ(dir.Read("M0001.MSG"), "one");
    EXPECT_EQ(dir.Read("m0004.msg"), "a\nb\n");
    EXPECT_EQ(dir.Read("m0005.msg"), "taken after the listing");
    EXPECT_EQ(dir.Read("m0006.msg"), "");
    EXPECT_EQ(other.Read("m0007.msg"), "c\n");
}

TEST(SpoolWrite, FailedWriteRemovesTemporaryFile) {
    TempTree dir;
    std::uint32_t counter = 0;
    SpoolNames names(dir.Path());
    {
        FileSizeLimit fullDisk(8);
        EXPECT_THROW(Write(names, counter, {std::string(100, 'x')}), EStringListError);
    }
    EXPECT_TRUE(DirNames(dir.Path()).empty());
    // The next attempt starts over at the same number.
    EXPECT_EQ(Write(names, counter, {"x"}), dir / "m0000.msg");
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
