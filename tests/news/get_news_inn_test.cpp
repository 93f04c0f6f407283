// The news fetch job end to end: the real brix binary against a real INN 2
// on loopback. Batches are checked byte for byte; a second run fetches
// nothing new. Skipped when INN is not installed.

#include "news/news_spool.h"
#include "testing/inn_server.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using Lines = std::vector<std::string>;
using testing::InnServer;

Lines Article(const std::string& id, const std::string& groups, const Lines& body) {
    Lines a = {"Path: brix.test!not-for-mail",
               "From: Poster <poster@example.org>",
               "Newsgroups: " + groups,
               "Subject: about " + id,
               "Message-ID: <" + id + ">",
               "Date: Tue, 01 Dec 2026 10:00:00 +0000",
               ""};
    a.insert(a.end(), body.begin(), body.end());
    return a;
}

// The article as the reader gets it: innd adds Xref: as the last header line.
Lines Served(Lines a, const std::string& xref) {
    a.insert(a.begin() + 6, "Xref: brix.test " + xref);
    return a;
}

std::string Entries(const std::vector<Lines>& articles) {
    std::string out;
    for (const Lines& a : articles)
        out += BatchEntry(a);
    return out;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(GetNewsInn, GroupsAndRequestsIntoBatchesThenNothingNew) {
    if (std::string why = InnServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    InnServer inn;
    std::string why = inn.Start({"de.test", "de.other"});
    ASSERT_TRUE(why.empty()) << why;

    const Lines a1 = Article("a1@brix.test", "de.test", {"first", ".", "..two", ".x"});
    const Lines a2 = Article("a2@brix.test", "de.test",
                             {std::string(3000, 'l'), "8-bit: \xe4\xf6\xfc\xdf", "end"});
    const Lines a3 = Article("a3@brix.test", "de.other", {"other group"});
    const Lines a4 = Article("a4@brix.test", "de.test,de.other", {"crossposted"});
    ASSERT_EQ(inn.Inject({a1, a2, a3, a4}), Lines(4, "235 Article transferred OK")) << inn.Log();

    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg",
            "NNTPSERVER=127.0.0.1\nNNTPPORT=" + inn.ReaderPortText() + "\nNNTPTIMEOUT=10\n");
    t.Write("BOX1.rc", "# my groups\r\nde.test   0\r\nde.other -10 hdronly\r\nde.missing 5\r\n");
    t.Write("request.id", FormatRequestRecord({1, 0, "*", "<a1@brix.test>"}) +
                              FormatRequestRecord({1, 0, "OTHERBOX", "<a2@brix.test>"}));

    auto r = testing::RunBrix({"box1.bfg", "-debug"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::string log = t.Read("qv-ppp.log");
    EXPECT_EQ(t.Read("spool/n0000.msg"), Entries({Served(a1, "de.test:1"), Served(a2, "de.test:2"),
                                                  Served(a4, "de.test:3 de.other:2")}))
        << log;
    // Header only, from the overview; the crosspost is known and skipped.
    std::string other = t.Read("spool/n0001.msg");
    EXPECT_EQ(other.rfind("#! rnews ", 0), 0u) << other;
    EXPECT_TRUE(Has(other, "\nNewsgroups: de.other\nSubject: about a3@brix.test\n")) << other;
    EXPECT_TRUE(Has(other, "\nLines: 0\nX-QV-Mode: HdrOnly\n\n")) << other;
    EXPECT_FALSE(Has(other, "a4@brix.test"));
    Lines requested = Served(a1, "de.test:1");
    requested.insert(requested.begin() + 7, "X-QV-Mode: Message-ID Request");
    EXPECT_EQ(t.Read("spool/n0002.msg"), Entries({requested}));
    EXPECT_EQ(t.Read("BOX1.rc"),
              "# my groups\r\nde.test 3\r\nde.other 2 hdronly\r\nde.missing 5\r\n");
    EXPECT_EQ(t.Read("e-news.idx"), "<a1@brix.test><a2@brix.test><a4@brix.test><a3@brix.test>");
    EXPECT_EQ(t.Read("request.id")[1], '\xff');
    EXPECT_EQ(t.Read("request.id")[kRequestRecordSize + 1], '\0');
    EXPECT_TRUE(Has(log, " no such newsgroup: de.missing\r\n")) << log;
    EXPECT_TRUE(Has(log, " total: 4 articles received, 1 articles skipped\r\n")) << log;
    EXPECT_TRUE(Has(t.Read("BOX1.log"), "<XOVER 1-3\r\n"));

    // Nothing new on the server: nothing is fetched or written.
    r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(t.Read("spool/n0000.msg").size(),
              Entries({Served(a1, "de.test:1"), Served(a2, "de.test:2"),
                       Served(a4, "de.test:3 de.other:2")})
                  .size());
    EXPECT_FALSE(t.Exists("spool/n0003.msg"));
    EXPECT_TRUE(Has(t.Read("qv-ppp.log"), " total: 0 articles received, 0 articles skipped\r\n"));
    EXPECT_EQ(t.Read("BOX1.rc"),
              "# my groups\r\nde.test 3\r\nde.other 2 hdronly\r\nde.missing 5\r\n");
}

} // namespace
} // namespace brix
