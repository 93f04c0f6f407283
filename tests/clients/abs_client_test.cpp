// The client base over loopback: reply reading with continuation lines,
// dot-terminated bodies, logging and the missing service.

#include "client_fixture.h"
#include "clients/abs_client.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Logged;
using testing::RaisedMessage;
using testing::Script;
using testing::ScriptServer;

TEST(ReplyCode, FirstThreeDigitsOrZero) {
    struct Case {
        const char* line;
        int code;
    } cases[] = {{"221-bye", 221}, {"+OK 2 320", 0}, {"25", 0},   {"2a0 x", 0},
                 {"2501 x", 0},    {"250x", 0},      {"250", 250}};
    for (const auto& c : cases)
        EXPECT_EQ(ReplyCodeOf(c.line), c.code) << c.line;
}

TEST(AbsClient, RepliesWithContinuationLinesAreReadAndLogged) {
    // Reply lines are short texts; the continuation lines collected stay whole.
    std::string longReply = "250 " + std::string(400, 'r'), longItem = "X-" + std::string(300, 'x');
    Script script = Script().SendLf("220 welcome").Expect("EHLO me").ByteByByte();
    script.SendLines({"250-first line", "250-" + longItem, "250 AUTH LOGIN"}).ByteByByte(false);
    ScriptServer server(script.Expect("GO").Send(longReply));
    Logged<TAbsClient> client;
    client.Open(server);
    EXPECT_EQ(client.Greeting, "220 welcome");
    EXPECT_EQ(client.ReplyCode, 220);
    EXPECT_EQ(client.Host, "127.0.0.1");
    TStrings lines;
    client.SendCommandLines("EHLO me", &lines);
    EXPECT_EQ(client.ReplyCode, 250);
    EXPECT_EQ(client.LastReply, "250 AUTH LOGIN");
    EXPECT_EQ(lines, (TStrings{longItem, "AUTH LOGIN"}));
    client.SendCommand("GO");
    EXPECT_EQ(client.LastReply, longReply.substr(0, 255));
    EXPECT_EQ(client.log,
              (std::vector<std::string>{">220 welcome", "<EHLO me", ">250-first line",
                                        (">250-" + longItem).substr(0, 255), ">250 AUTH LOGIN",
                                        "<GO", (">" + longReply).substr(0, 255)}));
}

TEST(AbsClient, BodiesKeepLongLinesUnstuffDotsAndEndAtTheirDot) {
    std::string l300(300, 'a'), l100k(100000, 'b');
    ScriptServer server(Script().Send("220 x").SendLines(
        {"..a", "..", "x", l300, l100k, ".", "dropped", "..", ".", "after"}));
    Logged<TAbsClient> client;
    client.Open(server);
    std::size_t logged = client.log.size();
    TStrings lines;
    client.ReadDataLines(&lines);
    EXPECT_EQ(lines, (TStrings{".a", ".", "x", l300, l100k}));
    EXPECT_EQ(client.log.size(), logged) << "body lines are not logged";
    client.ReadDataLines(nullptr);
    std::string next;
    client.Socket->ReadLn(next);
    EXPECT_EQ(next, "after");
}

TEST(AbsClient, ReplyOrBodyCutOffByThePeerRaises) {
    struct Case {
        const char* tail;
        bool body;
    } cases[] = {{"250-one\r\n250-tw", false}, {"line one\r\nline tw", true}};
    for (const auto& c : cases) {
        ScriptServer server(Script().Send("220 x").SendRaw(c.tail).Close());
        Logged<TAbsClient> client;
        client.Open(server);
        TStrings lines;
        EXPECT_EQ(RaisedMessage<EBufTCPClientSocket>(
                      [&] { c.body ? client.ReadDataLines(&lines) : client.GetResponse(); }),
                  "ReadLn. (Error=" + std::to_string(ECONNRESET) + ")")
            << c.tail;
    }
}

TEST(AbsClient, DisconnectForgetsTheService) {
    ScriptServer server(Script().Send("220 x"));
    Logged<TAbsClient> client;
    client.Open(server);
    client.Disconnect();
    EXPECT_EQ(RaisedMessage<EAbsClient>([&] { client.Connect("127.0.0.1"); }),
              "Connect: No service specified. (Error=)");
}

} // namespace
} // namespace brix
