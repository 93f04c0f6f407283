// The news jobs of a box in one run of the real brix binary against a real
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
    return "From: <own@client.example>\r\nNewsgroups: de.test\r\nSubject: mine\r\nMessage-ID: <" +
           id + ">\r\nX-Newsreader: QV 3.1\r\n\r\n.dot\r\n";
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
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
        "NNTPSERVER=127.0.0.1\nNNTPPORT=" + inn.ReaderPortText() + "\nNNTPLIST=J\n";
    t.Write("BOX1.bfg", box);
    t.Write("BOX1.rc", "de.test 0\r\n");
    t.Write("spool/n0001.out", Queued("own1@client.example"));

    auto r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::string log = t.Read("qv-ppp.log");
    const std::string list = t.Read("BOX1.bl");
    EXPECT_EQ(list.rfind("!new_groups:", 0), 0u) << list;
    EXPECT_EQ(Count(list, "\r\nde.test "), 1u) << list;
    EXPECT_FALSE(t.Exists("spool/n0001.out")) << log;
    // Posted, then skipped by the fetch as a duplicate.
    EXPECT_EQ(Count(log, " 1 articles posted\r\n"), 1u) << log;
    EXPECT_EQ(Count(log, " total: 0 articles received, 1 articles skipped\r\n"), 1u) << log;
    EXPECT_FALSE(t.Exists("spool/n0000.msg"));

    // A new group since the marker (groups created in the marker's second
    // come again and replace their lines); the own article comes back once,
    // marked as the answer to its request, with the rewritten header.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(inn.AddGroup("de.new"), "");
    t.Write("BOX1.bfg", box + "REPLACEOWN=J\n");
    t.Write("spool/n0002.out", Queued("own2@client.example"));
    r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const std::string updated = t.Read("BOX1.bl");
    EXPECT_EQ(Count(updated, "\r\nde.new "), 1u) << updated;
    EXPECT_EQ(Count(updated, "\r\nde.test "), 1u) << updated;
    EXPECT_NE(updated.substr(0, 25), list.substr(0, 25));
    const std::string batches = t.Read("spool/n0000.msg") + t.Read("spool/n0001.msg");
    EXPECT_EQ(Count(batches, "\nMessage-ID: <own2@client.example>\n"), 1u) << batches;
    EXPECT_EQ(Count(batches, "own1@"), 0u) << batches;
    EXPECT_EQ(Count(batches, "\nX-Newsreader: QV 3.1, via Brix/W v0.4.2l\n"), 1u) << batches;
    EXPECT_EQ(Count(batches, "\nX-QV-Mode: ReplaceOwn\n\n.dot\n"), 1u) << batches;
    EXPECT_EQ(t.Read("request.id").substr(0, 3), "\x03\xff\x01");
}

} // namespace
} // namespace brix
