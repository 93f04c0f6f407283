// The news client's own commands: their lines, GROUP's 64-bit numbers and
// the step named by each refusal or unreadable number.

#include "clients/client_fixture.h"
#include "news/brix_nntp.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::Dialogue;
using testing::RaisedMessage;
using testing::Talk;

struct Client : tbrix_nntp {
    Client() : tbrix_nntp("") {}
};

TEST(BrixNntp, CommandsAndTheirReplies) {
    Dialogue<Client>(Talk("200 news", {{"XOVER 5-9", "224 ok"}})
                         .SendLines({"5\ta", "..x", "."})
                         .Expect("XOVER 9")
                         .Send("224 ok")
                         .SendLines({"."})
                         .Expect("AUTHINFO USER joe")
                         .Send("381 more")
                         .Expect("AUTHINFO PASS pw")
                         .Send("281 ok")
                         .Expect("DATE")
                         .Send("111 20240307090501")
                         .Expect("GROUP de.a")
                         .Send("211 3 9000000000 9000000002 de.a")
                         .Expect("GROUP de.b")
                         .Send("411 no such group"),
                     [](Client& c) {
                         TStrings lines;
                         c.Xover(&lines, 5, 9);
                         EXPECT_EQ(lines, (TStrings{"5\ta", ".x"}));
                         c.Xover(&lines, 9, 9);
                         c.Authinfo("joe", "pw");
                         LocalTime t = c.ServerDate();
                         EXPECT_EQ(
                             std::vector<int>({t.year, t.month, t.day, t.hour, t.minute, t.second}),
                             std::vector<int>({2024, 3, 7, 9, 5, 1}));
                         std::int64_t n[3] = {};
                         EXPECT_TRUE(c.GroupInfo("de.a", n[0], n[1], n[2]));
                         EXPECT_EQ(n[2], 9000000002);
                         EXPECT_FALSE(c.GroupInfo("de.b", n[0], n[1], n[2]));
                     });
}

TEST(BrixNntp, RefusalsAndUnreadableNumbersNameTheirStep) {
    const std::pair<std::string, std::string> rows[] = {
        {"502 no", "Group. (Error=502 no)"},
        {"211 3 1 5", "Group - articleend. (Error=211 3 1 5)"},
        {"211 x 1 5 g", "Group - articlecount. (Error=211 x 1 5 g)"},
        {"211 3 -1 5 g", "Group - articlestart. (Error=211 3 -1 5 g)"},
    };
    for (const auto& [reply, message] : rows)
        Dialogue<Client>(Talk("200 news", {{"GROUP g", reply}}), [&](Client& c) {
            std::int64_t n[3];
            EXPECT_EQ(RaisedMessage<EAbsNNTPClient>([&] { c.GroupInfo("g", n[0], n[1], n[2]); }),
                      message);
        });
}

} // namespace
} // namespace brix
