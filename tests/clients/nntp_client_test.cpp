// The NNTP client against the scripted server: command lines byte for byte,
// refusal tags, GROUP's two answers, the date lines of NEWGROUPS/NEWNEWS and
// article transfer with dot-stuffing and the server's final verdict.

#include "client_fixture.h"
#include "clients/nntp_client.h"

#include <functional>
#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Logged;
using testing::RaisedMessage;
using testing::Script;
using testing::ScriptServer;

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

TEST(NntpParse, DateLines) {
    EXPECT_EQ(FormatNewsDateTime(Date()), "240307 090501");
    EXPECT_EQ(NewGroupsCommand(Date(), false, ""), "NEWGROUPS 240307 090501  ");
    EXPECT_EQ(NewGroupsCommand(Date(), true, ""), "NEWGROUPS 240307 090501 GMT ");
    EXPECT_EQ(NewGroupsCommand(Date(), true, "de"), "NEWGROUPS 240307 090501 GMT <de>");
    EXPECT_EQ(NewNewsCommand("comp.*", Date(), false, ""), "NEWNEWS comp.* 240307 090501  ");
    LocalTime y2k = Date();
    y2k.year = 2000;
    EXPECT_EQ(FormatNewsDateTime(y2k).substr(0, 2), "00");
}

struct CommandCase {
    const char* tag;
    const char* line;
    const char* code;
    bool body;
    std::function<void(TAbsNNTPClient&, TStrings*)> run;
};

std::vector<CommandCase> Commands() {
    return {
        {"ArticleById", "ARTICLE <a@b>", "220", true,
         [](TAbsNNTPClient& c, TStrings* l) { c.ArticleById("a@b", l); }},
        {"ArticleByNo", "ARTICLE 42", "220", true,
         [](TAbsNNTPClient& c, TStrings* l) { c.ArticleByNo(42, l); }},
        {"HeadById", "HEAD <a@b>", "221", true,
         [](TAbsNNTPClient& c, TStrings* l) { c.HeadById("a@b", l); }},
        {"HeadByNo", "HEAD 42", "221", true,
         [](TAbsNNTPClient& c, TStrings* l) { c.HeadByNo(42, l); }},
        {"BodyById", "BODY <a@b>", "222", true,
         [](TAbsNNTPClient& c, TStrings* l) { c.BodyById("a@b", l); }},
        {"BodyByNo", "BODY 42", "222", true,
         [](TAbsNNTPClient& c, TStrings* l) { c.BodyByNo(42, l); }},
        {"StatById", "STAT <a@b>", "223", false,
         [](TAbsNNTPClient& c, TStrings*) { c.StatById("a@b"); }},
        {"StatByNo", "STAT 42", "223", false, [](TAbsNNTPClient& c, TStrings*) { c.StatByNo(42); }},
        {"Help", "HELP", "100", true, [](TAbsNNTPClient& c, TStrings* l) { c.Help(l); }},
        {"Last", "LAST", "223", false, [](TAbsNNTPClient& c, TStrings*) { c.Last(); }},
        {"List", "LIST", "215", true, [](TAbsNNTPClient& c, TStrings* l) { c.List(l); }},
        {"NewGroups", "NEWGROUPS 240307 090501  ", "231", true,
         [](TAbsNNTPClient& c, TStrings* l) { c.NewGroups(Date(), false, "", l); }},
        {"NewNews", "NEWNEWS de.* 240307 090501 GMT ", "230", true,
         [](TAbsNNTPClient& c, TStrings* l) { c.NewNews("de.*", Date(), true, "", l); }},
        {"Next", "NEXT", "223", false, [](TAbsNNTPClient& c, TStrings*) { c.Next(); }},
        {"Quit", "QUIT", "205", false, [](TAbsNNTPClient& c, TStrings*) { c.Quit(); }},
        {"Slave", "SLAVE", "202", false, [](TAbsNNTPClient& c, TStrings*) { c.Slave(); }},
    };
}

TEST(NntpClient, EveryCommandIsSentExactlyAndReadsItsBody) {
    for (const auto& cmd : Commands()) {
        Script script;
        script.Send("200 news ready").Expect(cmd.line).Send(std::string(cmd.code) + " here");
        if (cmd.body) script.SendLines({"..first", "second", "."});
        ScriptServer server(script);
        Logged<TAbsNNTPClient> client;
        client.Open(server);
        TStrings lines;
        cmd.run(client, &lines);
        EXPECT_EQ(client.log[1], std::string("<") + cmd.line);
        if (cmd.body) {
            EXPECT_EQ(lines, (TStrings{".first", "second"})) << cmd.tag;
        }
        client.TAbsClient::Disconnect();
        EXPECT_TRUE(server.Passed()) << cmd.tag << "\n" << server.Report();
    }
}

TEST(NntpClient, EveryRefusalNamesTheCommandAndReadsNoBody) {
    for (const auto& cmd : Commands()) {
        ScriptServer server(Script()
                                .Send("200 news")
                                .Expect(cmd.line)
                                .Send("423 no such article")
                                .Expect("DATE")
                                .Send("111 20240307090501"));
        Logged<TAbsNNTPClient> client;
        client.Open(server);
        TStrings lines;
        EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { cmd.run(client, &lines); }),
                  std::string(cmd.tag) + ". (Error=423 no such article)");
        EXPECT_TRUE(lines.empty());
        // The connection is still in step: the next reply is the next command's.
        client.SendCommand("DATE");
        EXPECT_EQ(client.ReplyCode, 111);
        client.TAbsClient::Disconnect();
        EXPECT_TRUE(server.Passed()) << cmd.tag << "\n" << server.Report();
    }
}

TEST(NntpClient, GreetingDecidesPostingAllowed) {
    for (const char* greeting : {"200 posting ok", "201 no posting"}) {
        ScriptServer server(Script().Send(greeting).Expect("QUIT").Send("205 bye"));
        Logged<TNNTPClient> client;
        client.Open(server);
        EXPECT_EQ(client.PostingAllowed, greeting[2] == '0');
        client.Disconnect();
        EXPECT_FALSE(client.PostingAllowed);
        EXPECT_EQ(client.Socket->Handle, -1);
        EXPECT_TRUE(server.Passed()) << server.Report();
    }
    ScriptServer server(Script().Send("502 access denied"));
    Logged<TNNTPClient> client;
    client.Service = server.PortText();
    EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.Connect("127.0.0.1"); }),
              "Connect. (Error=502 access denied)");
}

TEST(NntpClient, GroupAnswersTrueFalseOrRaises) {
    ScriptServer server(Script()
                            .Send("200 news")
                            .Expect("GROUP de.test")
                            .Send("211 3 1 3 de.test")
                            .Expect("GROUP no.such")
                            .Send("411 no such group")
                            .Expect("GROUP x")
                            .Send("480 auth required"));
    Logged<TNNTPClient> client;
    client.Open(server);
    EXPECT_TRUE(client.Group("de.test"));
    EXPECT_EQ(client.CurrentGroup, "de.test");
    EXPECT_EQ(client.LastReply, "211 3 1 3 de.test");
    EXPECT_FALSE(client.Group("no.such"));
    EXPECT_EQ(client.CurrentGroup, "");
    EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.Group("x"); }),
              "Group. (Error=480 auth required)");
}

TEST(NntpClient, PostStuffsDotsInPlaceAndChecksTheVerdict) {
    std::string l300(300, 'p');
    ScriptServer server(Script()
                            .Send("200 news")
                            .Expect("POST")
                            .Send("340 send article")
                            .ExpectBody()
                            .Send("240 article posted"));
    Logged<TAbsNNTPClient> client;
    client.Open(server);
    TStrings article = {"Newsgroups: de.test", "Subject: s", "", ".dot", "..two", l300};
    std::size_t logged = client.log.size();
    client.Post(article);
    EXPECT_EQ(article[3], "..dot");
    EXPECT_EQ(article[4], "...two");
    EXPECT_EQ(
        std::vector<std::string>(client.log.begin() + static_cast<long>(logged), client.log.end()),
        (std::vector<std::string>{"<POST", ">340 send article", ">240 article posted"}));
    client.TAbsClient::Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "POST\r\nNewsgroups: de.test\r\nSubject: s\r\n\r\n..dot\r\n"
                                 "...two\r\n" +
                                     l300 + "\r\n.\r\n");
}

TEST(NntpClient, RefusedArticleRaisesAfterTransfer) {
    ScriptServer server(Script()
                            .Send("200 news")
                            .Expect("POST")
                            .Send("340 go")
                            .ExpectBody()
                            .Send("441 posting failed")
                            .Expect("IHAVE <a@b>")
                            .Send("335 send it")
                            .ExpectBody()
                            .Send("437 rejected")
                            .Expect("POST")
                            .Send("440 posting not allowed"));
    Logged<TAbsNNTPClient> client;
    client.Open(server);
    TStrings article = {"Subject: s", "", "body"};
    EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.Post(article); }),
              "Post: After transfer. (Error=441 posting failed)");
    EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.IHave("a@b", article); }),
              "IHave: After transfer.. (Error=437 rejected)");
    EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.Post(article); }),
              "Post. (Error=440 posting not allowed)");
    client.TAbsClient::Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(NntpClient, IHaveTransfersAndAccepts235) {
    ScriptServer server(Script()
                            .Send("200 news")
                            .Expect("IHAVE <x@y>")
                            .Send("335 ok")
                            .ExpectBody()
                            .Send("235 thanks"));
    Logged<TAbsNNTPClient> client;
    client.Open(server);
    TStrings article = {"Message-ID: <x@y>", "", "."};
    client.IHave("x@y", article);
    client.TAbsClient::Disconnect();
    EXPECT_EQ(server.Received(), "IHAVE <x@y>\r\nMessage-ID: <x@y>\r\n\r\n..\r\n.\r\n");
}

TEST(NntpClient, ArticleCutOffRaises) {
    ScriptServer server(Script()
                            .Send("200 news")
                            .Expect("ARTICLE 5")
                            .Send("220 5 <a@b>")
                            .SendRaw("Subject: x\r\n\r\nbo")
                            .Reset());
    Logged<TAbsNNTPClient> client;
    client.Open(server);
    TStrings lines;
    EXPECT_THROW(client.ArticleByNo(5, &lines), EsktException);
}

} // namespace
} // namespace brix
