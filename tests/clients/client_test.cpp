// The protocol clients against the scripted server, where the jobs'
// dialogues do not reach: reply and body reading, and each STARTTLS with a
// forged reply sent ahead of the handshake.

#include "client_fixture.h"
#include "clients/nntp_client.h"
#include "clients/pop3_client.h"
#include "clients/smtp_client.h"
#include "testing/test_pki.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Logged;
using testing::Script;
using testing::ScriptServer;
using testing::TestPki;

TEST(AbsClient, RepliesWithContinuationLinesAndBodiesAreReadWhole) {
    EXPECT_EQ(ReplyCodeOf("221-bye"), 221);
    for (const char* line : {"+OK 2 320", "25", "2a0 x", "2501 x", "250x"})
        EXPECT_EQ(ReplyCodeOf(line), 0) << line;
    // Reply lines are short texts; continuation lines and body lines stay whole.
    std::string longReply = "250 " + std::string(400, 'r'), longItem = "X-" + std::string(300, 'x');
    std::string l100k(100000, 'b');
    Script script = Script().SendRaw("220 welcome\n").Expect("EHLO me");
    // The reply comes in one byte at a time.
    for (char c : "250-first line\r\n250-" + longItem + "\r\n250 AUTH LOGIN\r\n")
        script.SendRaw(std::string(1, c)).Pause(1);
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

// Connects a Client by STARTTLS to a server playing `script` and sends NOOP
// over TLS; its reply must be `answer`.
template <class Client>
void NoopOverTls(const TestPki& pki, const Script& script, const std::string& answer) {
    ScriptServer server(script);
    Client client;
    client.Socket->Timeout = 3000;
    client.Service = server.PortText();
    client.TlsMode = TTlsMode::StartTls;
    client.TlsCAFile = pki.CaFile();
    client.Connect("localhost");
    client.SendCommand("NOOP");
    EXPECT_EQ(client.LastReply, answer);
    client.TAbsClient::Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(TlsClient, EachStartTlsDropsWhatCameBeforeTheHandshake) {
    TestPki pki;
    const auto& [cert, key] = pki.Localhost();
    // The go-ahead with a forged reply right behind it in the same segment:
    // taken as the next reply, it would answer the first command over TLS.
    auto upgrade = [&](Script s, const char* command, const char* goAheadAndForged) {
        return s.Expect(command).SendRaw(goAheadAndForged).StartTls(cert, key);
    };
    Script pop = upgrade(Script().Send("+OK ready"), "STLS", "+OK begin\r\n+OK forged\r\n");
    NoopOverTls<TPOP3Client>(pki, pop.Expect("NOOP").Send("+OK over tls"), "+OK over tls");
    Script smtp =
        Script().Send("220 mx").ExpectPrefix("EHLO ").SendLines({"250-mx", "250 STARTTLS"});
    smtp = upgrade(smtp, "STARTTLS", "220 go ahead\r\n250 forged\r\n").ExpectPrefix("EHLO ");
    NoopOverTls<TSMTPClient>(pki, smtp.Send("250 mx").Expect("NOOP").Send("250 ok"), "250 ok");
    Script nntp = upgrade(Script().Send("200 news"), "STARTTLS", "382 go ahead\r\n223 forged\r\n");
    NoopOverTls<TNNTPClient>(pki, nntp.Expect("NOOP").Send("223 over tls"), "223 over tls");
}

} // namespace
} // namespace brix
