#include "filter/pho.h"

#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

std::uint64_t Plenty() {
    return 1u << 30;
}

// A filter loaded from a file with the given content.
struct Loaded {
    testing::TempTree dir;
    PhoFilter filter{Plenty};
    explicit Loaded(const std::string& content) {
        dir.Write("PHO.TXT", content); // the name is found in any case
        EXPECT_TRUE(filter.Open(dir / "pho.txt"));
        filter.Load();
    }
    std::vector<std::string> Entries() const {
        return {filter.Entries().begin(), filter.Entries().end()};
    }
};

TEST(PhoFilter, MatchesAddressInBracketsAfterNameOrBeforeCommentOrAlone) {
    Loaded l("brix-pho: spam@example.com\n");
    struct {
        const char* sender;
        bool match;
    } cases[] = {
        {"joe spammer <spam@example.com>", true},
        {"spam@example.com (joe spammer)", true},
        {"spam@example.com", true},
        {"xspam@example.com (x)", false},
        {"mail me at spam@example.com today", false},
        {"spam@example.com\t(tab is no blank)", false},
        {"<spam@example.com", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(l.filter.Test(c.sender), c.match) << c.sender;
}

TEST(PhoFilter, TagIsFoundInAnyCaseAndIndentedEntriesLowerCasedInReverseOrder) {
    Loaded l("  BRIX-PHO:  One@Example.COM  \n"
             "\tBrix-Pho:two@example.com\r\n"
             "brix-pho three@example.com\n" // no colon: not a tag
             "# brix-pho: five@example.com\n"
             "brix-pho: six");
    EXPECT_EQ(l.Entries(), (std::vector<std::string>{"six", "two@example.com", "one@example.com"}));
    EXPECT_TRUE(l.filter.Test("x <two@example.com>"));
}

// An empty entry would match every sender that is empty, begins with a blank
// or holds "<>".
TEST(PhoFilter, EmptyEntryIsIgnored) {
    Loaded l("brix-pho:\nbrix-pho:   \t \nbrix-pho: a@b\n");
    EXPECT_EQ(l.Entries(), (std::vector<std::string>{"a@b"}));
    for (const char* sender : {"", " leading blank", "someone <>"})
        EXPECT_FALSE(l.filter.Test(sender)) << sender;
    EXPECT_TRUE(l.filter.Test("a@b (me)"));
}

TEST(PhoFilter, AnswersFalseAfterFreeOrFailedOpenAndOnLowMemory) {
    Loaded l("brix-pho: a@b\n");
    l.filter.Free();
    EXPECT_FALSE(l.filter.Test("a@b"));
    ASSERT_TRUE(l.filter.Open(l.dir / "pho.txt"));
    l.filter.Load();
    EXPECT_FALSE(l.filter.Open(l.dir / "missing.txt"));
    EXPECT_FALSE(l.filter.Test("a@b"));

    PhoFilter low([] { return std::uint64_t{14999}; });
    ASSERT_TRUE(low.Open(l.dir / "pho.txt"));
    low.Load();
    EXPECT_FALSE(low.Test("a@b"));
}

} // namespace
} // namespace brix
