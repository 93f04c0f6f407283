// The whole program against real servers on loopback: queued mail leaves
// through Exim, and the run log tells the story.

#include "testing/dovecot_server.h"
#include "testing/exim_server.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(ProgramMail, QueuedMailIsSentAndRemoved) {
    testing::EximServer exim;
    std::string why;
    if (!exim.Start(why)) GTEST_SKIP() << why;
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", "SMTPSERVER=127.0.0.1\nSMTPPORT=" + std::to_string(exim.Port()) + "\n");
    t.Write("spool/m0001.out", "HELO reader.example\r\nMAIL FROM:<me@example.org>\r\n"
                               "RCPT TO:<you@example.net>\r\nDATA\r\nSubject: hi\r\n\r\n"
                               "..dot\r\nbody\r\n.\r\nQUIT\r\n");
    t.Write("spool/m0002.OUT", "HELO reader.example\r\nMAIL FROM:<me@example.org>\r\n"
                               "RCPT TO:<refuse@brix.test>\r\nDATA\r\nSubject: no\r\n\r\n"
                               "body\r\n.\r\nQUIT\r\n");
    auto r = testing::RunBrix({"box1.bfg", "-debug"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_FALSE(t.Exists("spool/m0001.out"));
    EXPECT_TRUE(t.Exists("spool/m0002.OUT")); // refused: kept for the next run
    auto delivered = exim.Delivered(1);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_TRUE(Has(delivered[0], "MAIL FROM:<me@example.org>")) << delivered[0];
    EXPECT_TRUE(Has(delivered[0], "RCPT TO:<you@example.net>"));
    EXPECT_TRUE(Has(delivered[0], "\n..dot\n"));
    std::string log = t.Read("qv-ppp.log");
    EXPECT_TRUE(Has(log, " SMTP: 127.0.0.1:" + std::to_string(exim.Port()) + "\r\n")) << log;
    EXPECT_TRUE(Has(log, " 2 mails to send, ")) << log;
    EXPECT_TRUE(Has(log, " Error (sendmail): Rcpt. (Error=550 ")) << log;
    std::string box = t.Read("BOX1.log");
    EXPECT_TRUE(Has(box, "<MAIL FROM: <me@example.org>\r\n")) << box;
    EXPECT_TRUE(Has(box, ">250 ")) << box;
}

} // namespace
} // namespace brix

namespace brix {
namespace {

TEST(ProgramMail, SmtpAfterPopFetchesThenSends) {
    if (std::string why = testing::DovecotServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    testing::DovecotServer pop;
    std::string why = pop.Start({{"1000000001.M1P1.test", "From: a@b\nSubject: one\n\nhello\n"},
                                 {"1000000002.M2P1.test", "From: c@d\nSubject: two\n\n.dot\n"}});
    if (!why.empty()) GTEST_SKIP() << why;
    testing::EximServer exim;
    if (!exim.Start(why)) GTEST_SKIP() << why;

    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + pop.PortText() +
                            "\nPOP3USER=joe\nPOP3PASS=tanstaaf\n"
                            "SMTPSERVER=127.0.0.1\nSMTPPORT=" +
                            std::to_string(exim.Port()) +
                            "\nSMTPAFTERPOP=J\nSMTPAFTERPOPDELAY=1\n");
    t.Write("spool/m0001.out",
            "HELO r\r\nMAIL FROM:<me@example.org>\r\nRCPT TO:<you@example.net>\r\n"
            "DATA\r\nSubject: hi\r\n\r\nbody\r\n.\r\nQUIT\r\n");
    auto r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(t.Exists("spool/m0000.msg"));
    EXPECT_TRUE(t.Exists("spool/m0001.msg"));
    EXPECT_FALSE(t.Exists("spool/m0001.out"));
    EXPECT_EQ(t.Read("spool/m0001.msg").rfind("From joe", 0), 0u) << t.Read("spool/m0001.msg");
    EXPECT_TRUE(Has(t.Read("spool/m0001.msg"), "\n.dot\n"));
    EXPECT_EQ(exim.Delivered(1).size(), 1u);
    std::string log = t.Read("qv-ppp.log");
    auto fetch = log.find(" POP3: 127.0.0.1:");
    auto send = log.find(" SMTP: 127.0.0.1:");
    ASSERT_NE(fetch, std::string::npos) << log;
    ASSERT_NE(send, std::string::npos) << log;
    EXPECT_LT(fetch, send);
    std::string uid = t.Read("e-mail.uid");
    EXPECT_TRUE(Has(uid, "<1000000001.M1P1.test@joe.127.0.0.1>")) << uid;

    // Kept on the server and known: the second run fetches nothing.
    r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(t.Exists("spool/m0002.msg"));
    EXPECT_TRUE(Has(t.Read("qv-ppp.log"), " 2 mails skipped\r\n"));
    EXPECT_EQ(pop.MailboxNames().size(), 2u);
}

} // namespace
} // namespace brix
