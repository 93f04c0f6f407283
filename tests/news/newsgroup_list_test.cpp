// The newsgroup list: its marker line's years, and the job's first run and
// updates (new groups merged) against the scripted server.

#include "mail/mail_testing.h"
#include "news/newsgroup_list.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Script;
using testing::ScriptServer;
using Lines = std::vector<std::string>;

// Two-digit years: 00 to 79 are this century's, 80 to 99 the last's.
TEST(NewsgroupList, MarkerYears) {
    LocalTime t;
    ASSERT_TRUE(ParseNewGroupsMarker("!new_groups:790102 030405", t));
    EXPECT_EQ(t.year, 2079);
    ASSERT_TRUE(ParseNewGroupsMarker("!new_groups:800102 030405", t));
    EXPECT_EQ(t.year, 1980);
    EXPECT_FALSE(ParseNewGroupsMarker("!new_groups:791302 030405", t));
}

class NewsgroupListTest : public testing::MailJobTest {};

// The server's clock is asked first; an update asks NEWGROUPS in UTC from
// the marker's time; only an answer with new groups rewrites the file; a
// file without marker is the user's and nothing is asked.
TEST_F(NewsgroupListTest, FirstRunAndUpdates) {
    const std::string old = "!new_groups:240101 120000\r\nde.b 2 1 y\r\nde.d 4 1 y\r\n";
    const std::string date = "111 20240307090501", since = "NEWGROUPS 240101 120000 GMT ";
    auto s = [] { return Script().Send("200 news"); };
    const struct {
        std::string before;
        Script script;
        std::string after, lastLog;
    } cases[] = {
        {"",
         s().Expect("DATE")
             .Send(date)
             .Expect("LIST")
             .Send("215 list")
             .SendLines({"de.b 2 1 y", "alt.a 0 1 m", "."}),
         "!new_groups:240307 090501\r\nde.b 2 1 y\r\nalt.a 0 1 m\r\n", "newsgroups: 2"},
        {old,
         s().Expect("DATE").Send(date).Expect(since).Send("231 new").SendLines(
             {"de.c 0 1 y", "de.b 7 1 y", "."}),
         "!new_groups:240307 090501\r\nde.b 7 1 y\r\nde.c 0 1 y\r\nde.d 4 1 y\r\n",
         "new newsgroups: 2"},
        {old, s().Expect("DATE").Send(date).Expect(since).Send("231 new").SendLines({"."}), old,
         "updating newsgroup list"},
        {"de.b 2 1 y\r\n", s(), "de.b 2 1 y\r\n", "updating newsgroup list"},
    };
    box.NNTPSERVER = "127.0.0.1";
    box.NNTPLIST = true;
    for (const auto& c : cases) {
        std::remove((tree / "BOX1.bl").c_str());
        std::remove((tree / "qv-ppp.log").c_str());
        if (!c.before.empty()) tree.Write("BOX1.bl", c.before);
        ScriptServer server(Script(c.script).Expect("QUIT").Send("205 bye"));
        box.NNTPPORT = server.PortText();
        GetNewsgroupList(box);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(tree.Read("BOX1.bl"), c.after);
        EXPECT_EQ(RunLog().back(), c.lastLog);
    }
}

} // namespace
} // namespace brix
