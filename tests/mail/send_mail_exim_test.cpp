// The mail send job end to end against a real Exim on loopback, with AUTH
// LOGIN for the protected domain. Skipped when Exim is not installed.

#include "mail/send_mail.h"
#include "mail_testing.h"
#include "testing/exim_server.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace brix {
namespace {

std::string Outgoing(const std::string& to, const std::string& subject) {
    return "HELO client.example\r\nMAIL FROM:<anna@client.example>\r\nRCPT TO:<" + to +
           ">\r\nDATA\r\nFrom: anna@client.example\r\nSubject: " + subject +
           "\r\nX-Mailer: QV 3.1\r\n\r\n..one dot leads this line\r\n...two dots lead this "
           "one\r\nX-Mailer: body text\r\n.\r\nQUIT\r\n";
}

using SendMailExim = testing::MailJobTest;

TEST_F(SendMailExim, TakesBothFilesWithDotsAndMailerTag) {
    testing::EximServer exim;
    std::string why;
    if (!exim.Start(why)) GTEST_SKIP() << why;
    box.SMTPSERVER = "127.0.0.1";
    box.SMTPPORT = std::to_string(exim.Port());
    box.SMTPSPOOL = SpoolDir();
    box.SMTPTIMEOUT = "10";
    box.SMTPAUTH = "LOGIN";
    box.SMTPUSER = "user";
    box.SMTPPASS = "secret";
    tree.Write("spool/m0001.out", Outgoing("bert@brix.test", "first"));
    tree.Write("spool/m0002.out", Outgoing("eva@auth.test", "second"));
    SendMail(box);
    const std::string log = tree.Read("qv-ppp.log");
    EXPECT_TRUE(Spool().empty()) << log;
    EXPECT_NE(log.find("2 mails sent\r\n"), std::string::npos) << log;

    // Batched SMTP: the envelope as sent, then the text, stuffed again by
    // Exim exactly as it arrived stuffed.
    std::set<std::string> recipients;
    for (std::string m : exim.Delivered(2)) {
        std::erase(m, '\r');
        for (const char* part :
             {"MAIL FROM:<anna@client.example>\n", "\nX-Mailer: QV 3.1, via Brix/W v0.4.2l\n",
              "\nX-Mailer: body text\n", "\n..one dot leads this line\n",
              "\n...two dots lead this one\n"})
            EXPECT_NE(m.find(part), std::string::npos) << part << " in " << m;
        EXPECT_TRUE(m.ends_with("\n.\n")) << m;
        std::size_t at = m.find("RCPT TO:<");
        ASSERT_NE(at, std::string::npos) << m;
        recipients.insert(m.substr(at + 9, m.find('>', at) - at - 9));
    }
    EXPECT_EQ(recipients, (std::set<std::string>{"bert@brix.test", "eva@auth.test"}));
}

} // namespace
} // namespace brix
