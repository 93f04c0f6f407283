// The bundled loopback server, spoken to through the project's own clients:
// each test plays one table of commands against it and checks what the
// server keeps in its data directory.

#include "clients/base64.h"
#include "clients/md5.h"
#include "clients/nntp_client.h"
#include "clients/pop3_client.h"
#include "clients/smtp_client.h"
#include "loopback_server.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>
#include <thread>

namespace brix {
namespace {

using Rows = std::vector<std::pair<std::string, std::string>>; // command, reply prefix

class LoopbackServer : public ::testing::Test {
  protected:
    void SetUp() override {
        data.Write("users", "alice wonderland\n");
        data.Write("mail/alice/1000.a", "Subject: one\n\nfirst\n");
        data.Write("mail/alice/1001.b", "Subject: two\r\n\r\n.dot\r\n");
        data.Write("news/demo.a/1", "From: x@y\nSubject: s1\nMessage-ID: <1@y>\n\nbody\n");
        data.Write("news/demo.a/2", "From: x@y\nSubject: s2\nMessage-ID: <2@y>\nReferences: "
                                    "<1@y>\n\n.b1\nb2\n");
        data.MakeDir("news/demo.b");
        loopback::Options o;
        o.dir = data.Path();
        o.idle = std::chrono::seconds(0);
        server = std::make_unique<loopback::Server>(o);
        runner = std::thread([this] { server->Run(stop); });
    }
    void TearDown() override {
        stop = true;
        runner.join();
    }
    // Plays the rows on a connected client; the reply must begin with the
    // expected text.
    static void Play(TAbsClient& c, const Rows& rows) {
        for (const auto& [command, reply] : rows) {
            c.SendCommand(command);
            EXPECT_EQ(c.LastReply.substr(0, reply.size()), reply) << command;
        }
    }

    testing::TempTree data;
    std::unique_ptr<loopback::Server> server;
    std::atomic<bool> stop{false};
    std::thread runner;
};

TEST_F(LoopbackServer, Pop3ServesTheMailboxAndDeletesAtQuit) {
    TPOP3Client pop;
    pop.Service = std::to_string(server->Pop3Port());
    EXPECT_THROW(pop.Login("127.0.0.1", "alice", "wrong", true), EAbsPOP3Client);
    pop.TAbsClient::Disconnect();
    pop.Service = std::to_string(server->Pop3Port());
    pop.Login("127.0.0.1", "alice", "wonderland", true); // APOP
    EXPECT_EQ(pop.MsgCount, 2);
    EXPECT_EQ(pop.MailboxSize, 23 + 22); // octets with CR LF
    TStrings uidl, top, retr;
    pop.Uidl(&uidl);
    EXPECT_EQ(uidl, (TStrings{"1 1000.a", "2 1001.b"}));
    pop.Top(1, 0, &top);
    EXPECT_EQ(top, (TStrings{"Subject: one", ""}));
    pop.Retr(2, &retr);
    EXPECT_EQ(retr, (TStrings{"Subject: two", "", ".dot"}));
    Play(pop, {{"LIST 2", "+OK 2 22"},
               {"DELE 1", "+OK"},
               {"RETR 1", "-ERR"},
               {"STAT", "+OK 1 22"},
               {"RSET", "+OK"},
               {"STAT", "+OK 2 45"},
               {"TOP 2", "-ERR"},
               {"DELE 3", "-ERR"},
               {"FOO", "-ERR"},
               {"DELE 1", "+OK"}});
    pop.Disconnect(); // QUIT commits the deletion
    EXPECT_FALSE(data.Exists("mail/alice/1000.a"));
    EXPECT_TRUE(data.Exists("mail/alice/1001.b"));

    TPOP3Client plain; // USER/PASS, and a dropped connection deletes nothing
    plain.Service = std::to_string(server->Pop3Port());
    plain.Login("127.0.0.1", "alice", "wonderland", false);
    EXPECT_EQ(plain.MsgCount, 1);
    plain.Dele(1);
    plain.TAbsClient::Disconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(data.Exists("mail/alice/1001.b"));
}

TEST_F(LoopbackServer, SmtpAuthenticatesAndStoresEachMessageInTheSink) {
    TSMTPClient smtp;
    smtp.Service = std::to_string(server->SmtpPort());
    smtp.TAbsSMTPClient::Connect("127.0.0.1");
    Play(smtp, {{"MAIL FROM:<a@b>", "503"}, {"EHLO", "501"}});
    TStrings ext;
    EXPECT_THROW(smtp.Ehlo("me", &ext, "LOGIN", "alice", "wrong"), EAbsSMTPClient);
    EXPECT_EQ(smtp.LastReply.substr(0, 3), "535");
    ext.clear();
    smtp.Ehlo("me", &ext, "LOGIN", "alice", "wonderland");
    EXPECT_EQ(smtp.ReplyCode, 235);
    Play(smtp, {{"AUTH LOGIN", "503"},
                {"RCPT TO:<x@y>", "503"},
                {"DATA", "503"},
                {"MAIL FROM: <me@here>", "250"},
                {"MAIL FROM:<again@here>", "503"},
                {"RCPT TO:", "501"},
                {"VRFY x", "252"},
                {"BOGUS", "500"}});
    smtp.Rcpt("you@there");
    smtp.Rcpt("other@there");
    smtp.Data();
    smtp.DataText({"Subject: hi", "", ".leading dot", "."}, true);
    EXPECT_EQ(smtp.LastReply, "250 2.0.0 stored as sink/0001.eml");
    smtp.Disconnect();
    EXPECT_EQ(data.Read("sink/0001.eml"),
              "X-Envelope-From: <me@here>\nX-Envelope-To: <you@there>\n"
              "X-Envelope-To: <other@there>\nSubject: hi\n\n.leading dot\n.\n");
}

TEST_F(LoopbackServer, NntpServesGroupsAndStoresPosts) {
    TNNTPClient news;
    news.Service = std::to_string(server->NntpPort());
    news.Connect("127.0.0.1");
    EXPECT_TRUE(news.PostingAllowed);
    Play(news, {{"MODE READER", "200"},
                {"DATE", "111 20"},
                {"ARTICLE 1", "412"},
                {"XOVER 1-2", "412"},
                {"AUTHINFO PASS wonderland", "482"},
                {"AUTHINFO USER alice", "381"},
                {"AUTHINFO PASS wrong", "481"},
                {"AUTHINFO USER alice", "381"},
                {"AUTHINFO PASS wonderland", "281"},
                {"GROUP demo.b", "211 0 1 0 demo.b"},
                {"GROUP demo.a", "211 2 1 2 demo.a"},
                {"HEAD 3", "423"},
                {"ARTICLE <none@y>", "430"},
                {"STAT <2@y>", "223 0 <2@y>"},
                {"XOVER 3-", "420"},
                {"LIST NEWSGROUPS", "501"},
                {"NEWGROUPS 991231 235959 GMT ", "231"}});
    TStrings lines;
    news.ReadDataLines(&lines);
    EXPECT_EQ(lines.size(), 2u); // both groups are newer than 1999
    lines.clear();
    news.SendCommand("XOVER 2-");
    ASSERT_EQ(news.ReplyCode, 224);
    news.ReadDataLines(&lines);
    EXPECT_EQ(lines, (TStrings{"2\ts2\tx@y\t\t<2@y>\t<1@y>\t73\t2"}));
    lines.clear();
    news.HeadByNo(2, &lines);
    EXPECT_EQ(lines.back(), "References: <1@y>");
    lines.clear();
    news.BodyById("2@y", &lines);
    EXPECT_EQ(lines, (TStrings{".b1", "b2"}));

    TStrings article{"From: me@here",
                     "Newsgroups: demo.b, demo.a, nope",
                     "Subject: new",
                     "Message-ID: <p@here>",
                     "",
                     ".x"};
    TStrings again = article;
    news.Post(article);
    EXPECT_THROW(news.Post(again), EAbsNNTPClient); // the same Message-ID again
    EXPECT_EQ(news.LastReply, "441 duplicate article <p@here>");
    TStrings orphan{"From: me@here", "Newsgroups: nope", "Subject: s", "", "b"};
    EXPECT_THROW(news.Post(orphan), EAbsNNTPClient);
    lines.clear();
    news.List(&lines);
    EXPECT_EQ(lines, (TStrings{"demo.a 3 1 y", "demo.b 1 1 y"}));
    lines.clear();
    news.ArticleById("p@here", &lines);
    EXPECT_EQ(lines.back(), ".x");
    news.Disconnect();
    EXPECT_EQ(data.Read("news/demo.b/1"), data.Read("news/demo.a/3"));
}

TEST(LoopbackServerIdle, StopsWhenNoClientCameForTheIdleTime) {
    testing::TempTree data;
    loopback::Options o;
    o.dir = data.Path();
    o.idle = std::chrono::seconds(1);
    loopback::Server server(o);
    std::atomic<bool> stop{false};
    EXPECT_TRUE(server.Run(stop));
}

} // namespace
} // namespace brix
