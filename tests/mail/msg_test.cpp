#include "mail/msg.h"

#include "support/errors.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

TEST(MailMessage, HeaderValue) {
    const tbrix_msg m = {
        "from: Joe <joe@example.org>",
        "Subject:   folded",
        "\tcontinued",
        "Received: one",
        "Received: two",
        "X-Envelope-To: a",
        "Envelope-To:\t user@example.net \t",
        "X-Long: " + std::string(300, 'x'),
        "",
        "Body-Header: no",
    };
    struct {
        const char* name;
        std::string value;
    } cases[] = {
        {"FROM:", "Joe <joe@example.org>"},   // any case of the name, value trimmed
        {"envelope-to:", "user@example.net"}, // at the line start only
        {"Subject:", "folded"},               // folded lines are not joined
        {"Received:", "one"},
        {"X-Long:", std::string(255 - 8, 'x')}, // a line is a short text
        {"Body-Header:", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(m.HeaderValue(c.name), c.value) << c.name;
    EXPECT_EQ((tbrix_msg{"A: 1", "B: 2"}).HeaderValue("B:"), "2");
    EXPECT_EQ((tbrix_msg{"A: 1", " ", "B: 2", "", "C"}).HeaderEndIndex(), 3);
    EXPECT_EQ((tbrix_msg{"A: 1", "B: 2"}).HeaderEndIndex(), 0);
}

TEST(UidList, UidOfMatchesByMessageNumberNotPosition) {
    tbrix_uid u = {
        "2 QhdPYR:00WBw1Ph7x7", "1 whqtswO00WBw418f9t5JxYwZ", " 5 \t five ", "6", "x8 abc", "9abc"};
    EXPECT_EQ(u.UidOf(1), "whqtswO00WBw418f9t5JxYwZ");
    EXPECT_EQ(u.UidOf(2), "QhdPYR:00WBw1Ph7x7");
    EXPECT_EQ(u.UidOf(5), "five");
    for (int n : {0, 4, 6, 8, 9})
        EXPECT_THROW(u.UidOf(n), EListError) << n;
    EXPECT_TRUE((tbrix_uid{"2 b", "1 a"}).CoversMessages(2));
    EXPECT_FALSE((tbrix_uid{"1 a", "1 b"}).CoversMessages(2));
    EXPECT_FALSE((tbrix_uid{"1 a", "2"}).CoversMessages(2));
}

} // namespace
} // namespace brix
