// The POP3 client against the scripted server: every command line as sent,
// every refusal with its tag, login variants, STAT parsing and APOP.

#include "client_fixture.h"
#include "clients/md5.h"
#include "clients/pop3_client.h"

#include <functional>
#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Logged;
using testing::RaisedMessage;
using testing::Script;
using testing::ScriptServer;

const char* kGreeting = "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>";

TEST(Pop3Parse, ApopTimestampEndsAtItsClosingBracket) {
    EXPECT_EQ(APOPTimestampOf(kGreeting), "<1896.697170952@dbc.mtview.ca.us>");
    EXPECT_EQ(APOPTimestampOf("+OK <a@b> and more <c>"), "<a@b>");
    EXPECT_EQ(APOPTimestampOf("+OK hello <unclosed"), "<unclosed");
    EXPECT_EQ(APOPTimestampOf("+OK no stamp"), "+OK no stamp");
}

TEST(Pop3Parse, StatReplies) {
    struct Case {
        const char* reply;
        bool ok;
        std::int32_t count;
        std::int64_t size;
    } cases[] = {{"+OK 2 320", true, 2, 320},
                 {"+OK 2 320 octets in mailbox", true, 2, 320},
                 {"+OK  0   0", true, 0, 0},
                 {"+OK 1 5000000000", true, 1, 5000000000},
                 {"+OK 2", false, 0, 0},
                 {"+OK", false, 0, 0},
                 {"+OK x 3", false, 0, 0},
                 {"+OK 2 3x", false, 0, 0},
                 {"+OK -1 3", false, 0, 0},
                 {"+OK 2147483648 3", false, 0, 0},
                 {"+OK 1 99999999999999999999", false, 0, 0},
                 {"-ERR 2 320", false, 0, 0}};
    for (const auto& c : cases) {
        std::int32_t count = -5;
        std::int64_t size = -5;
        EXPECT_EQ(ParseStatReply(c.reply, count, size), c.ok) << c.reply;
        if (c.ok) {
            EXPECT_EQ(count, c.count) << c.reply;
            EXPECT_EQ(size, c.size) << c.reply;
        }
    }
}

TEST(Pop3Client, ConnectSetsTheTimestampAndRefusedGreetingRaises) {
    {
        ScriptServer server(Script().Send(kGreeting));
        Logged<TPOP3Client> client;
        client.Open(server);
        EXPECT_EQ(client.ReplyCode, POP3_OK);
        EXPECT_EQ(APOPTimestamp, "<1896.697170952@dbc.mtview.ca.us>");
    }
    ScriptServer server(Script().Send("-ERR go away"));
    Logged<TPOP3Client> client;
    client.Service = server.PortText();
    EXPECT_EQ(RaisedMessage<EAbsPOP3Client>([&] { client.Connect("127.0.0.1"); }),
              "Connect. (Error=-ERR go away)");
}

TEST(Pop3Client, OkReplyWithADashIsNotAContinuation) {
    ScriptServer server(Script().Send("+OK-ready").Expect("NOOP").Send("+OK"));
    Logged<TPOP3Client> client;
    client.Open(server);
    client.Noop();
    EXPECT_EQ(client.LastReply, "+OK");
}

struct CommandCase {
    const char* name;
    const char* line;
    std::function<void(TAbsPOP3Client&)> run;
};

std::vector<CommandCase> Commands() {
    return {
        {"User", "USER joe", [](TAbsPOP3Client& c) { c.User("joe"); }},
        {"Pass", "PASS secret word", [](TAbsPOP3Client& c) { c.Pass("secret word"); }},
        {"ListOneMsg", "LIST 3", [](TAbsPOP3Client& c) { c.ListOneMsg(3); }},
        {"Dele", "DELE 12", [](TAbsPOP3Client& c) { c.Dele(12); }},
        {"Noop", "NOOP", [](TAbsPOP3Client& c) { c.Noop(); }},
        {"Rset", "RSET", [](TAbsPOP3Client& c) { c.Rset(); }},
        {"Quit", "QUIT", [](TAbsPOP3Client& c) { c.Quit(); }},
        {"UidlOneMsg", "UIDL 7", [](TAbsPOP3Client& c) { c.UidlOneMsg(7); }},
        {"Apop", "APOP mrose c4c9334bac560ecc979e58001b3e22fb",
         [](TAbsPOP3Client& c) { c.Apop("mrose", "c4c9334bac560ecc979e58001b3e22fb"); }},
        {"List", "LIST", [](TAbsPOP3Client& c) { c.List(nullptr); }},
        {"Retr", "RETR 1", [](TAbsPOP3Client& c) { c.Retr(1, nullptr); }},
        {"Top", "TOP 2 0", [](TAbsPOP3Client& c) { c.Top(2, 0, nullptr); }},
        {"Uidl", "UIDL", [](TAbsPOP3Client& c) { c.Uidl(nullptr); }},
    };
}

TEST(Pop3Client, EveryCommandIsSentExactlyAndAcceptsOk) {
    for (const auto& cmd : Commands()) {
        bool body = std::string("List Retr Top Uidl").find(cmd.name) != std::string::npos;
        Script script;
        script.Send(kGreeting).Expect(cmd.line).Send("+OK sure");
        if (body) script.Send(".");
        ScriptServer server(script);
        Logged<TAbsPOP3Client> client;
        client.Open(server);
        cmd.run(client);
        EXPECT_EQ(client.LastReply, "+OK sure") << cmd.name;
        EXPECT_EQ(client.log[1], std::string("<") + cmd.line) << cmd.name;
        client.TAbsClient::Disconnect();
        EXPECT_TRUE(server.Passed()) << cmd.name << "\n" << server.Report();
    }
}

TEST(Pop3Client, EveryRefusalNamesTheCommand) {
    for (const auto& cmd : Commands()) {
        ScriptServer server(Script().Send(kGreeting).Expect(cmd.line).Send("-ERR no way"));
        Logged<TAbsPOP3Client> client;
        client.Open(server);
        EXPECT_EQ(RaisedMessage<EAbsPOP3Client>([&] { cmd.run(client); }),
                  std::string(cmd.name) + ". (Error=-ERR no way)");
        client.TAbsClient::Disconnect();
        EXPECT_TRUE(server.Passed()) << cmd.name << "\n" << server.Report();
    }
}

TEST(Pop3Client, QuitWithAnEmptyReplyRaises) {
    ScriptServer server(Script().Send(kGreeting).Expect("QUIT").Close());
    Logged<TAbsPOP3Client> client;
    client.Open(server);
    EXPECT_EQ(RaisedMessage<EAbsPOP3Client>([&] { client.Quit(); }), "Quit. (Error=)");
}

TEST(Pop3Client, StatParsesAndUnreadableStatRaises) {
    ScriptServer server(Script()
                            .Send(kGreeting)
                            .Expect("STAT")
                            .Send("+OK 2 320 octets")
                            .Expect("STAT")
                            .Send("+OK many"));
    Logged<TAbsPOP3Client> client;
    client.Open(server);
    std::int32_t count = 0;
    std::int64_t size = 0;
    client.Stat(count, size);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(size, 320);
    EXPECT_EQ(RaisedMessage<EAbsPOP3Client>([&] { client.Stat(count, size); }),
              "Stat. (Error=+OK many)");
    EXPECT_EQ(count, 0);
    EXPECT_EQ(size, 0);
}

TEST(Pop3Client, RetrKeepsLongLinesAndUnstuffs) {
    std::string l300(300, 'm'), l100k(100000, 'n');
    ScriptServer server(Script()
                            .Send(kGreeting)
                            .Expect("RETR 1")
                            .Send("+OK 100500 octets")
                            .SendLines({"Subject: x", "", l300, "..dot", l100k, "."}));
    Logged<TAbsPOP3Client> client;
    client.Open(server);
    TStrings lines;
    client.Retr(1, &lines);
    EXPECT_EQ(lines, (TStrings{"Subject: x", "", l300, ".dot", l100k}));
}

TEST(Pop3Client, RetrCutOffRaisesInsteadOfPassingAsWhole) {
    ScriptServer server(Script()
                            .Send(kGreeting)
                            .Expect("RETR 1")
                            .Send("+OK")
                            .SendRaw("Subject: x\r\n\r\nhal")
                            .Close());
    Logged<TAbsPOP3Client> client;
    client.Open(server);
    TStrings lines;
    EXPECT_THROW(client.Retr(1, &lines), EBufTCPClientSocket);
}

TEST(Pop3Client, LoginWithApopUsesTheRfc1939Digest) {
    ScriptServer server(Script()
                            .Send(kGreeting)
                            .Expect("APOP mrose c4c9334bac560ecc979e58001b3e22fb")
                            .Send("+OK mrose's maildrop has 2 messages (320 octets)")
                            .Expect("STAT")
                            .Send("+OK 2 320")
                            .Expect("QUIT")
                            .Send("+OK dewey POP3 server signing off"));
    Logged<TPOP3Client> client;
    client.Service = server.PortText();
    client.Login("127.0.0.1", "mrose", "tanstaaf", true);
    EXPECT_EQ(client.MsgCount, 2);
    EXPECT_EQ(client.MailboxSize, 320);
    client.Disconnect();
    EXPECT_EQ(client.MsgCount, 0);
    EXPECT_EQ(client.MailboxSize, 0);
    EXPECT_EQ(client.Socket->Handle, -1);
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(Pop3Client, LoginSendsUserAndPassOnlyWhenGiven) {
    struct Case {
        const char* user;
        const char* pass;
        std::vector<std::string> lines;
    } cases[] = {{"joe", "pw", {"USER joe", "PASS pw"}},
                 {"", "pw", {"PASS pw"}},
                 {"joe", "", {"USER joe"}},
                 {"", "", {}}};
    for (const auto& c : cases) {
        Script script;
        script.Send("+OK hi");
        for (const auto& l : c.lines)
            script.Expect(l).Send("+OK");
        script.Expect("STAT").Send("+OK 0 0");
        ScriptServer server(script);
        Logged<TPOP3Client> client;
        client.Service = server.PortText();
        client.Login("127.0.0.1", c.user, c.pass, false);
        client.TAbsClient::Disconnect();
        EXPECT_TRUE(server.Passed()) << c.user << "/" << c.pass << "\n" << server.Report();
    }
}

TEST(Pop3Client, RetrAndDeleDeletesOnlyWhenAsked) {
    ScriptServer server(Script()
                            .Send("+OK hi")
                            .Expect("RETR 1")
                            .Send("+OK")
                            .Send(".")
                            .Expect("RETR 2")
                            .Send("+OK")
                            .Send("body")
                            .Send(".")
                            .Expect("DELE 2")
                            .Send("+OK deleted"));
    Logged<TPOP3Client> client;
    client.Open(server);
    TStrings lines;
    client.RetrAndDele(1, &lines);
    client.DeleteAfterRetr = true;
    client.RetrAndDele(2, &lines);
    EXPECT_EQ(lines, TStrings{"body"});
    client.TAbsClient::Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(Pop3Client, RefusedQuitInDisconnectKeepsTheConnection) {
    ScriptServer server(Script().Send("+OK hi").Expect("QUIT").Send("-ERR not now"));
    Logged<TPOP3Client> client;
    client.Open(server);
    EXPECT_THROW(client.Disconnect(), EAbsPOP3Client);
    EXPECT_NE(client.Socket->Handle, -1);
}

} // namespace
} // namespace brix
