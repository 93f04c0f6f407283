// The POP3 client against a real Dovecot on loopback: the test starts its
// own instance (own configuration, Maildir and port in a temporary folder),
// talks to it with USER/PASS and with APOP, and stops exactly the process it
// started. Skipped when Dovecot is not installed.

#include "clients/pop3_client.h"
#include "net/net_fixture.h"
#include "testing/dovecot_server.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::DovecotServer;
using testing::Pop3Size;

TEST(Pop3Dovecot, FullSessionWithUserPassAndApop) {
    if (std::string missing = DovecotServer::Missing(); !missing.empty()) GTEST_SKIP() << missing;
    const std::string message1 = "From: a@b\nSubject: one\n\nhello\n";
    const std::string message2 =
        "From: c@d\nSubject: two\n\n.starts with a dot\n" + std::string(300, 'x') + "\nend\n";
    DovecotServer dovecot;
    std::string why = dovecot.Start(
        {{"1000000001.M1P1.brixtest", message1}, {"1000000002.M2P1.brixtest", message2}});
    ASSERT_TRUE(why.empty()) << why;
    auto login = [&](TPOP3Client& client, const char* pass, bool apop) {
        client.Socket->Timeout = 10000;
        client.Service = dovecot.PortText();
        client.Login("127.0.0.1", "joe", pass, apop);
    };
    {
        TPOP3Client client;
        login(client, "tanstaaf", false);
        EXPECT_EQ(client.MsgCount, 2);
        EXPECT_EQ(client.MailboxSize, Pop3Size(message1) + Pop3Size(message2));
        TStrings lines;
        client.Uidl(&lines);
        EXPECT_EQ(lines, (TStrings{"1 1000000001.M1P1.brixtest", "2 1000000002.M2P1.brixtest"}));
        lines.clear();
        client.Retr(2, &lines);
        EXPECT_EQ(lines, (TStrings{"From: c@d", "Subject: two", "", ".starts with a dot",
                                   std::string(300, 'x'), "end"}));
        client.Dele(1);
        client.Disconnect();
    }
    {
        TPOP3Client client;
        login(client, "tanstaaf", true);
        EXPECT_EQ(client.MsgCount, 1) << "DELE took effect at QUIT";
        client.Disconnect();
    }
    TPOP3Client client;
    std::string refused =
        testing::RaisedMessage<EAbsPOP3Client>([&] { login(client, "wrong", false); });
    EXPECT_EQ(refused.rfind("Pass. (Error=-ERR", 0), 0u) << refused;
}

} // namespace
} // namespace brix
