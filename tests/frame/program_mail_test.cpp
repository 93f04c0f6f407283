// The whole program against real servers on loopback: queued mail leaves
// through Exim, and the run log tells the story.

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
