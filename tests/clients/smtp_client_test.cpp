// The SMTP client against the scripted server: command lines byte for byte,
// success codes and refusal tags, EHLO with AUTH LOGIN, and the verdict on
// a message's terminating ".".

#include "client_fixture.h"
#include "clients/base64.h"
#include "clients/smtp_client.h"

#include <functional>
#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Logged;
using testing::RaisedMessage;
using testing::Script;
using testing::ScriptServer;

struct CommandCase {
    const char* tag;
    const char* line;
    std::vector<const char*> accepted;
    std::function<void(TAbsSMTPClient&)> run;
};

std::vector<CommandCase> Commands() {
    return {
        {"Helo", "HELO my.host", {"250"}, [](TAbsSMTPClient& c) { c.Helo("my.host"); }},
        {"Mail", "MAIL FROM: <a@b>", {"250"}, [](TAbsSMTPClient& c) { c.Mail("a@b"); }},
        {"Send", "SEND FROM: <a@b>", {"250"}, [](TAbsSMTPClient& c) { c.Send("a@b"); }},
        {"Soml", "SOML FROM: <a@b>", {"250"}, [](TAbsSMTPClient& c) { c.Soml("a@b"); }},
        {"Saml", "SAML FROM: <a@b>", {"250"}, [](TAbsSMTPClient& c) { c.Saml("a@b"); }},
        {"Rcpt", "RCPT TO: <c@d>", {"250", "251"}, [](TAbsSMTPClient& c) { c.Rcpt("c@d"); }},
        {"Data", "DATA", {"354"}, [](TAbsSMTPClient& c) { c.Data(); }},
        {"Rset", "RSET", {"250"}, [](TAbsSMTPClient& c) { c.Rset(); }},
        {"Vrfy", "VRFY joe", {"250", "251"}, [](TAbsSMTPClient& c) { c.Vrfy("joe"); }},
        {"Expn", "EXPN list", {"250"}, [](TAbsSMTPClient& c) { c.Expn("list", nullptr); }},
        {"Help", "HELP", {"211", "214"}, [](TAbsSMTPClient& c) { c.Help("", nullptr); }},
        {"Help", "HELP DATA", {"214"}, [](TAbsSMTPClient& c) { c.Help("DATA", nullptr); }},
        {"Noop", "NOOP", {"250"}, [](TAbsSMTPClient& c) { c.Noop(); }},
        {"Turn", "TURN", {"250"}, [](TAbsSMTPClient& c) { c.Turn(); }},
        {"Quit", "QUIT", {"221"}, [](TAbsSMTPClient& c) { c.Quit(); }},
        {"Ehlo",
         "EHLO my.host",
         {"250"},
         [](TAbsSMTPClient& c) { c.Ehlo("my.host", nullptr, "", "", ""); }},
    };
}

TEST(SmtpClient, EveryCommandIsSentExactlyAndAcceptsItsCodes) {
    for (const auto& cmd : Commands())
        for (const char* code : cmd.accepted) {
            ScriptServer server(
                Script().Send("220 mx ready").Expect(cmd.line).Send(std::string(code) + " fine"));
            Logged<TAbsSMTPClient> client;
            client.Open(server);
            cmd.run(client);
            EXPECT_EQ(client.log[1], std::string("<") + cmd.line);
            client.Disconnect();
            EXPECT_TRUE(server.Passed()) << cmd.line << " " << code << "\n" << server.Report();
        }
}

TEST(SmtpClient, EveryRefusalNamesTheCommand) {
    for (const auto& cmd : Commands()) {
        ScriptServer server(Script().Send("220 mx").Expect(cmd.line).Send("550 refused here"));
        Logged<TAbsSMTPClient> client;
        client.Open(server);
        EXPECT_EQ(RaisedMessage<EAbsSMTPClient>([&] { cmd.run(client); }),
                  std::string(cmd.tag) + ". (Error=550 refused here)");
        client.Disconnect();
        EXPECT_TRUE(server.Passed()) << cmd.line << "\n" << server.Report();
    }
}

TEST(SmtpClient, MailRefusedWith451AsksForAuthentication) {
    ScriptServer server(Script().Send("220 mx").Expect("MAIL FROM: <a@b>").Send("451 auth first"));
    Logged<TAbsSMTPClient> client;
    client.Open(server);
    EXPECT_EQ(RaisedMessage<EAbsSMTPClient>([&] { client.Mail("a@b"); }),
              "Smtp-Auth required. (Error=451 auth first)");
}

TEST(SmtpClient, GreetingOtherThan220Raises) {
    ScriptServer server(Script().Send("554 no service"));
    Logged<TAbsSMTPClient> client;
    client.Service = server.PortText();
    EXPECT_EQ(RaisedMessage<EAbsSMTPClient>([&] { client.Connect("127.0.0.1"); }),
              "Connect. (Error=554 no service)");
}

TEST(SmtpClient, ExpnAndHelpCollectTheReplyAndWhatFollows) {
    ScriptServer server(Script()
                            .Send("220 mx")
                            .Expect("EXPN staff")
                            .SendLines({"250-Ann <a@x>", "250 Bob <b@x>"})
                            .Expect("HELP")
                            .SendLines({"214 commands:", "HELO MAIL", "RCPT DATA"}));
    Logged<TAbsSMTPClient> client;
    client.Open(server);
    TStrings lines;
    client.Expn("staff", &lines);
    EXPECT_EQ(lines, TStrings{"250 Bob <b@x>"});
    lines.clear();
    client.Help("", &lines);
    EXPECT_EQ(lines, (TStrings{"214 commands:", "HELO MAIL", "RCPT DATA"}));
}

TEST(SmtpClient, EhloWithSingleLineReplyNeedsNoAuthentication) {
    ScriptServer server(Script().Send("220 mx").Expect("EHLO me").Send("250 mx"));
    Logged<TAbsSMTPClient> client;
    client.Open(server);
    TStrings ext;
    client.Ehlo("me", &ext, "LOGIN", "user", "pw");
    EXPECT_TRUE(ext.empty());
    client.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(SmtpClient, EhloPerformsAuthLoginWhenOffered) {
    ScriptServer server(
        Script()
            .Send("220 mx")
            .Expect("EHLO me")
            .SendLines({"250-mx greets me", "250-SIZE 1000", "250 AUTH PLAIN login"})
            .Expect("AUTH LOGIN")
            .Send("334 VXNlcm5hbWU6")
            .Expect("dXNlckBleGFtcGxlLm9yZw==")
            .Send("334 UGFzc3dvcmQ6")
            .Expect("cGFzcw==")
            .Send("235 2.7.0 Authentication successful"));
    Logged<TAbsSMTPClient> client;
    client.Open(server);
    TStrings ext;
    client.Ehlo("me", &ext, "AUTO", "user@example.org", "pass");
    EXPECT_EQ(ext, (TStrings{"SIZE 1000", "AUTH PLAIN login"}));
    EXPECT_EQ(client.ReplyCode, 235);
    client.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(SmtpClient, EhloRefusesAMethodOtherThanLogin) {
    ScriptServer server(
        Script().Send("220 mx").Expect("EHLO me").SendLines({"250-mx", "250 AUTH LOGIN"}));
    Logged<TAbsSMTPClient> client;
    client.Open(server);
    TStrings ext;
    EXPECT_EQ(RaisedMessage<EAbsSMTPClient>([&] { client.Ehlo("me", &ext, "PLAIN", "u", "p"); }),
              "Auth-Login-Method not understand. (Error=PLAIN not supportet)");
}

TEST(SmtpClient, EhloWithoutLoginOnOfferRaises) {
    ScriptServer server(
        Script().Send("220 mx").Expect("EHLO me").SendLines({"250-mx", "250 AUTH PLAIN CRAM-MD5"}));
    Logged<TAbsSMTPClient> client;
    client.Open(server);
    TStrings ext;
    EXPECT_EQ(RaisedMessage<EAbsSMTPClient>([&] { client.Ehlo("me", &ext, "LOGIN", "u", "p"); }),
              "Auth-Login-Method not understand. (Error=LOGIN not supportet)");
}

TEST(SmtpClient, EachAuthStepRefusedNamesAuthLogin) {
    struct Case {
        int failAt;
        std::vector<std::string> replies;
    } cases[] = {
        {0, {"504 no"}}, {1, {"334 x", "535 bad user"}}, {2, {"334 x", "334 y", "535 bad pass"}}};
    for (const auto& c : cases) {
        Script script;
        script.Send("220 mx").Expect("EHLO me").SendLines({"250-mx", "250 AUTH LOGIN"});
        std::vector<std::string> sent = {"AUTH LOGIN", Base64Encode("u"), Base64Encode("p")};
        for (std::size_t i = 0; i < c.replies.size(); ++i)
            script.Expect(sent[i]).Send(c.replies[i]);
        ScriptServer server(script);
        Logged<TAbsSMTPClient> client;
        client.Open(server);
        TStrings ext;
        EXPECT_EQ(
            RaisedMessage<EAbsSMTPClient>([&] { client.Ehlo("me", &ext, "LOGIN", "u", "p"); }),
            "Auth-Login. (Error=" + c.replies.back() + ")");
        client.Disconnect();
        EXPECT_TRUE(server.Passed()) << server.Report();
    }
}

TEST(SmtpClient, PasswordsOfOneTwoThreeBytesAndLongCredentials) {
    EXPECT_EQ(Base64Encode("a"), "YQ==");
    EXPECT_EQ(Base64Encode("ab"), "YWI=");
    EXPECT_EQ(Base64Encode("abc"), "YWJj");
    std::string longUser(100, 'u'), longPass(200, 'p');
    ScriptServer server(Script()
                            .Send("220 mx")
                            .Expect("EHLO me")
                            .SendLines({"250-mx", "250 AUTH=LOGIN"})
                            .Expect("AUTH LOGIN")
                            .Send("334 x")
                            .Expect(Base64Encode(longUser))
                            .Send("334 y")
                            .Expect(Base64Encode(longPass))
                            .Send("235 ok"));
    Logged<TAbsSMTPClient> client;
    client.Open(server);
    TStrings ext;
    client.Ehlo("me", &ext, "LOGIN", longUser, longPass);
    client.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(SmtpClient, MessageIsAcceptedOnlyWith250AfterTheDot) {
    ScriptServer server(Script()
                            .Send("220 mx")
                            .Expect("MAIL FROM: <a@b>")
                            .Send("250 ok")
                            .Expect("RCPT TO: <c@d>")
                            .Send("251 forwarded")
                            .Expect("DATA")
                            .Send("354 go ahead")
                            .ExpectBody()
                            .Send("250 queued as 1"));
    Logged<TAbsSMTPClient> client;
    client.Open(server);
    client.Mail("a@b");
    client.Rcpt("c@d");
    client.Data();
    std::size_t logged = client.log.size();
    client.DataText({"Subject: hi", "", "..stuffed already", std::string(300, 'x'), "end"}, false);
    EXPECT_EQ(client.log.size(), logged + 1);
    EXPECT_EQ(client.log.back(), ">250 queued as 1");
    client.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "MAIL FROM: <a@b>\r\nRCPT TO: <c@d>\r\nDATA\r\nSubject: hi\r\n\r\n"
                                 "..stuffed already\r\n" +
                                     std::string(300, 'x') + "\r\nend\r\n.\r\n");
}

TEST(SmtpClient, RefusalAfterTheDotRaisesDataAfterTransfer) {
    ScriptServer server(
        Script().Send("220 mx").Expect("DATA").Send("354 go").ExpectBody().Send("554 spam"));
    Logged<TAbsSMTPClient> client;
    client.Open(server);
    client.Data();
    EXPECT_EQ(RaisedMessage<EAbsSMTPClient>([&] { client.DataText({"x"}, false); }),
              "Data: After transfer. (Error=554 spam)");
}

TEST(SmtpClient, DataTextStuffsDotsWhenAskedAndNeverEndsEarly) {
    ScriptServer server(Script()
                            .Send("220 mx")
                            .Expect("DATA")
                            .Send("354 go")
                            .ExpectBody()
                            .Send("250 ok")
                            .Expect("DATA")
                            .Send("354 go")
                            .ExpectBody()
                            .Send("250 ok"));
    Logged<TAbsSMTPClient> client;
    client.Open(server);
    client.Data();
    client.DataText({".a", ".", "b"}, true);
    client.Data();
    client.DataText({".", "c"}, false);
    client.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "DATA\r\n..a\r\n..\r\nb\r\n.\r\nDATA\r\n..\r\nc\r\n.\r\n");
}

TEST(SmtpClient, StreamedMessageEndsWithEndData) {
    ScriptServer server(
        Script().Send("220 mx").Expect("DATA").Send("354 go").ExpectBody().Send("250 ok"));
    Logged<TAbsSMTPClient> client;
    client.Open(server);
    client.Data();
    client.SendRawLines({"part one"});
    client.SendRawLines({"part two"});
    client.EndData();
    client.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "DATA\r\npart one\r\npart two\r\n.\r\n");
}

TEST(SmtpClient, TSMTPClientFallsBackToHeloAndQuitsOnDisconnect) {
    ScriptServer server(Script()
                            .Send("220 mx")
                            .Expect("EHLO my.dom")
                            .Send("502 unknown")
                            .Expect("HELO my.dom")
                            .Send("250 hello")
                            .Expect("QUIT")
                            .Send("221 bye"));
    Logged<TSMTPClient> client;
    client.Service = server.PortText();
    client.Connect("127.0.0.1", "my.dom");
    EXPECT_EQ(client.Domain, "my.dom");
    client.Disconnect();
    EXPECT_EQ(client.Domain, "");
    EXPECT_EQ(client.Socket->Handle, -1);
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(SmtpClient, TSMTPClientCollectsExtensions) {
    ScriptServer server(Script()
                            .Send("220 mx")
                            .Expect("EHLO d")
                            .SendLines({"250-mx", "250 8BITMIME"})
                            .Expect("HELO d")
                            .Send("250 hi"));
    Logged<TSMTPClient> client;
    TStrings ext;
    client.Extensions = &ext;
    client.Service = server.PortText();
    // With extensions listed and no method given, the AUTH check refuses and
    // the client greets again with HELO.
    client.Connect("127.0.0.1", "d");
    EXPECT_EQ(ext, TStrings{"8BITMIME"});
    client.TAbsSMTPClient::Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

} // namespace
} // namespace brix
