// The protocol clients against the scripted server, where the jobs'
// dialogues do not reach: reply and body reading, and STAT parsing.

#include "client_fixture.h"
#include "clients/pop3_client.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Logged;
using testing::Script;
using testing::ScriptServer;

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

} // namespace
} // namespace brix
