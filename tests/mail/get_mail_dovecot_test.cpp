// The mail fetch job end to end against a real Dovecot on loopback: keep
// mode twice (the second run fetches nothing), then delete mode (the mailbox
// is empty afterwards). Skipped when Dovecot is not installed.

#include "get_mail_fixture.h"
#include "testing/dovecot_server.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::DovecotServer;
using testing::GetMailTest;
using testing::MaildirMessage;
using Lines = std::vector<std::string>;

const std::vector<MaildirMessage> kSeed = {
    {"1000000001.M1P1.brixtest", "From: a@b\nSubject: one\nMessage-ID: <one@b>\n\nhello\n"},
    {"1000000002.M2P1.brixtest", "From: c@d\nSubject: two\n\n.starts with a dot\n..two\n.\n" +
                                     std::string(3000, 'x') + "\nend\n"},
    {"1000000003.M3P1.brixtest", "From: e@f\nSubject: three\n\n"},
};
const MaildirMessage kLate = {"1000000004.M4P1.brixtest", "From: g@h\nSubject: four\n\nlate\n"};

std::string Id(const MaildirMessage& m) {
    return "<" + m.name + "@joe.127.0.0.1>";
}

TEST_F(GetMailTest, DovecotKeepTwiceThenDelete) {
    if (std::string missing = DovecotServer::Missing(); !missing.empty()) GTEST_SKIP() << missing;
    DovecotServer dovecot;
    std::string why = dovecot.Start(kSeed);
    ASSERT_TRUE(why.empty()) << why;

    Settings().VerboseMode = false;
    box.POP3PORT = dovecot.PortText();
    box.POP3USER = DovecotServer::kUser;
    box.POP3PASS = DovecotServer::kPassword;
    box.POP3TIMEOUT = "10";

    GetMail(box, false);
    ASSERT_EQ(Spool(), (Lines{"m0000.msg", "m0001.msg", "m0002.msg"})) << dovecot.Log();
    for (std::size_t i = 0; i < kSeed.size(); ++i)
        EXPECT_EQ(Spooled(Spool()[i]), "From joe@localhost\n" + kSeed[i].text) << i;
    EXPECT_EQ(Uids(), Id(kSeed[0]) + Id(kSeed[1]) + Id(kSeed[2]));

    // Second keep run, with APOP this time: nothing new.
    box.POP3AUTH = "J";
    GetMail(box, false);
    EXPECT_EQ(Spool().size(), 3u);
    EXPECT_EQ(RunLog().back(), "3 mails skipped");
    EXPECT_EQ(dovecot.MailboxNames().size(), 3u);

    // Delete mode: the known messages go unread, the late one is fetched.
    dovecot.Add(kLate);
    box.POP3KEEP = "N";
    GetMail(box, false);
    EXPECT_EQ(Spool(), (Lines{"m0000.msg", "m0001.msg", "m0002.msg", "m0003.msg"}));
    EXPECT_EQ(Spooled("m0003.msg"), "From joe@localhost\n" + kLate.text);
    EXPECT_EQ(Uids(), "");
    EXPECT_TRUE(dovecot.MailboxNames().empty()) << dovecot.Log();
    for (const std::string& line : RunLog())
        EXPECT_EQ(line.find("Error"), std::string::npos) << line;
}

} // namespace
} // namespace brix
