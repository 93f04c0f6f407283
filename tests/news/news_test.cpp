// The news side below the whole runs: the spool and state files (batch
// names, a torn batch tail, the duplicate list, request records, group
// pointers), then the post and fetch jobs against the scripted server: the
// X-Newsreader rewrite, a refused article in the middle of the queue, an
// abort; the range rule, header-only groups, refusals by their reach, scoring
// and the sender filter, the Message-ID requests. Connections cut inside a
// job, duplicates and the batches of a broken run are the break-point
// generator's part.

#include "clients/nntp_client.h"
#include "filter/pho.h"
#include "news/batch.h"
#include "news/dupes.h"
#include "news/group_pointers.h"
#include "news/post_news.h"
#include "news/request_file.h"
#include "platform/clock.h"
#include "platform/durable.h"
#include "testing/job_test.h"
#include "testing/real_servers.h"
#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <memory>
#include <set>

namespace brix {
namespace {

using namespace testing;

class NewsSpool : public MailJobTest {};

TEST_F(NewsSpool, BatchesAreNumberedInHexAndATornTailIsCutBackBeforeTheFirstAppend) {
    EXPECT_EQ(BatchFileName("sp/", 10), "sp/n000A.msg");
    EXPECT_EQ(BatchFileName("sp/", 65536), "sp/n10000.msg");
    const std::string whole = "#! rnews 2\na\n#! rnews 3\nbc\n";
    for (std::string tail : {"#! rnews 50\nhalf", "#! rne", "#! rnews x\n"})
        EXPECT_EQ(WholeEntriesLength(whole + tail), whole.size()) << tail;
    tree.Write("n0000.msg", whole + "#! rnews 50\nhalf");
    DataBeforeState written;
    BatchWriter writer(written);
    EXPECT_EQ(writer.Append(tree / "n0000.msg", {"z"}), 2);
    EXPECT_EQ(writer.Append(tree / "n0000.msg", {"y"}), 2);
    written.Flush();
    EXPECT_EQ(tree.Read("n0000.msg"), whole + "#! rnews 2\nz\n#! rnews 2\ny\n");
    EXPECT_NE(tree.Read("qv-ppp.log").find("torn batch entry cut off"), std::string::npos);
}

TEST_F(NewsSpool, DuplicatesAreFoundInTheSetAndTrimmedOnlyWhenSaved) {
    tree.Write("e-news.idx", "12>x<ab>junk<cd>");
    IdSet dupes = LoadDupes(tree / "e-news.idx");
    EXPECT_TRUE(dupes.Contains("<ab>") && dupes.Contains("<cd>"));
    EXPECT_FALSE(dupes.Contains("") || dupes.Contains("<a"));
    dupes.Add("<four>");
    dupes.Add("<four>");
    dupes.Add("<seven12>");
    EXPECT_EQ(dupes.Text(1000), "x<ab>junk<cd><four><seven12>"); // never starts cut
    SaveDupes(tree / "e-news.idx", dupes, 10);
    EXPECT_EQ(tree.Read("e-news.idx"), "<seven12>");
    EXPECT_TRUE(dupes.Contains("<ab>"));
    // An id without brackets (a broken header) is still known after a reload.
    dupes.Add("bare@x");
    SaveDupes(tree / "e-news.idx", dupes, 1000);
    dupes = LoadDupes(tree / "e-news.idx");
    EXPECT_TRUE(dupes.Contains("bare@x") && dupes.Contains("<seven12>"));
}

TEST_F(NewsSpool, RequestRecordsAreClampedAndATornOneIsNotAppendedTo) {
    std::string bytes = FormatRequestRecord({3, 7, "BOX1", "<id@x>"});
    ASSERT_EQ(bytes.size(), kRequestRecordSize);
    EXPECT_EQ(bytes.substr(0, 17), std::string("\x03\x07\x04"
                                               "BOX1\0\0\0\0\x06<id@x>",
                                               17));
    bytes[2] = '\xff'; // a length beyond its field is clamped to it
    EXPECT_EQ(ParseRequestRecord(bytes).box, std::string("BOX1\0\0\0\0", 8));
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
          std::pair{"\t 5 HDRONLY", "\t 9 HDRONLY"}, std::pair{"de.c 5", "de.c 9"},
          std::pair{"07 5 HDRONLY\t\t", "07 9 HDRONLY"}}) { // found by the fuzz target
        GroupLine g = ParseGroupLine(line, "box.rc");
        g.pointer = 9;
        EXPECT_EQ(RebuildGroupLine(g), rebuilt);
        EXPECT_EQ(ParseGroupLine(RebuildGroupLine(g), "box.rc").headerOnly, g.headerOnly);
    }
}

// RFC 3977 section 7.3: nothing after the last word.
TEST(NewsgroupList, TheNewGroupsLineEndsWithItsLastWord) {
    const LocalTime t{2024, 1, 2, 3, 4, 5};
    EXPECT_EQ(NewGroupsCommand(t, true, ""), "NEWGROUPS 240102 030405 GMT");
    EXPECT_EQ(NewGroupsCommand(t, false, ""), "NEWGROUPS 240102 030405");
    EXPECT_EQ(NewGroupsCommand(t, false, "de"), "NEWGROUPS 240102 030405 <de>");
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
                               "Error (postnews): Post: After transfer. (Error=441 refused)",
                               "News file " + SpoolDir() + "n0002.out kept for the next run",
                               "2 articles posted"}));
}

// The request of an accepted article is written before its file goes: when
// it cannot be written, the file stays with its mark, and the next run asks
// the server (STAT) instead of posting it a second time.
TEST_F(PostNewsTest, AFailedRequestKeepsTheFileAndTheNextRunAsksBeforePosting) {
    tree.Write("spool/n0001.out", Article(1, false));
    tree.MakeDir("request.id");
    box.NNTPREPLACEOWN = true;
    {
        Script s = Script().Send("200 news").Expect("POST").Send("340 go").ExpectBody();
        ScriptServer server(s.Send("240 ok").Expect("QUIT").Send("205 bye"));
        Run(server);
        // The job's error, naming the file; the run goes on.
        EXPECT_NE(RunLog().back().find("Error (postnews): "), std::string::npos) << RunLog().back();
        EXPECT_NE(RunLog().back().find("request.id"), std::string::npos) << RunLog().back();
    }
    EXPECT_EQ(Spool(), (Lines{"n0001.out", "n0001.out.sent"}));
    std::filesystem::remove(tree / "request.id");
    Script s = Script().Send("200 news").Expect("STAT <p1@x>").Send("223 0 <p1@x>");
    ScriptServer server(s.Expect("QUIT").Send("205 bye"));
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_TRUE(Spool().empty());
    EXPECT_EQ(tree.Read("request.id"), FormatRequestRecord({3, 0, "*", "<p1@x>"}));
    EXPECT_EQ(tree.Read("e-news.idx"), "<p1@x>");
}

// ---------------------------------------------------------------- fetch

TEST(NewsRangeRule, PointerFitsTheGroup) {
    struct {
        std::int64_t p, last, newMax;
        bool rescan;
        std::int64_t pointer;
        bool fetch;
    } rows[] = {
        {-50, 1000, 2500, false, 950, true},
        {5000, 1000, 2500, false, 1000, false},
        {0, 1000, 0, false, 1000, false},
        {10, 1000, 2500, true, 1000, false},
        {-5000, 1000, 2500, false, 0, true},
        {0, 1000, 100, false, 900, true},
        {1000, 1000, 2500, false, 1000, false},
        {8999999999, 9000000005, 2500, false, 8999999999, true},
    };
    for (const auto& r : rows) {
        NewsRange range = GroupRange(r.p, r.last, r.newMax, r.rescan);
        EXPECT_EQ(range.pointer, r.pointer) << r.p << " " << r.last;
        EXPECT_EQ(range.fetch, r.fetch) << r.p << " " << r.last;
    }
}

Script& Quit(Script& s) {
    return s.Expect("QUIT").Send("205 bye");
}

Script& Group(Script& s, const std::string& name, int first, int last) {
    return s.Expect("GROUP " + name)
        .Send("211 " + std::to_string(last - first + 1) + " " + std::to_string(first) + " " +
              std::to_string(last) + " " + name);
}

Script& Xover(Script& s, const std::string& range, const std::vector<int>& numbers) {
    Lines lines;
    for (int n : numbers)
        lines.push_back(OverviewLine(n));
    return s.Expect("XOVER " + range).SendData("224 overview", lines);
}

TEST_F(NewsJobTest, HeaderOnlyFromOverviewAndRefusalsOfOneGroup) {
    Rc("# keep me\nde.hdr    0 hdronly\nde.closed 5\nde.gone 7\nde.plain -2 x\n");
    Script s = NewsReady();
    Group(s, "de.hdr", 1, 1);
    Xover(s, "1", {1});
    s.Expect("GROUP de.closed").Send("502 access denied");
    s.Expect("GROUP de.gone").Send("411 no such group");
    Group(s, "de.plain", 1, 9);
    s.Expect("XOVER 8-9").Send("501 not supported");
    // Without an overview the header comes with HEAD; an article gone is
    // passed over.
    const Lines article = NewsArticle(8);
    s.Expect("HEAD 8").SendData("221", Lines(article.begin(), article.begin() + 4));
    s.Expect("ARTICLE 8").SendData("220", article);
    s.Expect("HEAD 9").Send("423 no such article");
    Run(Quit(s));
    EXPECT_EQ(
        Batch("n0000.msg"),
        Entries({{"X-Message-Number: 1", "Newsgroups: de.hdr", "Subject: s1",
                  "From: poster@example.org", "Date: Today", "Message-ID: <1@x>",
                  "References: ", "X-Messagelength: 99", "Lines: 0", "X-QV-Mode: HdrOnly", ""}}));
    EXPECT_EQ(Batch("n0001.msg"), Entries({article}));
    EXPECT_EQ(Rc(),
              "# keep me\r\nde.hdr 1 hdronly\r\nde.closed 5\r\nde.gone 7\r\nde.plain 9 x\r\n");
    EXPECT_TRUE(Logged("Group. (Error=502 access denied)"));
    EXPECT_TRUE(Logged("no such newsgroup: de.gone"));
    EXPECT_TRUE(Logged("HeadByNo. (Error=423 no such article)"));
    EXPECT_TRUE(Logged("1 articles received (0 CPS)"));
}

TEST_F(NewsJobTest, ScoringKillsOrTakesHeadersAndTheSenderFilterTakesHeaders) {
    tbrix_scorefile score;
    ASSERT_FALSE(score.Parse({"-9999 -100 KILL", "50 9999 HDRONLY", "[*]", "SCORE -100",
                              "From=*spammer*", "SCORE 60", "Subject=*hot*"},
                             Today()));
    tree.Write("pho.txt", "brix-pho: pho@example.org\n");
    ASSERT_TRUE(PhoOpen(tree / "pho.txt"));
    PhoLoad();
    auto head = [](int n, const std::string& from, const std::string& subject) {
        return Lines{"Newsgroups: de.test", "From: " + from, "Subject: " + subject,
                     "Message-ID: <" + std::to_string(n) + "@x>", "Lines: 1"};
    };
    Rc("de.test 0\n");
    Script s = NewsReady();
    Group(s, "de.test", 1, 4);
    Xover(s, "1-4", {1, 2, 3, 4});
    s.Expect("HEAD 1").SendData("221 1", head(1, "spammer@x", "buy"));
    s.Expect("HEAD 2").SendData("221 2", head(2, "a@x", "hot stuff"));
    s.Expect("HEAD 3").SendData("221 3", head(3, "Pho <pho@example.org>", "plain"));
    s.Expect("HEAD 4").SendData("221 4", NewsArticle(4));
    s.Expect("ARTICLE 4").SendData("220 4", NewsArticle(4));
    Run(Quit(s), true, &score);
    PhoFree();

    Lines two = head(2, "a@x", "hot stuff");
    two[4] = "Lines: 0";
    two.insert(two.end(), {"X-QV-Mode: HdrOnly", "X-Score: 60", ""});
    Lines three = head(3, "Pho <pho@example.org>", "plain");
    three[4] = "Lines: 0";
    three.insert(three.end(), {"X-QV-Mode: HdrOnly", "X-Score: 0", ""});
    Lines four = NewsArticle(4);
    four.insert(four.begin() + 4, "X-Score: 0");
    EXPECT_EQ(Batch(), Entries({two, three, four}));
    EXPECT_TRUE(Logged("PHO-Filter matched: Pho <pho@example.org>"));
    EXPECT_TRUE(Logged("total: 3 articles received, 1 articles skipped"));
    EXPECT_EQ(Rc(), "de.test 4\r\n");
}

TEST_F(NewsJobTest, ABrokenGroupLineEndsTheJobKeepingEarlierPointers) {
    Rc("de.a    0\nde.bad\nde.c 0\n");
    AppendRequestRecord(tree / "request.id", {1, 0, "*", "<r@x>"});
    Script s = NewsReady();
    s.Expect("GROUP de.a").Send("411 no such group");
    Run(Quit(s));
    EXPECT_EQ(Rc(), "de.a 0\r\nde.bad\r\nde.c 0\r\n");
    EXPECT_TRUE(Logged("Error (getnews): Error in RC-file BOX1.rc: de.bad"));
    EXPECT_TRUE(Logged("total: 0 articles received, 0 articles skipped"));
}

// A 423 names no article: the pass-over moves the pointer only once a later
// answer shows the stream in step, here the next GROUP answer naming its
// group (one that names none proves nothing), before the connection is cut.
TEST_F(NewsJobTest, APassOverCountsOnceAnAnswerShowsTheStreamInStep) {
    for (std::string named : {" de.b", ""}) {
        SCOPED_TRACE(named);
        std::filesystem::remove(tree / "e-news.idx");
        std::filesystem::remove(tree / "spool/n0000.msg");
        Rc("de.a 0\nde.b 0\n");
        Script s = NewsReady();
        Group(s, "de.a", 1, 2);
        Xover(s, "1-2", {1, 2});
        s.Expect("ARTICLE 1").SendData("220 1 <1@x>", NewsArticle(1));
        s.Expect("ARTICLE 2").Send("423 no such article");
        s.Expect("GROUP de.b").Send("211 1 1 1" + named).Expect("XOVER 1").Close();
        Run(s);
        EXPECT_EQ(Rc(), "de.a " + std::string(named.empty() ? "1" : "2") + "\r\nde.b 0\r\n");
    }
}

// A killed run wrote article 1 but not the state: its batch tells.
TEST_F(NewsJobTest, ArticlesOfABatchLeftBehindAreNotFetchedAgain) {
    Rc("de.a 0\n");
    tree.Write("spool/n0000.msg", Entries({NewsArticle(1)}));
    Script s = NewsReady();
    Group(s, "de.a", 1, 2);
    Xover(s, "1-2", {1, 2});
    s.Expect("ARTICLE 2").SendData("220 2 <2@x>", NewsArticle(2));
    Run(Quit(s));
    EXPECT_EQ(Batch(), Entries({NewsArticle(1), NewsArticle(2)}));
    EXPECT_EQ(Dupes(), "<1@x><2@x>");
    EXPECT_EQ(Rc(), "de.a 2\r\n");
    EXPECT_TRUE(Logged("1 Message-IDs of earlier batches added to e-news.idx"));
}

// A file that is there but cannot be read is no missing one.
TEST_F(NewsJobTest, AnRcFileThatCannotBeReadEndsTheJob) {
    tree.MakeDir("BOX1.rc");
    Script s = NewsReady();
    Run(Quit(s));
    EXPECT_TRUE(Logged("Error (getnews): Cannot read the RC-file: I/O error 21: " +
                       tree / "BOX1.rc" + ": Is a directory"));
}

TEST_F(NewsJobTest, RequestsMoveTheirStatesAndLeaveOthersAlone) {
    const std::vector<RequestRecord> records = {
        {1, 0, "OTHER", "<o@x>"},      {2, 255, "box1", "<done@x>"},  {0, 0, "*", "<k@x>"},
        {1, 0, "box1", "<missing@x>"}, {3, 5, "*", "own@x"},          {1, 0, "BOX1", "<a b>"},
        {1, 198, "BOX1", "<last@x>"},  {1, 199, "BOX1", "<given@x>"},
    };
    for (const RequestRecord& r : records)
        AppendRequestRecord(tree / "request.id", r);
    Lines own = {"From: me@x", "Newsgroups: de.test", "Message-ID: <own@x>", "", "mine"};
    Script s = NewsReady();
    s.Expect("ARTICLE <missing@x>").Send("430 no such article");
    s.Expect("ARTICLE <own@x>").SendData("220 0 <own@x>", own);
    // A state changes on disk only once the batch of its article is there:
    // not while the job is still fetching.
    int onDisk = -1;
    s.Answer([&](const std::string& line, std::string& reply) {
        if (line == "QUIT") return reply = "205 bye\r\n", false;
        onDisk = RequestFile(tree / "request.id").Read(4).state;
        reply = "430 no such article\r\n";
        return true;
    });
    Run(s);
    EXPECT_EQ(onDisk, 5);

    RequestFile file(tree / "request.id");
    std::vector<int> states;
    for (std::int64_t i = 0; i < file.Count(); ++i)
        states.push_back(file.Read(i).state);
    EXPECT_EQ(states, (std::vector<int>{0, 255, 0, 1, 255, 1, 199, 199}));
    own.insert(own.begin() + 3, "X-QV-Mode: ReplaceOwn");
    EXPECT_EQ(Batch(), Entries({own}));
    EXPECT_EQ(Dupes(), "<own@x>");
    EXPECT_TRUE(Logged("RC-file not found"));
    EXPECT_TRUE(Logged("fetching 8 articles by Message-ID"));
    EXPECT_TRUE(Logged("1 articles received"));
}

// ------------------------------------------- groups asked for ahead

// What a fetch left: the batches, the pointers, the duplicate list, the run
// log; and what the server heard.
struct Fetched {
    std::string batches, rc, dupes;
    std::vector<std::string> log;
    std::string heard;
};

class GroupsAhead : public NewsJobTest {
  protected:
    Fetched Fetch(const NewsStore& store, const std::string& rc, bool ahead,
                  tbrix_scorefile* score = nullptr) {
        Clear();
        Rc(rc);
        NewsGroupsAhead() = ahead;
        ScriptServer server(Script().Send("200 news").Answer(store.Answerer()));
        box.NNTPPORT = server.PortText();
        GetNews(box, false, score);
        NewsGroupsAhead() = true;
        return Result(server.Received());
    }
    // What a fetch left, without the log's server line (each server listens
    // on a port of its own).
    Fetched Result(std::string heard) {
        Fetched f;
        for (const std::string& name : Spool())
            f.batches += name + ":\n" + Batch(name);
        f.rc = Rc();
        f.dupes = Dupes();
        for (const std::string& line : RunLog())
            if (!line.starts_with("NNTP: ")) f.log.push_back(line);
        f.heard = std::move(heard);
        return f;
    }
    void Clear() {
        for (const std::string& name : Spool())
            std::filesystem::remove(tree / ("spool/" + name));
        std::filesystem::remove(tree / "e-news.idx");
        std::filesystem::remove(tree / "qv-ppp.log");
        std::filesystem::remove(tree / "BOX1.log");
        NewsBatchCounter() = 0;
        // An article taken in an earlier run.
        tree.Write("e-news.idx", "<22@x>");
    }
};

// Each server state fetched with the groups asked for ahead, and one group
// at a time (on the same pipelining server, and on one that does not
// pipeline): the batches, the pointer file, the duplicate list and the run
// log are the same byte for byte.
TEST_F(GroupsAhead, TheResultIsThatOfOneGroupAtATime) {
    NewsStore base;
    // de.a, de.c and de.f share a crosspost (id 2); de.b has an article gone since
    // its overview, the last one (its pass-over is confirmed only by the
    // next group's answer); de.a holds an id twice.
    base.groups = {
        {"de.a", {{1, 1}, {2, 2}, {3, 3}, {4, 1}}},
        {"de.b", {{10, 10}, {11, 11}, {12, 12, true}}},
        {"de.c", {{5, 2}, {6, 6}, {7, 7}}},
        {"de.d", {{100, 20}, {101, 21}, {102, 22}, {103, 23}}},
        {"de.e", {{1, 30}, {2, 31}}},
        {"de.f", {{1, 40}, {2, 41}, {3, 42}, {4, 2}}},
    };
    const std::string rc = "# mine\nde.a 0\nde.b 9 x\nde.missing 4\nde.c 4 hdronly\n"
                           "de.d -3\nde.e 7\nde.f 1\n";
    NewsStore noOverview = base;
    noOverview.refuseXover = {"de.c", "de.f"};
    NewsStore refused = base;
    refused.refuseGroup = {"de.b"};
    tbrix_scorefile score;
    ASSERT_FALSE(score.Parse({"-9999 -100 KILL", "[*]", "SCORE -100", "From=*spammer*"}, Today()));
    struct {
        const char* name;
        const NewsStore& store;
        std::int64_t newMax;
        bool rescan;
        tbrix_scorefile* score;
    } rows[] = {
        {"plain", base, 2500, false, nullptr},
        {"no overview in two groups", noOverview, 2500, false, nullptr},
        {"a group refused", refused, 2500, false, nullptr},
        {"NNTPNEWMAX 2", base, 2, false, nullptr},
        {"NNTPRESCAN", base, 2500, true, nullptr},
        {"scorefile", base, 2500, false, &score},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        box.NNTPNEWMAX = row.newMax;
        box.NNTPRESCAN = row.rescan;
        const Fetched ahead = Fetch(row.store, rc, true, row.score);
        const Fetched one = Fetch(row.store, rc, false, row.score);
        NewsStore plain = row.store;
        plain.pipelining = false;
        const Fetched serial = Fetch(plain, rc, true, row.score);
        for (const Fetched* other : {&one, &serial}) {
            EXPECT_EQ(ahead.batches, other->batches);
            EXPECT_EQ(ahead.rc, other->rc);
            EXPECT_EQ(ahead.dupes, other->dupes);
            EXPECT_EQ(ahead.log, other->log);
        }
        // Ahead indeed: the last group was asked for before the first
        // group's articles, which followed a GROUP of their own; the
        // crosspost and the id standing twice in de.a (both number 4) were
        // asked for once (NNTPNEWMAX 2 leaves their first copies out), and
        // the article known from an earlier run (de.d's 102) not at all.
        const std::size_t lastGroup = ahead.heard.find("GROUP de.f\r\n");
        EXPECT_LT(lastGroup, ahead.heard.find("\r\nARTICLE 1\r\n")) << ahead.heard;
        EXPECT_LT(lastGroup, one.heard.size());
        if (row.newMax > 2) {
            EXPECT_EQ(ahead.heard.find("\r\nARTICLE 4\r\n"), std::string::npos) << ahead.heard;
        }
        EXPECT_EQ(ahead.heard.find("\r\nARTICLE 102\r\n"), std::string::npos) << ahead.heard;
    }
    // The plain state's result, to know what was compared.
    box.NNTPNEWMAX = 2500;
    box.NNTPRESCAN = false;
    const Fetched f = Fetch(base, rc, true);
    EXPECT_EQ(f.rc, "# mine\r\nde.a 4\r\nde.b 12 x\r\nde.missing 4\r\nde.c 7 hdronly\r\n"
                    "de.d 103\r\nde.e 2\r\nde.f 4\r\n");
    EXPECT_EQ(f.dupes, "<22@x><1@x><2@x><3@x><10@x><11@x><6@x><7@x><21@x><23@x><41@x><42@x>");
}

// A GROUP that the server refuses the second time it is asked: what follows
// it by number would be read in the group selected before, so the job ends
// there, without an article of that group and with the pointer where it was.
TEST_F(GroupsAhead, ARefusedSecondGroupEndsTheJobBeforeItsArticles) {
    NewsStore store;
    store.groups = {{"de.a", {{1, 1}, {2, 2}}}, {"de.b", {{1, 11}, {2, 12}}}};
    store.refuseAgain = {"de.a"};
    const Fetched f = Fetch(store, "de.a 0\nde.b 0\n", true);
    EXPECT_EQ(f.batches, "");
    EXPECT_EQ(f.rc, "de.a 0\r\nde.b 0\r\n");
    ASSERT_FALSE(f.log.empty());
    EXPECT_EQ(f.log.back(), "Error (getnews): Group. (Error=502 not for you)");
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size())
        ++n;
    return n;
}

// The same on INN: groups with a crosspost among them, one header only, one
// counting from the end, one the server does not have, fetched from
// pointers that let some ranges be asked for before GROUP's answer and
// make others wait for it.
TEST_F(GroupsAhead, OnInnTheResultIsThatOfOneGroupAtATime) {
    if (std::string why = InnServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    InnServer inn;
    const std::vector<std::string> groups = {"de.a", "de.b", "de.c", "de.d"};
    ASSERT_EQ(inn.Start(groups), "");
    std::vector<Lines> articles;
    for (int i = 1; i <= 24; ++i) {
        std::string to = groups[i % 4];
        if (i % 7 == 0) to += "," + groups[(i + 1) % 4];
        articles.push_back({"Path: brix.test!not-for-mail", "From: Poster <p@example.org>",
                            "Newsgroups: " + to, "Subject: article " + std::to_string(i),
                            "Message-ID: <inn" + std::to_string(i) + "@brix.test>",
                            "Date: Tue, 01 Dec 2026 10:00:00 +0000", "",
                            "body " + std::to_string(i)});
    }
    ASSERT_EQ(inn.Inject(articles), Lines(articles.size(), "235 Article transferred OK"))
        << inn.Log();
    box.NNTPPORT = inn.ReaderPortText();
    box.NNTPTIMEOUT = 10;
    // Each article logged, and the dialogue in the box's transcript.
    Settings().DebugLevel = 1;
    const std::string rc = "de.a 2\nde.missing 3\nde.b 0 hdronly\nde.c -4\nde.d 1\n";
    for (std::int64_t newMax : {2500, 3}) {
        SCOPED_TRACE(newMax);
        box.NNTPNEWMAX = newMax;
        auto fetch = [&](bool ahead) {
            Clear();
            Rc(rc);
            NewsGroupsAhead() = ahead;
            GetNews(box, false, nullptr);
            NewsGroupsAhead() = true;
            return Result(tree.Read("BOX1.log"));
        };
        const Fetched ahead = fetch(true);
        const Fetched one = fetch(false);
        EXPECT_EQ(ahead.batches, one.batches);
        EXPECT_EQ(ahead.rc, one.rc);
        EXPECT_EQ(ahead.dupes, one.dupes);
        EXPECT_EQ(ahead.log, one.log);
        EXPECT_EQ(Count(ahead.batches, "#! rnews "), newMax == 3 ? 11u : 19u) << ahead.batches;
        for (const std::string& line : ahead.log)
            EXPECT_FALSE(line.starts_with("Error")) << line;
        // Every group was asked for before the first article.
        EXPECT_LT(ahead.heard.find("<GROUP de.d\r\n"), ahead.heard.find("<ARTICLE "))
            << ahead.heard;
        EXPECT_GT(one.heard.find("<GROUP de.d\r\n"), one.heard.find("<ARTICLE ")) << one.heard;
    }
}

} // namespace
} // namespace brix
