// The news jobs end to end: the real brix binary against a real INN 2 on
// loopback, in plain text and over TLS (from the first byte and upgraded).
// Batches are checked byte for byte. Skipped when INN is not installed.

#include "testing/job_test.h"
#include "testing/real_servers.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Entries;
using testing::InnServer;
using testing::Lines;

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

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string Queued(const std::string& id) {
    return "From: <own@client.example>\r\nNewsgroups: de.test\r\nSubject: mine\r\nMessage-ID: <" +
           id + ">\r\nX-Newsreader: QV 3.1\r\n\r\n.dot\r\n";
}

struct Mode {
    const char* tls; // the box's NNTPTLS; "" for none
    bool implicit;   // the second nnrpd's port rather than the plain one
};
void PrintTo(const Mode& mode, std::ostream* out) {
    *out << mode.tls;
}
class NewsJobsInn : public ::testing::TestWithParam<Mode> {};

// All three news jobs of a box in one run: the list, posting, then fetching
// (whole articles, a group header-only from the overview, a crosspost and
// the own posting known already, requests by Message-ID).
TEST_P(NewsJobsInn, ListPostAndFetchInOneRun) {
    if (std::string why = InnServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    const bool tls = *GetParam().tls;
    testing::TestPki pki;
    InnServer inn;
    if (tls) inn.UseTls(pki.Localhost().cert, pki.Localhost().key);
    ASSERT_EQ(inn.Start({"de.test", "de.other"}), "");
    const Lines a1 = Article("a1@brix.test", "de.test", {"first", ".", "..two", ".x"});
    const Lines a2 = Article("a2@brix.test", "de.test",
                             {std::string(3000, 'l'), "8-bit: \xe4\xf6\xfc\xdf", "end"});
    const Lines a3 = Article("a3@brix.test", "de.other", {"other group"});
    const Lines a4 = Article("a4@brix.test", "de.test,de.other", {"crossposted"});
    ASSERT_EQ(inn.Inject({a1, a2, a3, a4}), Lines(4, "235 Article transferred OK")) << inn.Log();
    testing::TempTree t;
    // The certificate names localhost, so the box does too.
    const std::string box =
        std::string("NNTPSERVER=") + (tls ? "localhost" : "127.0.0.1") +
        "\nNNTPPORT=" + (GetParam().implicit ? inn.TlsReaderPortText() : inn.ReaderPortText()) +
        "\nNNTPLIST=J\nNNTPTIMEOUT=10\nNNTPTLS=" + GetParam().tls + "\nTLSCAFILE=" + pki.CaFile() +
        "\n";
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", box);
    t.Write("BOX1.rc", "# my groups\r\nde.test   0\r\nde.other -10 hdronly\r\nde.missing 5\r\n");
    t.Write("request.id", FormatRequestRecord({1, 0, "*", "<a1@brix.test>"}) +
                              FormatRequestRecord({1, 0, "OTHERBOX", "<a2@brix.test>"}));
    t.Write("spool/n0001.out", Queued("own1@client.example"));

    auto r = testing::RunBrix({"box1.bfg", "-debug2"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const std::string log = t.Read("qv-ppp.log");
    EXPECT_EQ(Count(log, "Error"), 0u) << log << inn.Log();
    const std::string list = t.Read("BOX1.bl");
    EXPECT_EQ(list.rfind("!new_groups:", 0), 0u) << list;
    EXPECT_EQ(Count(list, "\r\nde.test "), 1u) << list;
    EXPECT_FALSE(t.Exists("spool/n0001.out")) << log;
    EXPECT_EQ(Count(log, " 1 articles posted\r\n"), 1u) << log;
    // The own posting (de.test:4) is known and skipped.
    EXPECT_EQ(t.Read("spool/n0000.msg"), Entries({Served(a1, "de.test:1"), Served(a2, "de.test:2"),
                                                  Served(a4, "de.test:3 de.other:2")}))
        << log;
    // Header only, from the overview; the crosspost is known and skipped.
    std::string other = t.Read("spool/n0001.msg");
    EXPECT_EQ(other.rfind("#! rnews ", 0), 0u) << other;
    EXPECT_EQ(Count(other, "\nNewsgroups: de.other\nSubject: about a3@brix.test\n"), 1u) << other;
    EXPECT_EQ(Count(other, "\nLines: 0\nX-QV-Mode: HdrOnly\n\n"), 1u) << other;
    EXPECT_EQ(Count(other, "a4@brix.test"), 0u);
    Lines requested = Served(a1, "de.test:1");
    requested.insert(requested.begin() + 7, "X-QV-Mode: Message-ID Request");
    EXPECT_EQ(t.Read("spool/n0002.msg"), Entries({requested}));
    EXPECT_EQ(t.Read("BOX1.rc"),
              "# my groups\r\nde.test 4\r\nde.other 2 hdronly\r\nde.missing 5\r\n");
    EXPECT_EQ(t.Read("e-news.idx"),
              "<own1@client.example><a1@brix.test><a2@brix.test><a4@brix.test><a3@brix.test>");
    const std::string requests = t.Read("request.id");
    EXPECT_EQ(requests[1], '\xff');
    EXPECT_EQ(requests[kRequestRecordSize + 1], '\0');
    EXPECT_EQ(Count(log, " no such newsgroup: de.missing\r\n"), 1u) << log;
    EXPECT_EQ(Count(log, " total: 4 articles received, 2 articles skipped\r\n"), 1u) << log;
    // Three sessions, each verified against the test CA.
    EXPECT_EQ(Count(t.Read("BOX1.log"), ", peer /CN=localhost\r\n"), tls ? 3u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, NewsJobsInn,
                         ::testing::Values(Mode{"", false}, Mode{"TLS", true},
                                           Mode{"STARTTLS", false}),
                         [](const auto& info) {
                             return *info.param.tls ? std::string(info.param.tls) : "plain";
                         });

} // namespace
} // namespace brix
