// TLS under the three clients against the scripted server: implicit TLS and
// each protocol's STARTTLS, with plain-text bytes sent ahead of the
// handshake dropped, and the socket's debug line naming the session.

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

template <class C> std::unique_ptr<TAbsClient> Make() {
    return std::make_unique<C>();
}

TEST(TlsClient, EachProtocolTalksThroughTlsAndDropsWhatCameBefore) {
    testing::TestPki pki;
    const auto& [cert, key] = pki.Localhost();
    // The upgrade: the command, its go-ahead with a forged reply right behind
    // it in the same segment (taken as the next reply, it would answer the
    // command after the handshake), then TLS.
    auto upgrade = [&](Script s, const char* command, const char* goAhead, const char* forged) {
        return s.Expect(command)
            .SendRaw(std::string(goAhead) + "\r\n" + forged + "\r\n")
            .StartTls(cert, key);
    };
    struct {
        const char* name;
        TTlsMode mode;
        Script script;
        std::unique_ptr<TAbsClient> (*make)();
        std::function<void(TAbsClient&)> run;
        std::string reply;
    } rows[] = {
        {"POP3 STLS", TTlsMode::StartTls,
         upgrade(Script().Send("+OK ready"), "STLS", "+OK begin", "+OK forged")
             .Expect("NOOP")
             .Send("+OK over tls")
             .Expect("QUIT")
             .Send("+OK bye"),
         Make<TPOP3Client>, [](TAbsClient& c) { static_cast<TPOP3Client&>(c).Noop(); },
         "+OK over tls"},
        {"SMTP STARTTLS", TTlsMode::StartTls,
         upgrade(Script()
                     .Send("220 mx")
                     .Expect("EHLO brix.example")
                     .SendLines({"250-mx", "250-starttls", "250 AUTH LOGIN"}),
                 "STARTTLS", "220 go ahead", "250 forged")
             .Expect("EHLO brix.example")
             .Send("250 mx")
             .Expect("NOOP")
             .Send("250 over tls")
             .Expect("QUIT")
             .Send("221 bye"),
         Make<TSMTPClient>, [](TAbsClient& c) { static_cast<TSMTPClient&>(c).Noop(); },
         "250 over tls"},
        {"NNTP STARTTLS", TTlsMode::StartTls,
         upgrade(Script().Send("200 news"), "STARTTLS", "382 go ahead", "223 forged")
             .Expect("STAT 1")
             .Send("223 1 <a@b> over tls")
             .Expect("QUIT")
             .Send("205 bye"),
         Make<TNNTPClient>,
         [](TAbsClient& c) {
             EXPECT_TRUE(static_cast<TNNTPClient&>(c).PostingAllowed);
             static_cast<TNNTPClient&>(c).StatByNo(1);
         },
         "223 1 <a@b> over tls"},
        {"NNTP implicit", TTlsMode::Tls,
         Script()
             .StartTls(cert, key)
             .Send("201 news")
             .Expect("STAT 1")
             .Send("223 1 <a@b> over tls")
             .Expect("QUIT")
             .Send("205 bye"),
         Make<TNNTPClient>, [](TAbsClient& c) { static_cast<TNNTPClient&>(c).StatByNo(1); },
         "223 1 <a@b> over tls"},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.name);
        testing::ScriptServer server(row.script);
        std::vector<std::string> socketLog; // outlives the client
        auto client = row.make();
        if (auto* smtp = dynamic_cast<TAbsSMTPClient*>(client.get()))
            smtp->TlsDomain = "brix.example";
        client->Socket->OnLogLine = [&](const std::string& l) { socketLog.push_back(l); };
        client->Socket->Timeout = 3000;
        client->Service = server.PortText();
        client->TlsMode = row.mode;
        client->TlsCAFile = pki.CaFile();
        client->Connect("localhost");
        row.run(*client);
        EXPECT_EQ(client->LastReply, row.reply);
        client->Disconnect();
        EXPECT_TRUE(server.Passed()) << server.Report();
        bool described = false;
        for (const auto& l : socketLog)
            described = described || (l.rfind("TLS on socket ", 0) == 0 &&
                                      l.find(": TLSv1.3, cipher TLS_") != std::string::npos &&
                                      l.ends_with(", peer /CN=localhost"));
        EXPECT_TRUE(described) << ::testing::PrintToString(socketLog);
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
    // Outlives the client, whose socket still logs when it is destroyed.
    std::vector<std::string> socketLog;
    TPOP3Client client;
    client.Socket->OnLogLine = [&](const std::string& l) { socketLog.push_back(l); };
    client.Service = server.PortText();
    client.TlsMode = TTlsMode::Tls;
    client.TlsCAFile = pki.CaFile();
    client.Connect("localhost");
    TStrings lines;
    EXPECT_EQ(testing::RaisedMessage<EBufTCPClientSocket>([&] { client.Retr(1, &lines); }),
              "ReadLn. (Error=104)");
    EXPECT_EQ(socketLog.back(), "TLS ended without close_notify");
}

// After a failed handshake the socket sends nothing more, not even QUIT.
TEST(TlsClient, FailedUpgradeSendsNothingInPlainText) {
    testing::TestPki pki;
    auto stranger = pki.Issue("localhost", 30, false);
    testing::ScriptServer server(Script()
                                     .Send("+OK ready")
                                     .Expect("STLS")
                                     .Send("+OK")
                                     .StartTls(stranger.cert, stranger.key));
    TPOP3Client client;
    client.Service = server.PortText();
    client.TlsMode = TTlsMode::StartTls;
    EXPECT_EQ(testing::RaisedMessage<ETCPClientSocket>([&] {
                  client.Connect("localhost");
              }).rfind("TLS: certificate of localhost not accepted: ", 0),
              0u);
    EXPECT_EQ(testing::RaisedMessage<ETCPClientSocket>([&] { client.Quit(); }),
              "Write. (Error=104)");
    client.TAbsClient::Disconnect();
    EXPECT_EQ(server.Received(), "STLS\r\n");
}

} // namespace
} // namespace brix
