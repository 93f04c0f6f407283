// The NNTP client against the scripted server: command lines byte for byte,
// refusal tags, GROUP's two answers, the date lines of NEWGROUPS/NEWNEWS and
// article transfer with dot-stuffing and the server's final verdict.

#include "client_fixture.h"
#include "clients/nntp_client.h"

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

LocalTime Date(int year = 2024) {
    LocalTime t;
    t.year = year;
    t.month = 3;
    t.day = 7;
    t.hour = 9;
    t.minute = 5;
    t.second = 1;
    return t;
}

TEST(NntpParse, DateLines) {
    EXPECT_EQ(FormatNewsDateTime(Date(2000)), "000307 090501");
    EXPECT_EQ(NewGroupsCommand(Date(), true, "de"), "NEWGROUPS 240307 090501 GMT <de>");
}

TEST(NntpClient, EveryCommandIsSentExactlyAndEveryRefusalNamesIt) {
    // clang-format off
    std::vector<testing::Command<TAbsNNTPClient>> commands = {
        {"ArticleById", "ARTICLE <x>", {"220"}, [](auto& c, auto l) { c.ArticleById("x", l); }, true},
        {"ArticleByNo", "ARTICLE 42", {"220"}, [](auto& c, auto l) { c.ArticleByNo(42, l); }, true},
        {"HeadById", "HEAD <x>", {"221"}, [](auto& c, auto l) { c.HeadById("x", l); }, true},
        {"HeadByNo", "HEAD 42", {"221"}, [](auto& c, auto l) { c.HeadByNo(42, l); }, true},
        {"BodyById", "BODY <x>", {"222"}, [](auto& c, auto l) { c.BodyById("x", l); }, true},
        {"BodyByNo", "BODY 42", {"222"}, [](auto& c, auto l) { c.BodyByNo(42, l); }, true},
        {"StatById", "STAT <x>", {"223"}, [](auto& c, auto) { c.StatById("x"); }},
        {"StatByNo", "STAT 42", {"223"}, [](auto& c, auto) { c.StatByNo(42); }},
        {"Help", "HELP", {"100"}, [](auto& c, auto l) { c.Help(l); }, true},
        {"Last", "LAST", {"223"}, [](auto& c, auto) { c.Last(); }},
        {"List", "LIST", {"215"}, [](auto& c, auto l) { c.List(l); }, true},
        {"NewGroups", "NEWGROUPS 240307 090501  ", {"231"},
         [](auto& c, auto l) { c.NewGroups(Date(), false, "", l); }, true},
        {"NewNews", "NEWNEWS de.* 240307 090501 GMT ", {"230"},
         [](auto& c, auto l) { c.NewNews("de.*", Date(), true, "", l); }, true},
        {"Next", "NEXT", {"223"}, [](auto& c, auto) { c.Next(); }},
        {"Quit", "QUIT", {"205"}, [](auto& c, auto) { c.Quit(); }},
        {"Slave", "SLAVE", {"202"}, [](auto& c, auto) { c.Slave(); }},
    };
    // clang-format on
    testing::CheckCommands<EAbsNNTPClient>("200 news", commands, "423 no such article", "500 ?");
}

TEST(NntpClient, GreetingDecidesPostingAllowed) {
    for (const char* greeting : {"200 posting ok", "201 no posting"}) {
        ScriptServer server(Talk(greeting, {{"QUIT", "205 bye"}}));
        Logged<TNNTPClient> client;
        client.Open(server);
        EXPECT_EQ(client.PostingAllowed, greeting[2] == '0');
        client.Disconnect();
        EXPECT_FALSE(client.PostingAllowed);
        EXPECT_TRUE(server.Passed()) << server.Report();
    }
}

TEST(NntpClient, GroupAnswersTrueFalseOrRaises) {
    Script script = Talk("200 news", {{"GROUP de.test", "211 3 1 3 de.test"},
                                      {"GROUP no.such", "411 no such group"},
                                      {"GROUP x", "480 auth required"}});
    Dialogue<TNNTPClient>(script, [](auto& client) {
        EXPECT_TRUE(client.Group("de.test"));
        EXPECT_EQ(client.CurrentGroup, "de.test");
        EXPECT_FALSE(client.Group("no.such"));
        EXPECT_EQ(client.CurrentGroup, "");
        EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.Group("x"); }),
                  "Group. (Error=480 auth required)");
    });
}

TEST(NntpClient, PostAndIHaveStuffDotsInPlace) {
    Script script = Talk("200 news", {{"POST", "340 send article"}});
    script.ExpectBody().Send("240 article posted").Expect("IHAVE <x@y>").Send("335 ok");
    script.ExpectBody().Send("235 thanks");
    std::string sent = Dialogue<TAbsNNTPClient>(script, [&](auto& client) {
        TStrings article = {"Subject: s", "", ".dot", "..two"};
        client.Post(article);
        EXPECT_EQ(article, (TStrings{"Subject: s", "", "..dot", "...two"}));
        TStrings offered = {"Message-ID: <x@y>", "."};
        client.IHave("x@y", offered);
    });
    EXPECT_EQ(sent, "POST\r\nSubject: s\r\n\r\n..dot\r\n...two\r\n.\r\n"
                    "IHAVE <x@y>\r\nMessage-ID: <x@y>\r\n..\r\n.\r\n");
}

TEST(NntpClient, RefusedArticleRaisesAfterTransfer) {
    Script script = Talk("200 news", {{"POST", "340 go"}});
    script.ExpectBody().Send("441 posting failed").Expect("IHAVE <a@b>").Send("335 send it");
    script.ExpectBody().Send("437 rejected").Expect("POST").Send("440 posting not allowed");
    Dialogue<TAbsNNTPClient>(script, [](auto& client) {
        TStrings article = {"Subject: s", "", "body"};
        EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.Post(article); }),
                  "Post: After transfer. (Error=441 posting failed)");
        EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.IHave("a@b", article); }),
                  "IHave: After transfer.. (Error=437 rejected)");
        EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { client.Post(article); }),
                  "Post. (Error=440 posting not allowed)");
    });
}

} // namespace
} // namespace brix
