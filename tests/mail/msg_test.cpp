#include "mail/msg.h"

#include "support/errors.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

TEST(MailMessage, HeaderValue) {
    const tbrix_msg m = {
        "Return-Path: <bounce@example.org>",
        "from: Joe <joe@example.org>",
        "Subject:   folded",
        "\tcontinued",
        "X-Empty:",
        "Received: one",
        " ",
        "Received: two",
        "X-Envelope-To: a",
        "Envelope-To:\t user@example.net \t",
        "X-Long: " + std::string(300, 'x'),
        "",
        "From: body@example.org",
        "Body-Header: no",
    };
    struct {
        const char* name;
        std::string value;
    } cases[] = {
        {"From:", "Joe <joe@example.org>"}, // any case of the name, value trimmed
        {"FROM:", "Joe <joe@example.org>"},
        {"envelope-to:", "user@example.net"}, // at the line start only
        {"X-Envelope-To:", "a"},
        {"Envelope", "-To:\t user@example.net"},
        {"Subject:", "folded"},                 // folded lines are not joined
        {"Received:", "one"},                   // the first of repeated headers
        {"X-Long:", std::string(255 - 8, 'x')}, // a line is a short text
        {"Body-Header:", ""},                   // the header ends at the empty line
        {"Missing:", ""},
        {"X-Empty:", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(m.HeaderValue(c.name), c.value) << c.name;
    // Without an empty line every line is header.
    EXPECT_EQ((tbrix_msg{"A: 1", "B: 2"}).HeaderValue("B:"), "2");
    EXPECT_EQ(tbrix_msg{}.HeaderValue("B:"), "");
}

TEST(MailMessage, HeaderEndIndexIsFirstEmptyLineOrZero) {
    EXPECT_EQ((tbrix_msg{"A: 1", " ", "B: 2", "", "C"}).HeaderEndIndex(), 3);
    EXPECT_EQ((tbrix_msg{"A: 1", "B: 2"}).HeaderEndIndex(), 0);
    EXPECT_EQ((tbrix_msg{"", "A"}).HeaderEndIndex(), 0);
    EXPECT_EQ((tbrix_msg{"A", "", ""}).HeaderEndIndex(), 1);
    EXPECT_EQ(tbrix_msg{}.HeaderEndIndex(), 0);
}

TEST(UidList, UidOfMatchesByMessageNumberNotPosition) {
    tbrix_uid u = {"2 QhdPYR:00WBw1Ph7x7",
                   "3 third",
                   "1 whqtswO00WBw418f9t5JxYwZ",
                   " 5 \t five ",
                   "6",
                   "7 ",
                   "x8 abc",
                   "9abc"};
    EXPECT_EQ(u.UidOf(1), "whqtswO00WBw418f9t5JxYwZ");
    EXPECT_EQ(u.UidOf(2), "QhdPYR:00WBw1Ph7x7");
    EXPECT_EQ(u.UidOf(3), "third");
    EXPECT_EQ(u.UidOf(5), "five");
    // Missing and malformed lines name no message.
    for (int n : {0, 4, 6, 7, 8, 9, 10})
        EXPECT_THROW(u.UidOf(n), EListError) << n;
    EXPECT_THROW(tbrix_uid{}.UidOf(1), EListError);
    std::string uid = "old";
    EXPECT_FALSE(u.TryUidOf(4, uid));
    EXPECT_EQ(uid, "");
}

TEST(UidList, CoversMessagesWhenEveryNumberHasAnIdentifier) {
    EXPECT_TRUE((tbrix_uid{"2 b", "1 a"}).CoversMessages(2));
    EXPECT_FALSE((tbrix_uid{"1 a", "1 b"}).CoversMessages(2));
    EXPECT_FALSE((tbrix_uid{"1 a"}).CoversMessages(2));
    EXPECT_FALSE((tbrix_uid{"1 a", "2"}).CoversMessages(2));
    EXPECT_TRUE((tbrix_uid{"1 a", "2 b", "3 c"}).CoversMessages(2));
    EXPECT_TRUE(tbrix_uid{}.CoversMessages(0));
}

} // namespace
} // namespace brix
