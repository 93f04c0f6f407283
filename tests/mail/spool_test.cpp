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
#include <sys/stat.h>

namespace brix {
namespace {

using testing::DirNames;
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

TEST(SpoolForm, MailboxAndBatchedSmtpForms) {
    EXPECT_EQ(Formed({"A: 1", "", "From here on", ".dot", ""}, false, "u", "s", ""),
              "From u@localhost\nA: 1\n\nFrom here on\n.dot\n\n");
    // The batch is read back as SMTP: lines starting with a dot are stuffed.
    EXPECT_EQ(Formed({".H: 1", "", "..", ".x", "a.b", " ."}, true, "u", "s", "r"),
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

// Without a Message-ID: the MD5 of "From: a@b\r\nSubject: x\r\n".
TEST(MessageIdMode, IdentifierIsMessageIdValueOrDigestOfHeaderLines) {
    EXPECT_EQ(MessageIdIdentifier({"message-id:\t<abc@x.org> (relay)", ""}), "<abc@x.org>");
    EXPECT_EQ(MessageIdIdentifier({"Message-ID: abc@x.org", ""}), "<abc@x.org>");
    EXPECT_EQ(MessageIdIdentifier({"From: a@b", "Subject: x", "", "Message-ID: <body@x>"}),
              "<0afda31a0c3c3cbb1a43611682d869bb>");
}

// State files are replaced whole, never written in place: a full disk
// leaves the old file, and the new one keeps the old one's permissions.
TEST(IdText, FailedWriteKeepsTheOldFile) {
    TempTree dir;
    const std::string name = dir / "e-mail.uid", text("<1@u.a>\r\n\0b", 11);
    WriteWholeFile(name, "old");
    ::chmod(name.c_str(), 0600);
    WriteWholeFile(name, text);
    EXPECT_EQ(ReadWholeFile(name), text);
    {
        testing::FileSizeLimit fullDisk(4);
        EXPECT_THROW(WriteWholeFile(name, "<1@u.a><2@u.a>"), EInOutError);
    }
    EXPECT_EQ(DirNames(dir.Path()), Lines{"e-mail.uid"});
    EXPECT_EQ(dir.Read("e-mail.uid"), text);
    struct stat st {};
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Only CR LF or LF ends a line; a lone CR is one of its bytes.
TEST(OutgoingMail, LinesEndAtCrLfOrLoneLf) {
    EXPECT_EQ(SplitSpoolLines("a\r\nb\nc\rd\r\r\ne"), (Lines{"a", "b", "c\rd\r", "e"}));
}

} // namespace
} // namespace brix
