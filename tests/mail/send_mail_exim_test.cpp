// The mail send job against a real Exim on loopback: envelopes, dot-stuffing
// and the header rewrite as they arrive, refusals at RCPT and after the
// final ".", and AUTH LOGIN.

#include "frame/log.h"
#include "frame/settings.h"
#include "mail/send_mail.h"
#include "platform/fakes.h"
#include "testing/exim_server.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace brix {
namespace {

std::string Outgoing(const std::string& from, const std::string& to, const std::string& subject,
                     const std::string& extraHeader = "") {
    return "HELO client.example\r\n"
           "MAIL FROM:<" +
           from + ">\r\nRCPT TO:<" + to +
           ">\r\nDATA\r\n"
           "From: " +
           from + "\r\nTo: " + to + "\r\nSubject: " + subject + "\r\n" + extraHeader +
           "X-Mailer: QV 3.1\r\n"
           "\r\n"
           "First line of " +
           subject +
           "\r\n"
           "..one dot leads this line\r\n"
           "...two dots lead this one\r\n"
           "X-Mailer: body text\r\n"
           ".\r\n"
           "QUIT\r\n";
}

// LF line ends of the delivered files, whatever Exim writes.
std::string Unix(std::string s) {
    std::string out;
    for (char c : s)
        if (c != '\r') out += c;
    return out;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class SendMailExim : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = Settings();
        Settings() = RunSettings{};
        Settings().LogDir = tree.Path();
        Settings().QvPath = tree.Path();
        Settings().CurrentBox = "BOX1";
        Settings().VerboseMode = true;
        tree.MakeDir("spool");
        std::string why;
        if (!exim.Start(why)) GTEST_SKIP() << why;
        box.SMTPSERVER = "127.0.0.1";
        box.SMTPPORT = std::to_string(exim.Port());
        box.SMTPSPOOL = tree.Path() + "spool/";
        box.SMTPTIMEOUT = "10";
    }
    void TearDown() override { Settings() = saved_; }

    void Queue(const std::string& name, const std::string& bytes) {
        tree.Write("spool/" + name, bytes);
    }
    bool Queued(const std::string& name) const { return tree.Exists("spool/" + name); }
    std::string RunLog() const { return tree.Read("qv-ppp.log"); }

    testing::TempTree tree;
    testing::MemoryScreen screen;
    testing::FixedClock clock;
    testing::EximServer exim;
    tbrixconfig box;
    RunSettings saved_;
};

TEST_F(SendMailExim, DeliversWithEnvelopeDotsAndMailerTag) {
    Queue("m0001.out", Outgoing("anna@client.example", "bert@brix.test", "first"));
    Queue("m0002.out", Outgoing("carl@client.example", "dora@brix.test", "second"));
    SendMail(box);
    EXPECT_FALSE(Queued("m0001.out"));
    EXPECT_FALSE(Queued("m0002.out"));
    EXPECT_TRUE(Has(RunLog(), "2 mails sent\r\n")) << RunLog();
    EXPECT_FALSE(Has(RunLog(), "Error")) << RunLog();

    std::vector<std::string> got = exim.Delivered(2);
    ASSERT_EQ(got.size(), 2u);
    int seen = 0;
    for (const std::string& raw : got) {
        std::string m = Unix(raw);
        bool first = Has(m, "Subject: first\n");
        seen += first ? 1 : 2;
        // Batched SMTP: the envelope as sent, then the text, stuffed again
        // by Exim exactly as it arrived stuffed.
        EXPECT_TRUE(Has(m, first ? "MAIL FROM:<anna@client.example>\n"
                                 : "MAIL FROM:<carl@client.example>\n"))
            << m;
        EXPECT_TRUE(Has(m, first ? "RCPT TO:<bert@brix.test>\n" : "RCPT TO:<dora@brix.test>\n"))
            << m;
        EXPECT_TRUE(Has(m, "Received: ")) << m;
        EXPECT_TRUE(Has(m, "\nX-Mailer: QV 3.1, via Brix/W v0.4.2l\n")) << m;
        EXPECT_TRUE(Has(m, "\nX-Mailer: body text\n")) << m;
        EXPECT_TRUE(Has(m, "\n..one dot leads this line\n")) << m;
        EXPECT_TRUE(Has(m, "\n...two dots lead this one\n")) << m;
        EXPECT_TRUE(m.size() >= 3 && m.substr(m.size() - 3) == "\n.\n") << m;
    }
    EXPECT_EQ(seen, 3);
}

TEST_F(SendMailExim, EnvelopeOverrideReachesTheServer) {
    box.SMTPENVELOPE = "bounce@client.example";
    Queue("m0001.out", Outgoing("anna@client.example", "bert@brix.test", "first"));
    SendMail(box);
    std::vector<std::string> got = exim.Delivered(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(Has(Unix(got[0]), "MAIL FROM:<bounce@client.example>\n")) << got[0];
    EXPECT_TRUE(Has(Unix(got[0]), "From: anna@client.example\n")) << got[0];
}

TEST_F(SendMailExim, RefusedRecipientKeepsItsFile) {
    Queue("m0001.out", Outgoing("anna@client.example", "bert@brix.test", "first"));
    Queue("m0002.out", Outgoing("anna@client.example", "refuse@brix.test", "second"));
    Queue("m0003.out", Outgoing("anna@client.example", "dora@brix.test", "third"));
    SendMail(box);
    EXPECT_FALSE(Queued("m0001.out"));
    EXPECT_TRUE(Queued("m0002.out"));
    EXPECT_TRUE(Queued("m0003.out")); // the job ends at the refusal
    EXPECT_TRUE(Has(RunLog(), "1 mails sent\r\n")) << RunLog();
    EXPECT_TRUE(Has(RunLog(), "Error (sendmail): Rcpt. (Error=550 ")) << RunLog();
    EXPECT_EQ(exim.Delivered(2).size(), 1u); // waits in vain for a second one
}

TEST_F(SendMailExim, MessageRefusedAfterItsDotKeepsItsFile) {
    Queue("m0001.out",
          Outgoing("anna@client.example", "bert@brix.test", "first", "X-Refuse: yes\r\n"));
    SendMail(box);
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_TRUE(Has(RunLog(), "0 mails sent\r\n")) << RunLog();
    EXPECT_TRUE(
        Has(RunLog(), "Error (sendmail): Data: After transfer. (Error=554 message refused)"))
        << RunLog();
    EXPECT_TRUE(exim.Delivered(1).empty()); // waits in vain for one
}

TEST_F(SendMailExim, AuthLoginOpensTheProtectedDomain) {
    box.SMTPAUTH = "LOGIN";
    box.SMTPUSER = "user";
    box.SMTPPASS = "secret";
    Queue("m0001.out", Outgoing("anna@client.example", "eva@auth.test", "first"));
    SendMail(box);
    EXPECT_FALSE(Queued("m0001.out")) << RunLog();
    std::vector<std::string> got = exim.Delivered(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(Has(Unix(got[0]), "RCPT TO:<eva@auth.test>\n")) << got[0];
}

TEST_F(SendMailExim, ProtectedDomainRefusedWithoutAuth) {
    Queue("m0001.out", Outgoing("anna@client.example", "eva@auth.test", "first"));
    SendMail(box);
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_TRUE(Has(RunLog(), "Error (sendmail): Rcpt. (Error=550 ")) << RunLog();
}

TEST_F(SendMailExim, WrongPasswordIsRefused) {
    box.SMTPAUTH = "LOGIN";
    box.SMTPUSER = "user";
    box.SMTPPASS = "wrong";
    Queue("m0001.out", Outgoing("anna@client.example", "eva@auth.test", "first"));
    SendMail(box);
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_TRUE(Has(RunLog(), "Error (sendmail): Auth-Login. (Error=535 ")) << RunLog();
}

} // namespace
} // namespace brix
