// The protocol clients against the scripted server, where the mail jobs'
// dialogues do not reach: reply and body reading, the NNTP client, STAT
// parsing, APOP, SMTP dot-stuffing, and MD5 and Base64.

#include "client_fixture.h"
#include "clients/base64.h"
#include "clients/md5.h"
#include "clients/nntp_client.h"
#include "clients/pop3_client.h"
#include "clients/smtp_client.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Dialogue;
using testing::Logged;
using testing::RaisedMessage;
using testing::Script;
using testing::ScriptServer;
using testing::Talk;

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

TEST(Pop3Client, StatRepliesAndApop) {
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
    // RFC 1939's example.
    ScriptServer server(Talk("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>",
                             {{"APOP mrose c4c9334bac560ecc979e58001b3e22fb", "+OK"},
                              {"STAT", "+OK 2 320"},
                              {"QUIT", "+OK bye"}}));
    Logged<TPOP3Client> client;
    client.Service = server.PortText();
    client.Login("127.0.0.1", "mrose", "tanstaaf", true);
    EXPECT_EQ(client.MsgCount, 2);
    client.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(SmtpClient, MessagesEndWithTheirDotStuffedOnlyWhenAsked) {
    Script script = Talk("220 mx");
    for (int message = 0; message < 3; ++message)
        script.Expect("DATA").Send("354 go").ExpectBody().Send("250 queued");
    std::string sent = Dialogue<TAbsSMTPClient>(script, [&](auto& client) {
        client.Data();
        client.DataText({"Subject: hi", "", "..stuffed already", "."}, false);
        client.Data();
        client.DataText({".a", "", ".", "b."}, true);
        client.Data();
        client.SendRawLines({"part one"});
        client.EndData();
    });
    EXPECT_EQ(sent, "DATA\r\nSubject: hi\r\n\r\n..stuffed already\r\n..\r\n.\r\n"
                    "DATA\r\n..a\r\n\r\n..\r\nb.\r\n.\r\nDATA\r\npart one\r\n.\r\n");
}

LocalTime Date() {
    LocalTime t;
    t.year = 2024;
    t.month = 3;
    t.day = 7;
    t.hour = 9;
    t.minute = 5;
    t.second = 1;
    return t;
}

TEST(NntpClient, GroupPostAndIHave) {
    Script script = Talk("201 no posting", {{"GROUP de.test", "211 3 1 3 de.test"},
                                            {"GROUP no.such", "411 no such group"},
                                            {"GROUP x", "480 auth required"},
                                            {"POST", "340 send article"}});
    script.ExpectBody().Send("240 article posted").Expect("IHAVE <x@y>").Send("335 ok");
    script.ExpectBody().Send("437 rejected").Expect("POST").Send("440 posting not allowed");
    std::string sent = Dialogue<TNNTPClient>(script, [&](auto& client) {
        EXPECT_EQ(NewGroupsCommand(Date(), true, "de"), "NEWGROUPS 240307 090501 GMT <de>");
        EXPECT_FALSE(client.PostingAllowed);
        EXPECT_TRUE(client.Group("de.test"));
        EXPECT_EQ(client.CurrentGroup, "de.test");
        EXPECT_FALSE(client.Group("no.such"));
        EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.Group("x"); }),
                  "Group. (Error=480 auth required)");
        TStrings article = {"Subject: s", "", ".dot", "..two"};
        client.Post(article);
        TStrings offered = {"Message-ID: <x@y>", "."};
        EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.IHave("x@y", offered); }),
                  "IHave: After transfer.. (Error=437 rejected)");
        EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.Post(article); }),
                  "Post. (Error=440 posting not allowed)");
    });
    EXPECT_NE(sent.find("POST\r\nSubject: s\r\n\r\n..dot\r\n...two\r\n.\r\n"
                        "IHAVE <x@y>\r\nMessage-ID: <x@y>\r\n..\r\n.\r\n"),
              std::string::npos)
        << sent;
}

TEST(Md5Base64, RfcVectors) {
    struct Case {
        const char* input;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DigestToHex(MD5String(c.input)), c.digest) << '"' << c.input << '"';
    EXPECT_EQ(DigestToHex(MD5String(std::string(1000000, 'a'))),
              "7707d6ae4e027c70eea2a935c2296f21");
    const char* encoded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (std::size_t n = 0; n < 7; ++n) {
        std::string plain = std::string("foobar").substr(0, n), back;
        EXPECT_EQ(Base64Encode(plain), encoded[n]) << plain;
        EXPECT_TRUE(Base64Decode(encoded[n], back)) << encoded[n];
        EXPECT_EQ(back, plain);
    }
    std::string back;
    for (const char* bad : {"Zg=", "Zm9v!A==", "=Zg="})
        EXPECT_FALSE(Base64Decode(bad, back)) << bad;
}

} // namespace
} // namespace brix
