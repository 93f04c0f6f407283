// The news jobs of one box in one run of the real brix binary against a real
// INN 2 on loopback: the newsgroup list, posting, then fetching. Skipped when
// INN is not installed.

#include "news/news_spool.h"
#include "testing/inn_server.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>
#include <thread>

namespace brix {
namespace {

using testing::InnServer;

std::string Queued(const std::string& id) {
    return "From: Own <own@client.example>\r\nNewsgroups: de.test\r\nSubject: mine\r\n"
           "Message-ID: <" +
           id + ">\r\nX-Newsreader: QV 3.1\r\n\r\nX-Newsreader: body\r\n.dot\r\n";
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Every batch the runs wrote, one after the other.
std::string Batches(const testing::TempTree& t) {
    std::string all;
    for (int i = 0; i < 8; ++i)
        all += t.Read(BatchFileName("spool/", i));
    return all;
}

TEST(PostListInn, ListsPostsAndFetchesInOneRun) {
    if (std::string why = InnServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    InnServer inn;
    std::string why = inn.Start({"de.test"});
    ASSERT_TRUE(why.empty()) << why;

    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    const std::string box =
        "NNTPSERVER=127.0.0.1\nNNTPPORT=" + inn.ReaderPortText() + "\nNNTPLIST=J\nNNTPTIMEOUT=10\n";
    t.Write("BOX1.bfg", box);
    t.Write("BOX1.rc", "de.test 0\r\n");
    t.Write("spool/n0001.out", Queued("own1@client.example"));

    auto r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::string log = t.Read("qv-ppp.log");
    const std::string list = t.Read("BOX1.bl");
    EXPECT_EQ(list.rfind("!new_groups:", 0), 0u) << list;
    EXPECT_NE(list.find("\r\nde.test "), std::string::npos) << list;
    EXPECT_FALSE(t.Exists("spool/n0001.out")) << log;
    EXPECT_NE(log.find(" 1 articles posted\r\n"), std::string::npos) << log;
    // The own article is on the server and was skipped as a duplicate.
    EXPECT_NE(log.find(" total: 0 articles received, 1 articles skipped\r\n"), std::string::npos)
        << log << inn.Log();
    EXPECT_EQ(Batches(t), "");
    EXPECT_EQ(t.Read("e-news.idx"), "<own1@client.example>");

    // A group created since the marker; the own article comes back once,
    // marked as the answer to its request, with the rewritten header.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(inn.AddGroup("de.new"), "");
    t.Write("BOX1.bfg", box + "REPLACEOWN=J\n");
    t.Write("spool/n0002.out", Queued("own2@client.example"));
    r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    log = t.Read("qv-ppp.log");
    // The groups created in the second of the first marker come again
    // (NEWGROUPS counts that second in) and replace their lines.
    const std::string updated = t.Read("BOX1.bl");
    EXPECT_EQ(Count(updated, "\r\nde.new "), 1u) << updated;
    EXPECT_EQ(Count(updated, "\r\nde.test "), 1u) << updated;
    EXPECT_NE(updated.substr(0, 26), list.substr(0, 26));
    EXPECT_NE(log.find(" new newsgroups: "), std::string::npos) << log;
    const std::string batches = Batches(t);
    EXPECT_EQ(Count(batches, "Message-ID: <own2@client.example>\n"), 1u) << batches << log;
    EXPECT_EQ(Count(batches, "Message-ID: <own1@client.example>\n"), 0u) << batches;
    EXPECT_NE(batches.find("X-Newsreader: QV 3.1, via Brix/W v0.4.2l\n"), std::string::npos);
    EXPECT_NE(batches.find("\nX-QV-Mode: ReplaceOwn\n\nX-Newsreader: body\n.dot\n"),
              std::string::npos)
        << batches;
    const std::string requests = t.Read("request.id");
    ASSERT_EQ(requests.size(), kRequestRecordSize);
    EXPECT_EQ(requests.substr(0, 3), std::string("\x03\xff\x01*", 4).substr(0, 3));
}

} // namespace
} // namespace brix
