// The news post job against the scripted server: queue order, the
// X-Newsreader rewrite, a refused article in the middle of the queue, and
// connections cut inside a posting.

#include "mail/mail_testing.h"
#include "news/news_spool.h"
#include "news/post_news.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace brix {
namespace {

using testing::Script;
using testing::ScriptServer;
using Lines = std::vector<std::string>;

std::string Article(int n) {
    std::string id = "<p" + std::to_string(n) + "@client.example>";
    return "Newsgroups: de.test\r\nMessage-ID: " + id + "\r\nX-Newsreader: QV 3.1\r\n" +
           "Subject: " + std::to_string(n) + "\r\nX-Newsreader: second\r\n\r\n" +
           "X-Newsreader: body line\r\n.dotted\r\n";
}

// The article as it goes over the wire, up to its ".".
std::string Wire(int n) {
    std::string id = "<p" + std::to_string(n) + "@client.example>";
    return "POST\r\nNewsgroups: de.test\r\nMessage-ID: " + id +
           "\r\nX-Newsreader: QV 3.1, via Brix/W v0.4.2l\r\nSubject: " + std::to_string(n) +
           "\r\nX-Newsreader: second, via Brix/W v0.4.2l\r\n\r\nX-Newsreader: body line\r\n"
           "..dotted\r\n.\r\n";
}

Script& Posting(Script& s, const std::string& verdict) {
    return s.Expect("POST").Send("340 send it").ExpectBody().Send(verdict);
}

class PostNewsTest : public testing::MailJobTest {
  protected:
    void SetUp() override {
        MailJobTest::SetUp();
        box.NNTPSERVER = "127.0.0.1";
        box.NNTPSPOOL = SpoolDir();
        box.NNTPTIMEOUT = 3;
    }
    void Run(ScriptServer& server) {
        box.NNTPPORT = server.PortText();
        PostNews(box);
    }
    std::vector<RequestRecord> Requests() const {
        std::string bytes = tree.Read("request.id");
        std::vector<RequestRecord> records;
        for (std::size_t at = 0; at + kRequestRecordSize <= bytes.size(); at += kRequestRecordSize)
            records.push_back(ParseRequestRecord(std::string_view(bytes).substr(at)));
        EXPECT_EQ(bytes.size() % kRequestRecordSize, 0u);
        return records;
    }
};

TEST_F(PostNewsTest, RefusedArticleStaysAndTheQueueGoesOn) {
    for (int n = 1; n <= 3; ++n)
        tree.Write("spool/n000" + std::to_string(n) + ".out", Article(n));
    tree.Write("e-news.idx", "<old@x>");
    box.NNTPREPLACEOWN = true;
    Script s = Script().Send("200 news");
    Posting(Posting(Posting(s, "240 ok"), "441 refused"), "240 ok").Expect("QUIT").Send("205 bye");
    ScriptServer server(s);
    Run(server);

    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), Wire(1) + Wire(2) + Wire(3) + "QUIT\r\n");
    EXPECT_EQ(Spool(), (Lines{"n0002.out"}));
    EXPECT_EQ(tree.Read("e-news.idx"), "<old@x><p1@client.example><p3@client.example>");
    const std::vector<RequestRecord> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const RequestRecord& r : requests)
        EXPECT_EQ(Lines({std::to_string(r.kind), std::to_string(r.state), r.box}),
                  Lines({"3", "0", "*"}));
    EXPECT_EQ(requests[1].messageId, "<p3@client.example>");
    const std::size_t total = 3 * Article(1).size();
    EXPECT_EQ(RunLog(), (Lines{"NNTP: 127.0.0.1:" + server.PortText(),
                               "3 articles to post, " + std::to_string(total) + " bytes",
                               "Post: After transfer. (Error=441 refused)",
                               "News file " + SpoolDir() + "n0002.out kept for the next run",
                               "3 articles posted"}));
}

// Only the server's 240 makes an article posted: a connection lost before
// it keeps the file and records nothing; one lost after it (before QUIT's
// reply) still deletes the file and records the article.
TEST_F(PostNewsTest, ConnectionCutKeepsTheFileUnlessAccepted) {
    struct {
        const char* name;
        Script script;
        bool posted;
    } cases[] = {
        {"after 340", Script().Send("200 news").Expect("POST").Send("340 send it").Close(), false},
        {"after the dot",
         Script().Send("200 news").Expect("POST").Send("340 send it").ExpectBody().Close(), false},
        {"after 240",
         Script()
             .Send("200 news")
             .Expect("POST")
             .Send("340 send it")
             .ExpectBody()
             .Send("240 ok")
             .Close(),
         true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        tree.Write("spool/n0001.out", Article(1));
        tree.Write("e-news.idx", "");
        ScriptServer server(c.script);
        Run(server);
        EXPECT_EQ(tree.Exists("spool/n0001.out"), !c.posted);
        EXPECT_EQ(tree.Read("e-news.idx"), c.posted ? "<p1@client.example>" : "");
        const Lines log = RunLog();
        ASSERT_FALSE(log.empty());
        EXPECT_TRUE(log.back().starts_with("Error (postnews): ")) << log.back();
        std::remove((tree / "qv-ppp.log").c_str());
    }
}

TEST_F(PostNewsTest, EmptySpoolConnectsNowhereAndLogsNothing) {
    box.NNTPPORT = "1";
    tree.Write("spool/n0001.msg", "fetched, not queued");
    PostNews(box);
    EXPECT_FALSE(tree.Exists("qv-ppp.log"));
    EXPECT_FALSE(tree.Exists("e-news.idx"));
}

} // namespace
} // namespace brix
