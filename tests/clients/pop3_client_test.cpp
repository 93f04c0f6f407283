// The POP3 client against the scripted server: every command line as sent,
// every refusal with its tag, login variants, STAT parsing and APOP.

#include "client_fixture.h"
#include "clients/pop3_client.h"

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

const char* kGreeting = "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>";

TEST(Pop3Parse, ApopTimestampEndsAtItsClosingBracket) {
    EXPECT_EQ(APOPTimestampOf(kGreeting), "<1896.697170952@dbc.mtview.ca.us>");
    EXPECT_EQ(APOPTimestampOf("+OK hello <unclosed"), "<unclosed");
    EXPECT_EQ(APOPTimestampOf("+OK no stamp"), "+OK no stamp");
}

TEST(Pop3Parse, StatReplies) {
    struct Case {
        const char* reply;
        bool ok;
        std::int32_t count;
        std::int64_t size;
    } cases[] = {{"+OK 2 320 octets in mailbox", true, 2, 320},
                 {"+OK 1 5000000000", true, 1, 5000000000},
                 {"+OK 2", false, 0, 0},
                 {"+OKx 2 320", false, 0, 0},
                 {"+OK -2 3", false, 0, 0},
                 {"+OK 2147483648 3", false, 0, 0},
                 {"+OK 1 99999999999999999999", false, 0, 0},
                 {"-ERR 2 320", false, 0, 0}};
    for (const auto& c : cases) {
        std::int32_t count = -5;
        std::int64_t size = -5;
        EXPECT_EQ(ParseStatReply(c.reply, count, size), c.ok) << c.reply;
        EXPECT_EQ(count, c.count) << c.reply;
        EXPECT_EQ(size, c.size) << c.reply;
    }
}

TEST(Pop3Client, EveryCommandIsSentExactlyAndEveryRefusalNamesIt) {
    std::vector<testing::Command<TAbsPOP3Client>> commands = {
        {"User", "USER joe", {"+OK"}, [](auto& c, auto) { c.User("joe"); }},
        {"Pass", "PASS secret word", {"+OK"}, [](auto& c, auto) { c.Pass("secret word"); }},
        {"ListOneMsg", "LIST 3", {"+OK 3 120"}, [](auto& c, auto) { c.ListOneMsg(3); }},
        {"Dele", "DELE 12", {"+OK"}, [](auto& c, auto) { c.Dele(12); }},
        {"Noop", "NOOP", {"+OK"}, [](auto& c, auto) { c.Noop(); }},
        {"Rset", "RSET", {"+OK"}, [](auto& c, auto) { c.Rset(); }},
        {"Quit", "QUIT", {"+OK bye"}, [](auto& c, auto) { c.Quit(); }},
        {"UidlOneMsg", "UIDL 7", {"+OK 7 x"}, [](auto& c, auto) { c.UidlOneMsg(7); }},
        {"Apop", "APOP joe 0123abcd", {"+OK"}, [](auto& c, auto) { c.Apop("joe", "0123abcd"); }},
        {"List", "LIST", {"+OK"}, [](auto& c, auto l) { c.List(l); }, true},
        {"Retr", "RETR 1", {"+OK"}, [](auto& c, auto l) { c.Retr(1, l); }, true},
        {"Top", "TOP 2 0", {"+OK"}, [](auto& c, auto l) { c.Top(2, 0, l); }, true},
        {"Uidl", "UIDL", {"+OK"}, [](auto& c, auto l) { c.Uidl(l); }, true},
    };
    testing::CheckCommands<EAbsPOP3Client>(kGreeting, commands, "-ERR no way", "+OK next");
}

TEST(Pop3Client, DisconnectRaisesWhenQuitIsNotConfirmed) {
    ScriptServer server(Script().Send("+OK-ready").Expect("QUIT").Close());
    Logged<TPOP3Client> client;
    client.Open(server);
    EXPECT_EQ(RaisedMessage<EAbsPOP3Client>([&] { client.Disconnect(); }), "Quit. (Error=)");
    EXPECT_NE(client.Socket->Handle, -1);
}

TEST(Pop3Client, UnreadableStatRaisesAndLeavesZeros) {
    Dialogue<TAbsPOP3Client>(Talk(kGreeting, {{"STAT", "+OK many"}}), [](auto& client) {
        std::int32_t count = 5;
        std::int64_t size = 5;
        EXPECT_EQ(RaisedMessage<EAbsPOP3Client>([&] { client.Stat(count, size); }),
                  "Stat. (Error=+OK many)");
        EXPECT_EQ(count, 0);
        EXPECT_EQ(size, 0);
    });
}

TEST(Pop3Client, LoginSendsApopOrUserAndPassWhenGivenThenStat) {
    struct Case {
        const char* user;
        const char* pass;
        bool apop;
        std::vector<std::pair<std::string, std::string>> steps;
    } cases[] = {
        {"mrose", "tanstaaf", true, {{"APOP mrose c4c9334bac560ecc979e58001b3e22fb", "+OK"}}},
        {"", "pw", false, {{"PASS pw", "+OK"}}},
        {"joe", "", false, {{"USER joe", "+OK"}}}};
    for (auto& c : cases) {
        c.steps.insert(c.steps.end(), {{"STAT", "+OK 2 320 octets"}, {"QUIT", "+OK bye"}});
        ScriptServer server(Talk(kGreeting, c.steps));
        Logged<TPOP3Client> client;
        client.Service = server.PortText();
        client.Login("127.0.0.1", c.user, c.pass, c.apop);
        EXPECT_EQ(APOPTimestamp, "<1896.697170952@dbc.mtview.ca.us>");
        EXPECT_EQ(client.MsgCount, 2);
        EXPECT_EQ(client.MailboxSize, 320);
        client.Disconnect();
        EXPECT_EQ(client.Socket->Handle, -1);
        EXPECT_TRUE(server.Passed()) << c.user << "/" << c.pass << "\n" << server.Report();
    }
}

TEST(Pop3Client, RetrAndDeleDeletesOnlyWhenAsked) {
    Script script = Talk("+OK hi", {{"RETR 1", "+OK"}}).Send(".");
    script.Expect("RETR 2").SendLines({"+OK", "body", "."}).Expect("DELE 2").Send("+OK deleted");
    Dialogue<TPOP3Client>(script, [](auto& client) {
        TStrings lines;
        client.RetrAndDele(1, &lines);
        client.DeleteAfterRetr = true;
        client.RetrAndDele(2, &lines);
        EXPECT_EQ(lines, TStrings{"body"});
    });
}

} // namespace
} // namespace brix
