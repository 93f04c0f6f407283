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

using testing::Dialogue;
using testing::Logged;
using testing::RaisedMessage;
using testing::Script;
using testing::ScriptServer;
using testing::Talk;

using Client = Logged<TAbsSMTPClient>;

TEST(SmtpClient, EveryCommandIsSentExactlyAndEveryRefusalNamesIt) {
    std::vector<testing::Command<TAbsSMTPClient>> commands = {
        {"Helo", "HELO my.host", {"250"}, [](auto& c, auto) { c.Helo("my.host"); }},
        {"Mail", "MAIL FROM: <a@b>", {"250"}, [](auto& c, auto) { c.Mail("a@b"); }},
        {"Send", "SEND FROM: <a@b>", {"250"}, [](auto& c, auto) { c.Send("a@b"); }},
        {"Soml", "SOML FROM: <a@b>", {"250"}, [](auto& c, auto) { c.Soml("a@b"); }},
        {"Saml", "SAML FROM: <a@b>", {"250"}, [](auto& c, auto) { c.Saml("a@b"); }},
        {"Rcpt", "RCPT TO: <c@d>", {"250", "251 x"}, [](auto& c, auto) { c.Rcpt("c@d"); }},
        {"Data", "DATA", {"354"}, [](auto& c, auto) { c.Data(); }},
        {"Rset", "RSET", {"250"}, [](auto& c, auto) { c.Rset(); }},
        {"Vrfy", "VRFY joe", {"250", "251 x"}, [](auto& c, auto) { c.Vrfy("joe"); }},
        {"Expn", "EXPN list", {"250"}, [](auto& c, auto) { c.Expn("list", nullptr); }},
        {"Help", "HELP", {"211", "214"}, [](auto& c, auto) { c.Help("", nullptr); }},
        {"Help", "HELP DATA", {"214"}, [](auto& c, auto) { c.Help("DATA", nullptr); }},
        {"Noop", "NOOP", {"250"}, [](auto& c, auto) { c.Noop(); }},
        {"Turn", "TURN", {"250"}, [](auto& c, auto) { c.Turn(); }},
        {"Quit", "QUIT", {"221"}, [](auto& c, auto) { c.Quit(); }},
        {"Ehlo", "EHLO a", {"250"}, [](auto& c, auto) { c.Ehlo("a", nullptr, "", "", ""); }},
    };
    testing::CheckCommands<EAbsSMTPClient>("220 mx", commands, "550 refused here", "250 next");
}

// Refusals other than a command's plain "no": each with its own tag.
TEST(SmtpClient, SpecialRefusalsCarryTheirOwnTags) {
    auto ehlo = [](const char* method) {
        return [method](Client& c) {
            TStrings ext;
            c.Ehlo("me", &ext, method, "u", "p");
        };
    };
    Script offerLogin = Talk("220 mx").Expect("EHLO me").SendLines({"250-mx", "250 AUTH LOGIN"});
    struct Case {
        Script script;
        std::function<void(Client&)> run;
        std::string message;
    };
    std::vector<Case> cases = {
        {Talk("220 mx", {{"MAIL FROM: <a@b>", "451 auth first"}}), [](auto& c) { c.Mail("a@b"); },
         "Smtp-Auth required. (Error=451 auth first)"},
        {Talk("220 mx", {{"DATA", "354 go"}}).ExpectBody().Send("554 spam"),
         [](auto& c) {
             c.Data();
             c.DataText({"x"}, false);
         },
         "Data: After transfer. (Error=554 spam)"},
        {offerLogin, ehlo("PLAIN"),
         "Auth-Login-Method not understand. (Error=PLAIN not supportet)"},
        {Talk("220 mx", {{"EHLO me", "250-mx\r\n250 AUTH PLAIN CRAM-MD5"}}), ehlo("LOGIN"),
         "Auth-Login-Method not understand. (Error=LOGIN not supportet)"}};
    // AUTH LOGIN refused at each of its three steps.
    std::string steps[] = {"AUTH LOGIN", Base64Encode("u"), Base64Encode("p")};
    for (int refusedAt = 0; refusedAt < 3; ++refusedAt) {
        Script script = offerLogin;
        for (int i = 0; i < refusedAt; ++i)
            script.Expect(steps[i]).Send("334 go on");
        script.Expect(steps[refusedAt]).Send("535 no " + std::to_string(refusedAt));
        cases.push_back({script, ehlo("LOGIN"),
                         "Auth-Login. (Error=535 no " + std::to_string(refusedAt) + ")"});
    }
    for (const auto& c : cases)
        Dialogue<TAbsSMTPClient>(c.script, [&](Client& client) {
            EXPECT_EQ(RaisedMessage<EAbsSMTPClient>([&] { c.run(client); }), c.message);
        });
}

TEST(SmtpClient, ExpnKeepsTheLastReplyLineAndHelpWhatFollowsAtOnce) {
    Script script = Talk("220 mx", {{"EXPN staff", "250-Ann <a@x>\r\n250 Bob <b@x>"}});
    script.Expect("HELP").SendLines({"214 commands:", "HELO MAIL"});
    Dialogue<TAbsSMTPClient>(script, [](Client& client) {
        TStrings lines;
        client.Expn("staff", &lines);
        EXPECT_EQ(lines, TStrings{"250 Bob <b@x>"});
        lines.clear();
        client.Help("", &lines);
        EXPECT_EQ(lines, (TStrings{"214 commands:", "HELO MAIL"}));
    });
}

TEST(SmtpClient, EhloLogsInOnlyWhenTheServerOffersExtensions) {
    Dialogue<TAbsSMTPClient>(Talk("220 mx", {{"EHLO me", "250 mx"}}), [](Client& client) {
        TStrings ext;
        client.Ehlo("me", &ext, "LOGIN", "user", "pw");
        EXPECT_TRUE(ext.empty());
    });
    // Credentials encode to lines longer than a reply may be; they go whole.
    std::string user = "user@example.org", pass(200, 'p');
    Script script = Talk("220 mx").Expect("EHLO me").SendLines(
        {"250-mx greets me", "250-SIZE 1000", "250 AUTH PLAIN login"});
    script.Expect("AUTH LOGIN").Send("334 VXNlcm5hbWU6").Expect("dXNlckBleGFtcGxlLm9yZw==");
    script.Send("334 UGFzc3dvcmQ6").Expect(Base64Encode(pass)).Send("235 2.7.0 Authentication ok");
    Dialogue<TAbsSMTPClient>(script, [&](Client& client) {
        TStrings ext;
        client.Ehlo("me", &ext, "AUTO", user, pass);
        EXPECT_EQ(ext, (TStrings{"SIZE 1000", "AUTH PLAIN login"}));
        EXPECT_EQ(client.ReplyCode, 235);
    });
}

TEST(SmtpClient, MessagesEndWithTheirDotStuffedOnlyWhenAsked) {
    Script script = Talk("220 mx");
    for (int message = 0; message < 3; ++message)
        script.Expect("DATA").Send("354 go").ExpectBody().Send("250 queued");
    std::string l300(300, 'l');
    std::string sent = Dialogue<TAbsSMTPClient>(script, [&](Client& client) {
        client.Data();
        client.DataText({"Subject: hi", "", "..stuffed already", "."}, false);
        client.Data();
        client.DataText({".a", "", ".", "b.", l300}, true);
        client.Data();
        client.SendRawLines({"part one"});
        client.SendRawLines({"part two"});
        client.EndData();
    });
    EXPECT_EQ(sent, "DATA\r\nSubject: hi\r\n\r\n..stuffed already\r\n..\r\n.\r\n"
                    "DATA\r\n..a\r\n\r\n..\r\nb.\r\n" +
                        l300 + "\r\n.\r\nDATA\r\npart one\r\npart two\r\n.\r\n");
}

TEST(SmtpClient, TSMTPClientGreetsWithHeloWhenEhloFailsAndQuitsOnDisconnect) {
    // With extensions listed and no method given, the AUTH check refuses and
    // the client greets again with HELO, keeping the extensions.
    for (const char* ehloReply : {"502 unknown", "250-mx\r\n250 8BITMIME"}) {
        ScriptServer server(
            Talk("220 mx",
                 {{"EHLO my.dom", ehloReply}, {"HELO my.dom", "250 hello"}, {"QUIT", "221 bye"}}));
        Logged<TSMTPClient> client;
        TStrings ext;
        client.Extensions = &ext;
        client.Service = server.PortText();
        client.Connect("127.0.0.1", "my.dom");
        EXPECT_EQ(client.Domain, "my.dom");
        EXPECT_EQ(ext, ehloReply[0] == '5' ? TStrings() : TStrings{"8BITMIME"});
        client.Disconnect();
        EXPECT_EQ(client.Domain, "");
        EXPECT_EQ(client.Socket->Handle, -1);
        EXPECT_TRUE(server.Passed()) << server.Report();
    }
}

} // namespace
} // namespace brix
