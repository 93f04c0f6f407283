// All three news jobs of a box in one run of the real brix binary against a
// real INN 2 that serves readers over TLS, once with TLS from the first byte
// and once upgraded with STARTTLS. Skipped when INN is not installed.

#include "testing/inn_server.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"
#include "testing/test_pki.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::InnServer;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct TlsRow {
    const char* word;
    bool implicit; // the second nnrpd's port rather than the plain one
};
void PrintTo(const TlsRow& row, std::ostream* out) {
    *out << row.word;
}

class NewsTls : public ::testing::TestWithParam<TlsRow> {};

TEST_P(NewsTls, ListsPostsAndFetchesOverTls) {
    if (std::string why = InnServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    testing::TestPki pki;
    InnServer inn;
    inn.UseTls(pki.Localhost().cert, pki.Localhost().key);
    std::string why = inn.Start({"de.test"});
    ASSERT_TRUE(why.empty()) << why;
    ASSERT_EQ(inn.Inject({{"Path: brix.test!not-for-mail", "From: <poster@example.org>",
                           "Newsgroups: de.test", "Subject: theirs", "Message-ID: <in1@brix.test>",
                           "Date: Tue, 01 Dec 2026 10:00:00 +0000", "", "injected body"}}),
              std::vector<std::string>{"235 Article transferred OK"})
        << inn.Log();

    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    // The certificate names localhost, so the box does too.
    t.Write("BOX1.bfg", "NNTPSERVER=localhost\nNNTPPORT=" +
                            (GetParam().implicit ? inn.TlsReaderPortText() : inn.ReaderPortText()) +
                            "\nNNTPTLS=" + GetParam().word + "\nTLSCAFILE=" + pki.CaFile() +
                            "\nNNTPLIST=J\nNNTPTIMEOUT=10\n");
    t.Write("BOX1.rc", "de.test 0\r\n");
    t.Write("spool/n0001.out", "From: <own@client.example>\r\nNewsgroups: de.test\r\n"
                               "Subject: mine\r\nMessage-ID: <own1@client.example>\r\n\r\nhi\r\n");

    auto r = testing::RunBrix({"box1.bfg", "-debug2"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const std::string log = t.Read("qv-ppp.log");
    EXPECT_FALSE(Has(log, "Error")) << log << inn.Log();
    EXPECT_TRUE(Has(t.Read("BOX1.bl"), "\r\nde.test ")) << t.Read("BOX1.bl");
    EXPECT_FALSE(t.Exists("spool/n0001.out")) << log;
    EXPECT_TRUE(Has(log, " 1 articles posted\r\n")) << log;
    EXPECT_TRUE(Has(t.Read("spool/n0000.msg"), "\nMessage-ID: <in1@brix.test>\n")) << log;
    // Three sessions (list, post, fetch), each verified against the test CA.
    const std::string debug = t.Read("BOX1.log");
    std::size_t sessions = 0;
    for (std::size_t at = debug.find(", peer /CN=localhost\r\n"); at != std::string::npos;
         at = debug.find(", peer /CN=localhost\r\n", at + 1))
        ++sessions;
    EXPECT_EQ(sessions, 3u) << debug;
}

INSTANTIATE_TEST_SUITE_P(Modes, NewsTls,
                         ::testing::Values(TlsRow{"TLS", true}, TlsRow{"STARTTLS", false}),
                         [](const auto& info) { return std::string(info.param.word); });

} // namespace
} // namespace brix
