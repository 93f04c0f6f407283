// The protocol clients against the scripted server, where the jobs'
// dialogues do not reach: reply and body reading, STAT parsing, the news
// login and GROUP's 64-bit numbers, each STARTTLS with a forged reply sent
// ahead of the handshake, and a TLS stream cut inside a body.

#include "client_fixture.h"
#include "clients/nntp_client.h"
#include "clients/pop3_client.h"
#include "clients/smtp_client.h"
#include "news/brix_nntp.h"
#include "testing/test_pki.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace brix {
namespace {

using testing::Dialogue;
using testing::Logged;
using testing::RaisedMessage;
using testing::Script;
using testing::ScriptServer;
using testing::Talk;
using testing::TestPki;

TEST(AbsClient, RepliesWithContinuationLinesAndBodiesAreReadWhole) {
    EXPECT_EQ(ReplyCodeOf("221-bye"), 221);
    for (const char* line : {"+OK 2 320", "25", "2a0 x", "2501 x", "250x"})
        EXPECT_EQ(ReplyCodeOf(line), 0) << line;
    // Reply lines are short texts; continuation lines and body lines stay whole.
    std::string longReply = "250 " + std::string(400, 'r'), longItem = "X-" + std::string(300, 'x');
    std::string l100k(100000, 'b');
    Script script = Script().SendLf("220 welcome").Expect("EHLO me").ByteByByte();
    script.SendLines({"250-first line", "250-" + longItem, "250 AUTH LOGIN"}).ByteByByte(false);
    script.Expect("GO").Send(longReply).SendLines({"..a", "x", l100k, ".", "after"});
    ScriptServer server(script);
    Logged<TAbsClient> client;
    client.Open(server);
    EXPECT_EQ(client.ReplyCode, 220);
    TStrings lines;
    client.SendCommandLines("EHLO me", &lines);
    EXPECT_EQ(client.LastReply, "250 AUTH LOGIN");
    EXPECT_EQ(lines, (TStrings{longItem, "AUTH LOGIN"}));
    client.SendCommand("GO");
    EXPECT_EQ(client.LastReply, longReply.substr(0, 255));
    EXPECT_EQ(client.log,
              (std::vector<std::string>{">220 welcome", "<EHLO me", ">250-first line",
                                        (">250-" + longItem).substr(0, 255), ">250 AUTH LOGIN",
                                        "<GO", (">" + longReply).substr(0, 255)}));
    lines.clear();
    client.ReadDataLines(&lines);
    EXPECT_EQ(lines, (TStrings{".a", "x", l100k}));
    std::string next;
    client.Socket->ReadLn(next);
    EXPECT_EQ(next, "after");
}

TEST(Pop3Client, StatReplies) {
    struct Case {
        const char* reply;
        bool ok;
        std::int64_t size;
    } cases[] = {{"+OK 2 320 octets", true, 320},
                 {"+OK 1 5000000000", true, 5000000000},
                 {"+OKx 2 320", false, 0},
                 {"+OK 1 99999999999999999999", false, 0}};
    for (const auto& c : cases) {
        std::int32_t count = -5;
        std::int64_t size = -5;
        EXPECT_EQ(ParseStatReply(c.reply, count, size), c.ok) << c.reply;
        EXPECT_EQ(size, c.size) << c.reply;
    }
}

struct Client : tbrix_nntp {
    Client() : tbrix_nntp("") {}
};

TEST(BrixNntp, LoginAndGroupNumbers) {
    Dialogue<Client>(
        Talk("200 news", {{"AUTHINFO USER joe", "381 more"},
                          {"AUTHINFO PASS pw", "281 ok"},
                          {"GROUP de.a", "211 3 9000000000 9000000002 de.a"},
                          {"GROUP de.b", "411 no such group"},
                          {"GROUP g", "211 3 -1 5 g"}}),
        [](Client& c) {
            c.Authinfo("joe", "pw");
            std::int64_t n[3] = {};
            EXPECT_TRUE(c.GroupInfo("de.a", n[0], n[1], n[2]));
            EXPECT_EQ(n[2], 9000000002);
            EXPECT_FALSE(c.GroupInfo("de.b", n[0], n[1], n[2]));
            EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { c.GroupInfo("g", n[0], n[1], n[2]); }),
                      "Group - articlestart. (Error=211 3 -1 5 g)");
        });
}

TEST(TlsClient, EachStartTlsDropsWhatCameBeforeTheHandshake) {
    TestPki pki;
    const auto& [cert, key] = pki.Localhost();
    // The go-ahead with a forged reply right behind it in the same segment:
    // taken as the next reply, it would answer the command after the
    // handshake.
    auto upgrade = [&](Script s, const char* command, const char* goAhead, const char* forged,
                       const char* ask, const char* answer) {
        return s.Expect(command)
            .SendRaw(std::string(goAhead) + "\r\n" + forged + "\r\n")
            .StartTls(cert, key)
            .Expect(ask)
            .Send(answer);
    };
    struct {
        Script script;
        std::function<std::unique_ptr<TAbsClient>()> make;
        std::function<void(TAbsClient&)> run;
        std::string reply;
    } rows[] = {
        {upgrade(Script().Send("+OK ready"), "STLS", "+OK begin", "+OK forged", "NOOP",
                 "+OK over tls"),
         [] { return std::make_unique<TPOP3Client>(); },
         [](TAbsClient& c) { static_cast<TPOP3Client&>(c).Noop(); }, "+OK over tls"},
        {upgrade(Script()
                     .Send("220 mx")
                     .Expect("EHLO brix.example")
                     .SendLines({"250-mx", "250 STARTTLS"}),
                 "STARTTLS", "220 go ahead", "250 forged", "EHLO brix.example", "250 mx")
             .Expect("NOOP")
             .Send("250 over tls"),
         [] {
             auto smtp = std::make_unique<TSMTPClient>();
             smtp->TlsDomain = "brix.example";
             return smtp;
         },
         [](TAbsClient& c) { static_cast<TSMTPClient&>(c).Noop(); }, "250 over tls"},
        {upgrade(Script().Send("200 news"), "STARTTLS", "382 go ahead", "223 forged", "STAT 1",
                 "223 1 <a@b> over tls"),
         [] { return std::make_unique<TNNTPClient>(); },
         [](TAbsClient& c) { static_cast<TNNTPClient&>(c).StatByNo(1); }, "223 1 <a@b> over tls"},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.reply);
        ScriptServer server(row.script);
        auto client = row.make();
        client->Socket->Timeout = 3000;
        client->Service = server.PortText();
        client->TlsMode = TTlsMode::StartTls;
        client->TlsCAFile = pki.CaFile();
        client->Connect("localhost");
        row.run(*client);
        EXPECT_EQ(client->LastReply, row.reply);
        client->TAbsClient::Disconnect();
        EXPECT_TRUE(server.Passed()) << server.Report();
    }
}

// A TLS stream that ends without close_notify inside a body is a cut
// connection, as a plain one is: the message is never taken as whole.
TEST(TlsClient, BodyCutWithoutCloseNotifyIsAnError) {
    TestPki pki;
    ScriptServer server(Script()
                            .StartTls(pki.Localhost().cert, pki.Localhost().key)
                            .Send("+OK ready")
                            .Expect("RETR 1")
                            .SendLines({"+OK", "Subject: cut"})
                            .Close());
    TPOP3Client client;
    client.Service = server.PortText();
    client.TlsMode = TTlsMode::Tls;
    client.TlsCAFile = pki.CaFile();
    client.Connect("localhost");
    TStrings lines;
    EXPECT_EQ(RaisedMessage<EBufTCPClientSocket>([&] { client.Retr(1, &lines); }),
              "ReadLn. (Error=104)");
}

} // namespace
} // namespace brix
