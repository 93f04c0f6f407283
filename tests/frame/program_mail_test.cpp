// Whole runs of the real binary against a real Dovecot and Exim on loopback.

#include "testing/dovecot_server.h"
#include "testing/exim_server.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"
#include "testing/test_pki.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Outgoing(const std::string& to, const std::string& subject) {
    return "HELO client.example\r\nMAIL FROM:<anna@client.example>\r\nRCPT TO:<" + to +
           ">\r\nDATA\r\nFrom: anna@client.example\r\nSubject: " + subject +
           "\r\nX-Mailer: QV 3.1\r\n\r\n..one dot leads this line\r\n...two dots lead this "
           "one\r\nX-Mailer: body text\r\n.\r\nQUIT\r\n";
}

const std::vector<testing::MaildirMessage> kSeed = {
    {"1000000001.M1P1.brixtest", "From: a@b\nSubject: one\nMessage-ID: <one@b>\n\nhello\n"},
    {"1000000002.M2P1.brixtest", "From: c@d\nSubject: two\n\n.starts with a dot\n..two\n.\n" +
                                     std::string(3000, 'x') + "\nend\n"},
    {"1000000003.M3P1.brixtest", "From: e@f\nSubject: three\n\n"},
};

// Over TLS (Dovecot's implicit-TLS port, Exim with STARTTLS; the CA file
// named relative to the host reader's folder): keep mode with SMTP after
// POP, where one queued message needs the login and one is refused. Then in
// plain text: keep mode again with APOP (nothing new); delete mode: the
// known messages go unread, a late one is fetched, and the mailbox is empty.
TEST(ProgramMail, DovecotKeepTwiceThenDeleteAndEximTakesTheQueue) {
    testing::TestPki pki;
    testing::DovecotServer pop;
    pop.UseTls(pki.Localhost().cert, pki.Localhost().key);
    if (std::string why = pop.Start(kSeed); !why.empty()) GTEST_SKIP() << why;
    testing::EximServer exim;
    exim.UseTls(pki.Localhost().cert, pki.Localhost().key);
    if (std::string why; !exim.Start(why)) GTEST_SKIP() << why;
    // The certificates name localhost, so the box does too.
    const std::string bfg =
        "POP3SERVER=localhost\nPOP3USER=joe\nPOP3PASS=tanstaaf\nPOP3TIMEOUT=10\n";
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("ca.pem", testing::TempTree::ReadAny(pki.CaFile()));
    t.Write("BOX1.bfg", bfg + "POP3PORT=" + pop.TlsPortText() +
                            "\nPOP3TLS=TLS\nTLSCAFILE=ca.pem\nSMTPSERVER=localhost\nSMTPPORT=" +
                            exim.PortText() +
                            "\nSMTPTLS=STARTTLS\nSMTPAUTH=LOGIN\nSMTPUSER=user\nSMTPPASS=secret\n"
                            "SMTPAFTERPOP=J\nSMTPAFTERPOPDELAY=1\n");
    t.Write("spool/m0001.out", Outgoing("bert@brix.test", "first"));
    t.Write("spool/m0002.out", Outgoing("eva@auth.test", "second")); // needs the login
    t.Write("spool/m0003.out", Outgoing("refuse@brix.test", "third"));
    auto run = [&](const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"box1.bfg"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto r = testing::RunBrix(args, {"QV=" + t.Path()});
        EXPECT_EQ(r.exitCode, 0) << r.output;
    };
    run({"-debug"});
    for (std::size_t i = 0; i < kSeed.size(); ++i)
        EXPECT_EQ(t.Read("spool/m000" + std::to_string(i) + ".msg"),
                  "From joe@localhost\n" + kSeed[i].text)
            << pop.Log();
    std::string ids;
    for (const auto& m : kSeed)
        ids += "<" + m.name + "@joe.localhost>";
    EXPECT_EQ(t.Read("e-mail.uid"), ids);
    EXPECT_FALSE(t.Exists("spool/m0001.out"));
    EXPECT_FALSE(t.Exists("spool/m0002.out"));
    EXPECT_TRUE(t.Exists("spool/m0003.out")); // refused: kept for the next run
    // Batched SMTP: the envelope as sent, then the text, stuffed again by Exim
    // exactly as it arrived stuffed.
    std::vector<std::string> delivered = exim.Delivered(2);
    ASSERT_EQ(delivered.size(), 2u);
    for (std::string m : delivered) {
        std::erase(m, '\r');
        for (const char* part :
             {"MAIL FROM:<anna@client.example>\n", "\nX-Mailer: QV 3.1, via Brix/W v0.4.2l\n",
              "\nX-Mailer: body text\n", "\n..one dot leads this line\n",
              "\n...two dots lead this one\n"})
            EXPECT_TRUE(Has(m, part)) << part << " in " << m;
        EXPECT_TRUE(m.ends_with("\n.\n")) << m;
    }
    EXPECT_TRUE(Has(delivered[0] + delivered[1], "RCPT TO:<eva@auth.test>"));
    const std::string log = t.Read("qv-ppp.log");
    EXPECT_LT(log.find(" POP3: localhost:"), log.find(" 3 mails to send, ")) << log;
    EXPECT_TRUE(Has(log, " Error (sendmail): Rcpt. (Error=550 ")) << log;
    // The password went only after the upgrade.
    const std::string debug = t.Read("BOX1.log");
    EXPECT_LT(debug.find("<STARTTLS"), debug.find("<AUTH LOGIN")) << debug;
    EXPECT_TRUE(Has(debug, "<MAIL FROM: <anna@client.example>\r\n>250 "));

    const std::string plain = bfg + "POP3PORT=" + pop.PortText() + "\n";
    t.Write("BOX1.bfg", plain + "POP3AUTH=J\n");
    run();
    EXPECT_FALSE(t.Exists("spool/m0003.msg"));
    EXPECT_TRUE(Has(t.Read("qv-ppp.log"), " 3 mails skipped\r\n"));
    EXPECT_EQ(pop.MailboxNames().size(), 3u);

    pop.Add({"1000000004.M4P1.brixtest", "From: g@h\nSubject: four\n\nlate\n"});
    t.Write("BOX1.bfg", plain + "POP3KEEP=N\n");
    run();
    EXPECT_EQ(t.Read("spool/m0003.msg"), "From joe@localhost\nFrom: g@h\nSubject: four\n\nlate\n");
    EXPECT_FALSE(t.Exists("spool/m0004.msg"));
    EXPECT_EQ(t.Read("e-mail.uid"), "");
    EXPECT_TRUE(pop.MailboxNames().empty()) << pop.Log();
    EXPECT_FALSE(Has(t.Read("qv-ppp.log"), "Error (getmail)")) << t.Read("qv-ppp.log");
}

} // namespace
} // namespace brix
