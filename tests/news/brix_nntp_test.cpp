// The news client's own commands that no job dialogue here reaches: the
// login, GROUP's 64-bit numbers and the step named by an unreadable one.

#include "clients/client_fixture.h"
#include "news/brix_nntp.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

struct Client : tbrix_nntp {
    Client() : tbrix_nntp("") {}
};

TEST(BrixNntp, LoginAndGroupNumbers) {
    testing::Dialogue<Client>(
        testing::Talk("200 news", {{"AUTHINFO USER joe", "381 more"},
                                   {"AUTHINFO PASS pw", "281 ok"},
                                   {"GROUP de.a", "211 3 9000000000 9000000002 de.a"},
                                   {"GROUP de.b", "411 no such group"},
                                   {"GROUP g", "211 3 -1 5 g"}}),
        [](Client& c) {
            c.Authinfo("joe", "pw");
            std::int64_t n[3] = {};
            EXPECT_TRUE(c.GroupInfo("de.a", n[0], n[1], n[2]));
            EXPECT_EQ(n[2], 9000000002);
            EXPECT_FALSE(c.GroupInfo("de.b", n[0], n[1], n[2]));
            EXPECT_EQ(
                testing::RaisedMessage<EAbsNNTPClient>([&] { c.GroupInfo("g", n[0], n[1], n[2]); }),
                "Group - articlestart. (Error=211 3 -1 5 g)");
        });
}

} // namespace
} // namespace brix
