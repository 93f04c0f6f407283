// TLS under the three clients against the scripted server: each protocol's
// STARTTLS with a forged reply sent ahead of the handshake dropped, and a
// TLS stream cut inside a body.

#include "clients/nntp_client.h"
#include "clients/pop3_client.h"
#include "clients/smtp_client.h"
#include "net/net_fixture.h"
#include "testing/script_server.h"
#include "testing/test_pki.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace brix {
namespace {

using testing::Script;

TEST(TlsClient, EachStartTlsDropsWhatCameBeforeTheHandshake) {
    testing::TestPki pki;
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
        testing::ScriptServer server(row.script);
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
    testing::TestPki pki;
    testing::ScriptServer server(Script()
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
    EXPECT_EQ(testing::RaisedMessage<EBufTCPClientSocket>([&] { client.Retr(1, &lines); }),
              "ReadLn. (Error=104)");
}

} // namespace
} // namespace brix
