// Whole runs of the real binary against a real Dovecot and Exim on loopback.

#include "testing/job_test.h"
#include "testing/real_servers.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>

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

// The fetched ones, then one from a sender the filter names; a lone CR stays
// in its line.
const std::vector<testing::MaildirMessage> kSeed = {
    {"1000000001.M1P1.brixtest", "From: a@b\nSubject: one\nMessage-ID: <one@b>\n\nhel\rlo\n"},
    {"1000000002.M2P1.brixtest", "From: c@d\nSubject: two\n\n.starts with a dot\n..two\n.\n" +
                                     std::string(3000, 'x') + "\nend\n"},
    {"1000000003.M3P1.brixtest", "From: e@f\nSubject: three\n\n"},
    {"1000000004.M4P1.brixtest", "From: Spam <Spam@Example.ORG>\nSubject: buy\n\nnow\n"},
};

// 64 MiB in lines of 1000 bytes, with these line ends.
std::string Big(const std::string& eol) {
    std::string big;
    for (int i = 0; i < 64 * 1024; ++i)
        big += std::string(1000, 'x') + eol;
    return big;
}

// Over TLS (Dovecot's implicit-TLS port, Exim with STARTTLS; the CA file
// named relative to the host reader's folder): keep mode with SMTP after
// POP and the sender filter, where one queued message needs the login and
// one is refused; a message of 64 MiB each way is held whole by neither job.
// Then in plain text: keep mode again with APOP (nothing new); delete mode:
// the known messages go unread, a late one is fetched, and the mailbox is
// empty.
TEST(ProgramMail, DovecotKeepTwiceThenDeleteAndEximTakesTheQueue) {
    testing::TestPki pki;
    testing::DovecotServer pop;
    pop.UseTls(pki.Localhost().cert, pki.Localhost().key);
    if (std::string why = pop.Start(kSeed); !why.empty()) GTEST_SKIP() << why;
    const std::string bigText = "From: big@x\n\n";
    pop.Add({"1000000005.M5P1.brixtest", bigText + Big("\n")});
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
                            "SMTPAFTERPOP=J\nSMTPAFTERPOPDELAY=1\nPPP_KILLFILE=" +
                            t.Path() + "filter.pho\n");
    t.Write("spool/m0001.out", Outgoing("bert@brix.test", "first"));
    t.Write("spool/m0002.out", Outgoing("eva@auth.test", "second")); // needs the login
    t.Write("spool/m0003.out", Outgoing("refuse@brix.test", "third"));
    t.Write("spool/m0004.out",
            "HELO r\r\nMAIL FROM:<a@x>\r\nRCPT TO:<big@brix.test>\r\nDATA\r\n\r\n" + Big("\r\n") +
                ".\r\nQUIT\r\n");
    t.Write("filter.pho", "brix-pho: spam@example.org\n");
    auto run = [&](const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"box1.bfg"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto r = testing::RunBrix(args, {"QV=" + t.Path()});
        EXPECT_EQ(r.exitCode, 0) << r.output;
    };
    // A child's peak memory counts what it shared with this process before
    // its exec: the big texts made here go back first.
    ::malloc_trim(0);
    run({"-debug"});
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
#ifndef __SANITIZE_ADDRESS__ // the sanitizer's own memory would be measured
    EXPECT_LT(usage.ru_maxrss, 32 * 1024) << "KiB";
#endif
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(t.Read("spool/m000" + std::to_string(i) + ".msg"),
                  "From joe@localhost\n" + kSeed[i].text)
            << pop.Log();
    EXPECT_EQ(t.Read("spool/m0003.msg").size(), 19 + bigText.size() + (1001u << 16));
    std::string ids;
    for (const auto& name : pop.MailboxNames())
        ids += "<" + name + "@joe.localhost>"; // the filtered one is known too
    EXPECT_EQ(t.Read("e-mail.uid"), ids);
    EXPECT_EQ(testing::DirNames(t.Path() + "spool"), // the refused one is kept
              (std::vector<std::string>{"m0000.msg", "m0001.msg", "m0002.msg", "m0003.msg",
                                        "m0003.out"}));
    // Batched SMTP: the envelope as sent, then the text, stuffed again by Exim
    // exactly as it arrived stuffed.
    std::vector<std::string> delivered = exim.Delivered(3);
    ASSERT_EQ(delivered.size(), 3u);
    std::erase_if(delivered, [](const std::string& m) { return m.size() > 64'000'000; });
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
    EXPECT_LT(log.find(" POP3: localhost:"), log.find(" 4 mails to send, ")) << log;
    EXPECT_TRUE(Has(log, " Reading PHO-Filter...\r\n")) << log;
    EXPECT_TRUE(Has(log, " Error (sendmail): Rcpt. (Error=550 ")) << log;
    // The password went only after the upgrade.
    const std::string debug = t.Read("BOX1.log");
    EXPECT_LT(debug.find("<STARTTLS"), debug.find("<AUTH LOGIN")) << debug;
    EXPECT_TRUE(Has(debug, "<MAIL FROM: <anna@client.example>\r\n>250 "));

    const std::string plain = bfg + "POP3PORT=" + pop.PortText() + "\n";
    t.Write("BOX1.bfg", plain + "POP3AUTH=J\n");
    run();
    EXPECT_FALSE(t.Exists("spool/m0004.msg"));
    EXPECT_TRUE(Has(t.Read("qv-ppp.log"), " 5 mails skipped\r\n"));
    EXPECT_EQ(pop.MailboxNames().size(), 5u);

    pop.Add({"1000000006.M6P1.brixtest", "From: g@h\nSubject: four\n\nlate\n"});
    t.Write("BOX1.bfg", plain + "POP3KEEP=N\n");
    run();
    EXPECT_EQ(t.Read("spool/m0004.msg"), "From joe@localhost\nFrom: g@h\nSubject: four\n\nlate\n");
    EXPECT_FALSE(t.Exists("spool/m0005.msg"));
    EXPECT_EQ(t.Read("e-mail.uid"), "");
    EXPECT_TRUE(pop.MailboxNames().empty()) << pop.Log();
    EXPECT_FALSE(Has(t.Read("qv-ppp.log"), "Error (getmail)")) << t.Read("qv-ppp.log");
}

} // namespace
} // namespace brix
