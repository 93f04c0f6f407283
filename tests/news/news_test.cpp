// The news spool and state files (batch names, a torn batch tail, the
// duplicate list and request records), then the post job against the
// scripted server: the X-Newsreader rewrite, a refused article in the middle
// of the queue, and an abort.
// Connections cut inside a posting are the fault-injection tests' part.

#include "mail/mail_testing.h"
#include "news/group_pointers.h"
#include "news/news_spool.h"
#include "news/post_news.h"
#include "testing/script_server.h"
#include "testing/settings_scope.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Script;
using testing::ScriptServer;
using Lines = std::vector<std::string>;

TEST(NewsSpool, BatchesAreNumberedInHexAndATornTailIsCutBackBeforeTheFirstAppend) {
    EXPECT_EQ(BatchFileName("sp/", 10), "sp/n000A.msg");
    EXPECT_EQ(BatchFileName("sp/", 65536), "sp/n10000.msg");
    const std::string whole = "#! rnews 2\na\n#! rnews 3\nbc\n";
    for (std::string tail : {"#! rnews 50\nhalf", "#! rne", "#! rnews x\n"})
        EXPECT_EQ(WholeEntriesLength(whole + tail), whole.size()) << tail;
    testing::TempTree tree;
    testing::SettingsScope settings(tree);
    tree.Write("n0000.msg", whole + "#! rnews 50\nhalf");
    BatchWriter writer;
    EXPECT_EQ(writer.Append(tree / "n0000.msg", {"z"}), 2);
    EXPECT_EQ(writer.Append(tree / "n0000.msg", {"y"}), 2);
    writer.Sync();
    EXPECT_EQ(tree.Read("n0000.msg"), whole + "#! rnews 2\nz\n#! rnews 2\ny\n");
    EXPECT_NE(tree.Read("qv-ppp.log").find("torn batch entry cut off"), std::string::npos);
}

TEST(NewsSpool, DuplicatesAreFoundInTheSetAndTrimmedOnlyWhenSaved) {
    NewsDupes dupes;
    dupes.SetText("12>x<ab>junk<cd>");
    EXPECT_TRUE(dupes.Contains("<ab>") && dupes.Contains("<cd>"));
    EXPECT_FALSE(dupes.Contains("") || dupes.Contains("<a"));
    dupes.Add("<four>");
    dupes.Add("<four>");
    dupes.Add("<seven12>");
    EXPECT_EQ(dupes.SavedText(1000), "x<ab>junk<cd><four><seven12>"); // never starts cut
    EXPECT_EQ(dupes.SavedText(10), "<seven12>");
    EXPECT_TRUE(dupes.Contains("<ab>"));
}

TEST(NewsSpool, RequestRecordsAreClampedAndATornOneIsNotAppendedTo) {
    std::string bytes = FormatRequestRecord({3, 7, "BOX1", "<id@x>"});
    ASSERT_EQ(bytes.size(), kRequestRecordSize);
    EXPECT_EQ(bytes.substr(0, 17), std::string("\x03\x07\x04"
                                               "BOX1\0\0\0\0\x06<id@x>",
                                               17));
    bytes[2] = '\xff'; // a length beyond its field is clamped to it
    EXPECT_EQ(ParseRequestRecord(bytes).box, std::string("BOX1\0\0\0\0", 8));
    testing::TempTree tree;
    tree.Write("request.id", bytes + "torn");
    AppendRequestRecord(tree / "request.id", {1, 0, "*", "other"});
    RequestFile file(tree / "request.id");
    ASSERT_EQ(file.Count(), 2);
    EXPECT_EQ(file.Read(1).messageId, "other");
}

// A pointer written back changes nothing else of its line, whatever the
// line's blanks and tabs (a line led by a tab once lost its "hdronly").
TEST(GroupPointers, OnlyThePointerChangesWhenALineIsWrittenBack) {
    for (auto [line, rebuilt] :
         {std::pair{"  de.a 5 hdronly  x\t", "de.a 9 hdronly  x"},
          std::pair{"\t 5 HDRONLY", "\t 9 HDRONLY"}, std::pair{"de.c 5", "de.c 9"}}) {
        GroupLine g = ParseGroupLine(line, "box.rc");
        g.pointer = 9;
        EXPECT_EQ(RebuildGroupLine(g), rebuilt);
        EXPECT_EQ(ParseGroupLine(RebuildGroupLine(g), "box.rc").headerOnly, g.headerOnly);
    }
}

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
    // Each accepted article waits for its return as a request record.
    EXPECT_EQ(tree.Read("request.id"), FormatRequestRecord({3, 0, "*", "<p1@x>"}) +
                                           FormatRequestRecord({3, 0, "*", "<p3@x>"}));
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
    Script s = Script().Send("200 news").Expect("POST").Send("340 go").ExpectBody();
    ScriptServer server(s.Send("240 ok").Expect("QUIT").Send("205 bye"));
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spool(), (Lines{"n0002.out"}));
    EXPECT_EQ(tree.Read("e-news.idx"), "<p1@x>");
    EXPECT_EQ(RunLog().back(), "aborted by user ...");
}

} // namespace
} // namespace brix
