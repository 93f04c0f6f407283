#include "mail/msg.h"

#include "support/errors.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

const tbrix_msg kMessage = {
    "Return-Path: <bounce@example.org>",
    "from: Joe <joe@example.org>",
    "Subject:   folded",
    "\tcontinued",
    "X-Empty:",
    "Envelope-To:\t user@example.net \t",
    "",
    "From: body@example.org",
    "Body-Header: no",
};

TEST(MailMessage, HeaderValueIgnoresCaseOfNameAndTrimsValue) {
    EXPECT_EQ(kMessage.HeaderValue("From:"), "Joe <joe@example.org>");
    EXPECT_EQ(kMessage.HeaderValue("FROM:"), "Joe <joe@example.org>");
    EXPECT_EQ(kMessage.HeaderValue("envelope-to:"), "user@example.net");
}

TEST(MailMessage, HeaderValueDoesNotJoinFoldedLines) {
    EXPECT_EQ(kMessage.HeaderValue("Subject:"), "folded");
}

TEST(MailMessage, HeaderValueStopsAtHeaderEnd) {
    EXPECT_EQ(kMessage.HeaderValue("Body-Header:"), "");
    EXPECT_EQ(kMessage.HeaderValue("Missing:"), "");
    EXPECT_EQ(kMessage.HeaderValue("X-Empty:"), "");
}

TEST(MailMessage, HeaderValueTakesFirstOfRepeatedHeaders) {
    tbrix_msg m = {"Received: one", "Received: two", ""};
    EXPECT_EQ(m.HeaderValue("Received:"), "one");
}

TEST(MailMessage, HeaderValueMatchesByLinePrefix) {
    // The name must stand at the start; "X-Envelope-To:" is no "Envelope-To:".
    tbrix_msg m = {"X-Envelope-To: a", "Envelope-To: b", ""};
    EXPECT_EQ(m.HeaderValue("Envelope-To:"), "b");
    EXPECT_EQ(m.HeaderValue("X-Envelope-To:"), "a");
    EXPECT_EQ(m.HeaderValue("Envelope"), "-To: b");
}

TEST(MailMessage, HeaderValueWithoutEmptyLineScansAllLines) {
    tbrix_msg m = {"A: 1", "B: 2"};
    EXPECT_EQ(m.HeaderValue("B:"), "2");
    EXPECT_EQ(tbrix_msg{}.HeaderValue("B:"), "");
}

TEST(MailMessage, HeaderValueLooksAtShortTextOfLine) {
    tbrix_msg m = {"Subject: " + std::string(300, 'x'), ""};
    EXPECT_EQ(m.HeaderValue("Subject:"), std::string(255 - 9, 'x'));
}

TEST(MailMessage, HeaderValueOfBlankOnlyLineIsNoHeaderEnd) {
    tbrix_msg m = {"A: 1", " ", "B: 2", ""};
    EXPECT_EQ(m.HeaderValue("B:"), "2");
}

TEST(MailMessage, HeaderEndIndexIsFirstEmptyLineOrZero) {
    EXPECT_EQ(kMessage.HeaderEndIndex(), 6);
    EXPECT_EQ((tbrix_msg{"A: 1", "B: 2"}).HeaderEndIndex(), 0);
    EXPECT_EQ((tbrix_msg{"", "A"}).HeaderEndIndex(), 0);
    EXPECT_EQ((tbrix_msg{"A", "", ""}).HeaderEndIndex(), 1);
    EXPECT_EQ(tbrix_msg{}.HeaderEndIndex(), 0);
}

TEST(UidList, UidOfTakesTextAfterNumber) {
    tbrix_uid u = {"1 whqtswO00WBw418f9t5JxYwZ", "2 QhdPYR:00WBw1Ph7x7"};
    EXPECT_EQ(u.UidOf(1), "whqtswO00WBw418f9t5JxYwZ");
    EXPECT_EQ(u.UidOf(2), "QhdPYR:00WBw1Ph7x7");
}

TEST(UidList, UidOfMatchesByMessageNumberNotPosition) {
    tbrix_uid u = {"2 second", "3 third", "1 first"};
    EXPECT_EQ(u.UidOf(1), "first");
    EXPECT_EQ(u.UidOf(2), "second");
    EXPECT_EQ(u.UidOf(3), "third");
}

TEST(UidList, MissingMessageRaisesListError) {
    tbrix_uid u = {"1 a", "3 c"};
    EXPECT_THROW(u.UidOf(2), EListError);
    EXPECT_THROW(u.UidOf(4), EListError);
    EXPECT_THROW(u.UidOf(0), EListError);
    EXPECT_THROW(tbrix_uid{}.UidOf(1), EListError);
    std::string uid = "old";
    EXPECT_FALSE(u.TryUidOf(2, uid));
    EXPECT_EQ(uid, "");
}

TEST(UidList, MalformedLinesNameNoMessage) {
    tbrix_uid u = {"1", "2 ", "x3 abc", "4abc", " 5 \t five "};
    for (int n : {1, 2, 3, 4})
        EXPECT_THROW(u.UidOf(n), EListError) << n;
    EXPECT_EQ(u.UidOf(5), "five");
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
