// The news post job against the scripted server: the X-Newsreader rewrite,
// a refused article in the middle of the queue, and an abort. Connections
// cut inside a posting are the fault-injection tests' part.

#include "mail/mail_testing.h"
#include "news/news_spool.h"
#include "news/post_news.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Script;
using testing::ScriptServer;
using Lines = std::vector<std::string>;

// Queued (wire = false) or as sent after POST, up to its ".".
std::string Article(int n, bool wire) {
    const std::string via = wire ? ", via Brix/W v0.4.2l" : "";
    return "Newsgroups: de.test\r\nMessage-ID: <p" + std::to_string(n) +
           "@x>\r\nX-Newsreader: QV 3.1" + via + "\r\nX-Newsreader: 2" + via +
           "\r\n\r\nX-Newsreader: body\r\n" + (wire ? ".." : ".") + "dot\r\n" +
           (wire ? ".\r\n" : "");
}

class PostNewsTest : public testing::MailJobTest {
  protected:
    void Run(ScriptServer& server) {
        box.NNTPSERVER = "127.0.0.1";
        box.NNTPSPOOL = SpoolDir();
        box.NNTPPORT = server.PortText();
        PostNews(box);
    }
};

TEST_F(PostNewsTest, RefusedArticleStaysAndTheQueueGoesOn) {
    for (int n = 1; n <= 3; ++n)
        tree.Write("spool/n000" + std::to_string(n) + ".out", Article(n, false));
    tree.Write("e-news.idx", "<old@x>");
    box.NNTPREPLACEOWN = true;
    Script s = Script().Send("200 news");
    for (const char* verdict : {"240 ok", "441 refused", "240 ok"})
        s.Expect("POST").Send("340 send it").ExpectBody().Send(verdict);
    ScriptServer server(s.Expect("QUIT").Send("205 bye"));
    Run(server);

    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "POST\r\n" + Article(1, true) + "POST\r\n" + Article(2, true) +
                                     "POST\r\n" + Article(3, true) + "QUIT\r\n");
    EXPECT_EQ(Spool(), (Lines{"n0002.out"}));
    EXPECT_EQ(tree.Read("e-news.idx"), "<old@x><p1@x><p3@x>");
    const std::string requests = tree.Read("request.id");
    ASSERT_EQ(requests.size(), 2 * kRequestRecordSize);
    RequestRecord second =
        ParseRequestRecord(std::string_view(requests).substr(kRequestRecordSize));
    EXPECT_EQ(Lines({std::to_string(second.kind), std::to_string(second.state), second.box,
                     second.messageId}),
              Lines({"3", "0", "*", "<p3@x>"}));
    EXPECT_EQ(RunLog(), (Lines{"NNTP: 127.0.0.1:" + server.PortText(),
                               "3 articles to post, " +
                                   std::to_string(3 * Article(1, false).size()) + " bytes",
                               "Post: After transfer. (Error=441 refused)",
                               "News file " + SpoolDir() + "n0002.out kept for the next run",
                               "3 articles posted"}));
}

// ESC after the first accepted article: it is recorded and its file gone,
// the rest stays queued.
TEST_F(PostNewsTest, AbortComesAfterTheBookkeeping) {
    tree.Write("spool/n0001.out", Article(1, false));
    tree.Write("spool/n0002.out", Article(2, false));
    testing::EscAtCheck esc(3);
    ScriptServer server(Script()
                            .Send("200 news")
                            .Expect("POST")
                            .Send("340 go")
                            .ExpectBody()
                            .Send("240 ok")
                            .Expect("QUIT")
                            .Send("205 bye"));
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spool(), (Lines{"n0002.out"}));
    EXPECT_EQ(tree.Read("e-news.idx"), "<p1@x>");
    EXPECT_EQ(RunLog().back(), "aborted by user ...");
}

} // namespace
} // namespace brix
