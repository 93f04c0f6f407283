// The mail send job against a real Exim on loopback: envelopes, dot-stuffing
// and the header rewrite as they arrive, refusals at RCPT and after the
// final ".", and AUTH LOGIN.

#include "mail/send_mail.h"
#include "mail_testing.h"
#include "testing/exim_server.h"

#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace brix {
namespace {

std::string Outgoing(const std::string& from, const std::string& to, const std::string& subject,
                     const std::string& extraHeader = "") {
    return "HELO client.example\r\nMAIL FROM:<" + from + ">\r\nRCPT TO:<" + to +
           ">\r\nDATA\r\nFrom: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject + "\r\n" +
           extraHeader + "X-Mailer: QV 3.1\r\n\r\nFirst line of " + subject +
           "\r\n..one dot leads this line\r\n...two dots lead this one\r\n"
           "X-Mailer: body text\r\n.\r\nQUIT\r\n";
}

// A delivered file with LF line ends, whatever Exim writes.
std::string Unix(std::string s) {
    std::erase(s, '\r');
    return s;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class SendMailExim : public testing::MailJobTest {
  protected:
    void SetUp() override {
        MailJobTest::SetUp();
        std::string why;
        if (!exim.Start(why)) GTEST_SKIP() << why;
        box.SMTPSERVER = "127.0.0.1";
        box.SMTPPORT = std::to_string(exim.Port());
        box.SMTPSPOOL = SpoolDir();
        box.SMTPTIMEOUT = "10";
    }

    void Queue(const std::string& name, const std::string& bytes) {
        tree.Write("spool/" + name, bytes);
    }
    bool Queued(const std::string& name) const { return tree.Exists("spool/" + name); }
    std::string RunLogText() const { return tree.Read("qv-ppp.log"); }

    testing::EximServer exim;
};

TEST_F(SendMailExim, DeliversWithEnvelopeDotsAndMailerTag) {
    Queue("m0001.out", Outgoing("anna@client.example", "bert@brix.test", "first"));
    Queue("m0002.out", Outgoing("carl@client.example", "dora@brix.test", "second"));
    SendMail(box);
    EXPECT_TRUE(Spool().empty());
    EXPECT_TRUE(Has(RunLogText(), "2 mails sent\r\n")) << RunLogText();
    EXPECT_FALSE(Has(RunLogText(), "Error")) << RunLogText();
    // The envelope override replaces the sender, not the text's From: line.
    box.SMTPENVELOPE = "bounce@client.example";
    Queue("m0003.out", Outgoing("eva@client.example", "fred@brix.test", "third"));
    SendMail(box);
    EXPECT_TRUE(Spool().empty());

    // Batched SMTP: the envelope as sent, then the text, stuffed again by
    // Exim exactly as it arrived stuffed.
    const std::map<std::string, std::vector<std::string>> expected = {
        {"first", {"MAIL FROM:<anna@client.example>\n", "RCPT TO:<bert@brix.test>\n"}},
        {"second", {"MAIL FROM:<carl@client.example>\n", "RCPT TO:<dora@brix.test>\n"}},
        {"third",
         {"MAIL FROM:<bounce@client.example>\n", "RCPT TO:<fred@brix.test>\n",
          "\nFrom: eva@client.example\n"}}};
    std::set<std::string> seen;
    for (const std::string& raw : exim.Delivered(3)) {
        std::string m = Unix(raw);
        std::size_t at = m.find("\nSubject: ");
        ASSERT_NE(at, std::string::npos) << m;
        std::string subject = m.substr(at + 10, m.find('\n', at + 1) - at - 10);
        ASSERT_TRUE(expected.count(subject)) << m;
        seen.insert(subject);
        for (const std::string& part : expected.at(subject))
            EXPECT_TRUE(Has(m, part)) << part << " in " << m;
        for (const char* part :
             {"Received: ", "\nX-Mailer: QV 3.1, via Brix/W v0.4.2l\n", "\nX-Mailer: body text\n",
              "\n..one dot leads this line\n", "\n...two dots lead this one\n"})
            EXPECT_TRUE(Has(m, part)) << part << " in " << m;
        EXPECT_TRUE(m.ends_with("\n.\n")) << m;
    }
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(SendMailExim, RefusedRecipientKeepsItsFile) {
    Queue("m0001.out", Outgoing("anna@client.example", "bert@brix.test", "first"));
    Queue("m0002.out", Outgoing("anna@client.example", "refuse@brix.test", "second"));
    Queue("m0003.out", Outgoing("anna@client.example", "dora@brix.test", "third"));
    SendMail(box);
    EXPECT_FALSE(Queued("m0001.out"));
    EXPECT_TRUE(Queued("m0002.out"));
    EXPECT_TRUE(Queued("m0003.out")); // the job ends at the refusal
    EXPECT_TRUE(Has(RunLogText(), "1 mails sent\r\n")) << RunLogText();
    EXPECT_TRUE(Has(RunLogText(), "Error (sendmail): Rcpt. (Error=550 ")) << RunLogText();
    EXPECT_EQ(exim.Delivered(2).size(), 1u); // waits in vain for a second one
}

TEST_F(SendMailExim, MessageRefusedAfterItsDotKeepsItsFile) {
    Queue("m0001.out",
          Outgoing("anna@client.example", "bert@brix.test", "first", "X-Refuse: yes\r\n"));
    SendMail(box);
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_TRUE(Has(RunLogText(), "0 mails sent\r\n")) << RunLogText();
    EXPECT_TRUE(
        Has(RunLogText(), "Error (sendmail): Data: After transfer. (Error=554 message refused)"))
        << RunLogText();
    EXPECT_TRUE(exim.Delivered(1).empty()); // waits in vain for one
}

TEST_F(SendMailExim, AuthLoginGuardsTheProtectedDomain) {
    struct {
        const char* auth;
        const char* pass;
        const char* error; // nullptr: delivered
    } cases[] = {
        {"", "", "Error (sendmail): Rcpt. (Error=550 "},
        {"LOGIN", "wrong", "Error (sendmail): Auth-Login. (Error=535 "},
        {"LOGIN", "secret", nullptr},
    };
    Queue("m0001.out", Outgoing("anna@client.example", "eva@auth.test", "first"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pass);
        box.SMTPAUTH = c.auth;
        box.SMTPUSER = *c.auth ? "user" : "";
        box.SMTPPASS = c.pass;
        tree.Write("qv-ppp.log", "");
        SendMail(box);
        EXPECT_EQ(Queued("m0001.out"), c.error != nullptr) << RunLogText();
        if (c.error) {
            EXPECT_TRUE(Has(RunLogText(), c.error)) << RunLogText();
        }
    }
    std::vector<std::string> got = exim.Delivered(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(Has(Unix(got[0]), "RCPT TO:<eva@auth.test>\n")) << got[0];
}

} // namespace
} // namespace brix
