// The newsgroup list: its marker line, the merge of new groups, and the job's
// first run and updates against the scripted server.

#include "mail/mail_testing.h"
#include "news/newsgroup_list.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace brix {
namespace {

using testing::Script;
using testing::ScriptServer;
using Lines = std::vector<std::string>;

TEST(NewsgroupList, MarkerYearsAndBadMarkers) {
    const struct {
        const char* line;
        bool ok;
        int year;
    } rows[] = {
        {"!new_groups:790102 030405", true, 2079},   {"!new_groups:800102 030405", true, 1980},
        {"!new_groups:000229 235959 x", true, 2000}, {"!new_groups:791302 030405", false, 0},
        {"!new_groups:790102-030405", false, 0},     {"!new_groups:7901 0304", false, 0},
        {"!new_groups:79O102 030405", false, 0},
    };
    for (const auto& r : rows) {
        LocalTime t;
        ASSERT_EQ(ParseNewGroupsMarker(r.line, t), r.ok) << r.line;
        if (r.ok) {
            EXPECT_EQ(t.year, r.year) << r.line;
        }
    }
    LocalTime t{2079, 1, 2, 3, 4, 5};
    EXPECT_EQ(NewGroupsMarkerLine(t), "!new_groups:790102 030405");
}

TEST(NewsgroupList, MergeReplacesListedGroupsAndSortsFolded) {
    Lines list{"de.b 2 1 y", "De.a 5 1 y", "alt.x 1 1 n"};
    MergeNewGroups(list, {"de.c 0 1 y", "de.b 9 1 m", "DE.A 0 1 y", "de.c 3 1 y"});
    EXPECT_EQ(list, (Lines{"alt.x 1 1 n", "DE.A 0 1 y", "De.a 5 1 y", "de.b 9 1 m", "de.c 3 1 y"}));
}

class NewsgroupListTest : public testing::MailJobTest {
  protected:
    void SetUp() override {
        MailJobTest::SetUp();
        box.NNTPSERVER = "127.0.0.1";
        box.NNTPLIST = true;
        box.NNTPTIMEOUT = 3;
    }
};

// The server's clock is asked first; an update asks NEWGROUPS in UTC from
// the marker's time; only a complete answer with new groups rewrites the
// file; a file without marker is the user's and nothing is asked.
TEST_F(NewsgroupListTest, FirstRunAndUpdates) {
    const std::string old = "!new_groups:240101 120000\r\nde.b 2 1 y\r\nde.d 4 1 y\r\n";
    auto greet = [] { return Script().Send("200 news"); };
    auto bye = [](Script s) { return s.Expect("QUIT").Send("205 bye"); };
    const struct {
        const char* name;
        std::string before;
        Script script;
        std::string after;
        Lines log;
    } cases[] = {
        {"first run",
         "",
         bye(greet()
                 .Expect("DATE")
                 .Send("111 20240307090501")
                 .Expect("LIST")
                 .Send("215 list")
                 .SendLines({"de.b 2 1 y", "alt.a 0 1 m", "."})),
         "!new_groups:240307 090501\r\nde.b 2 1 y\r\nalt.a 0 1 m\r\n",
         {"requesting newsgroup list", "newsgroups: 2"}},
        {"new groups",
         old,
         bye(greet()
                 .Expect("DATE")
                 .Send("111 20240307090501")
                 .Expect("NEWGROUPS 240101 120000 GMT ")
                 .Send("231 new")
                 .SendLines({"de.c 0 1 y", "de.b 7 1 y", "."})),
         "!new_groups:240307 090501\r\nde.b 7 1 y\r\nde.c 0 1 y\r\nde.d 4 1 y\r\n",
         {"updating newsgroup list", "new newsgroups: 2"}},
        {"no new groups",
         old,
         bye(greet()
                 .Expect("DATE")
                 .Send("111 20240307090501")
                 .Expect("NEWGROUPS 240101 120000 GMT ")
                 .Send("231 new")
                 .SendLines({"."})),
         old,
         {"updating newsgroup list"}},
        {"answer cut",
         old,
         greet()
             .Expect("DATE")
             .Send("111 20240307090501")
             .Expect("NEWGROUPS 240101 120000 GMT ")
             .Send("231 new")
             .SendLines({"de.c 0 1 y"})
             .Close(),
         old,
         {"updating newsgroup list", "Error (getnglist): ReadLn. (Error=104)"}},
        {"no marker",
         "de.b 2 1 y\r\n",
         bye(greet()),
         "de.b 2 1 y\r\n",
         {"updating newsgroup list"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove((tree / "BOX1.bl").c_str());
        std::remove((tree / "qv-ppp.log").c_str());
        if (!c.before.empty()) tree.Write("BOX1.bl", c.before);
        ScriptServer server(c.script);
        box.NNTPPORT = server.PortText();
        GetNewsgroupList(box);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(tree.Read("BOX1.bl"), c.after);
        Lines log = c.log;
        log.insert(log.begin(), "NNTP: 127.0.0.1:" + server.PortText());
        EXPECT_EQ(RunLog(), log);
    }
}

} // namespace
} // namespace brix
