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

const std::string kMessage1 = "From: a@b\nSubject: one\n\nhello\n";
const std::string kMessage2 =
    "From: c@d\nSubject: two\n\n.starts with a dot\n" + std::string(300, 'x') + "\nend\n";
const char* kName1 = "1000000001.M1P1.brixtest";
const char* kName2 = "1000000002.M2P1.brixtest";

TEST(Pop3Dovecot, FullSessionWithUserPassAndApop) {
    if (std::string missing = DovecotServer::Missing(); !missing.empty()) GTEST_SKIP() << missing;
    DovecotServer dovecot;
    std::string why = dovecot.Start({{kName1, kMessage1}, {kName2, kMessage2}});
    ASSERT_TRUE(why.empty()) << why;

    auto fresh = [&](TPOP3Client& client) {
        client.Socket->Timeout = 10000;
        client.Service = dovecot.PortText();
    };
    {
        TPOP3Client client;
        fresh(client);
        std::vector<std::string> log;
        client.OnLogLine = [&](const std::string& l) { log.push_back(l); };
        client.Login("127.0.0.1", "joe", "tanstaaf", false);
        EXPECT_EQ(client.MsgCount, 2);
        EXPECT_EQ(client.MailboxSize, Pop3Size(kMessage1) + Pop3Size(kMessage2));
        EXPECT_EQ(log[1], "<USER joe");
        EXPECT_EQ(log[3], "<PASS tanstaaf");

        TStrings lines;
        client.Uidl(&lines);
        EXPECT_EQ(lines, (TStrings{std::string("1 ") + kName1, std::string("2 ") + kName2}));
        lines.clear();
        client.List(&lines);
        EXPECT_EQ(lines, (TStrings{"1 " + std::to_string(Pop3Size(kMessage1)),
                                   "2 " + std::to_string(Pop3Size(kMessage2))}));
        lines.clear();
        client.Top(1, 0, &lines);
        EXPECT_EQ(lines, (TStrings{"From: a@b", "Subject: one", ""}));
        lines.clear();
        client.Retr(2, &lines);
        EXPECT_EQ(lines, (TStrings{"From: c@d", "Subject: two", "", ".starts with a dot",
                                   std::string(300, 'x'), "end"}));
        client.Dele(1);
        EXPECT_THROW(client.Retr(1, &lines), EAbsPOP3Client);
        client.Disconnect();
        EXPECT_EQ(client.Socket->Handle, -1);
    }
    {
        TPOP3Client client;
        fresh(client);
        client.Login("127.0.0.1", "joe", "tanstaaf", true);
        EXPECT_EQ(APOPTimestamp.front(), '<');
        EXPECT_EQ(APOPTimestamp.back(), '>');
        EXPECT_EQ(client.MsgCount, 1) << "DELE took effect at QUIT";
        TStrings lines;
        client.Uidl(&lines);
        EXPECT_EQ(lines, TStrings{std::string("1 ") + kName2});
        client.Disconnect();
    }
    TPOP3Client client;
    fresh(client);
    std::string refused = testing::RaisedMessage<EAbsPOP3Client>(
        [&] { client.Login("127.0.0.1", "joe", "wrong", false); });
    EXPECT_EQ(refused.rfind("Pass. (Error=-ERR", 0), 0u) << refused;
}

} // namespace
} // namespace brix
