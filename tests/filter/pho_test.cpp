#include "filter/pho.h"

#include "testing/drop_privileges.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace brix {
namespace {

using testing::TempTree;

std::uint64_t Plenty() {
    return 1u << 30;
}

// A filter loaded from a file with the given content.
struct Loaded {
    TempTree dir;
    PhoFilter filter{Plenty};
    explicit Loaded(const std::string& content) {
        dir.Write("pho.txt", content);
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
        {"\"x\" <spam@example.com>, more", true},
        {"spam@example.com (joe spammer)", true},
        {"spam@example.com", true},
        {"nospam@example.com", false},
        {"xspam@example.com (x)", false},
        {"spam@example.com.org", false},
        {"mail me at spam@example.com today", false},
        {"spam@example.com\t(tab is no blank)", false},
        {"<spam@example.com", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(l.filter.Test(c.sender), c.match) << c.sender;
}

TEST(PhoFilter, TagIsFoundInAnyCaseAndIndentedEntriesLowerCasedInReverseOrder) {
    Loaded l("  BRIX-PHO:  One@Example.COM  \n"
             "\tBrix-Pho:two@example.com\r\n"
             "brix-pho three@example.com\n" // no colon: not a tag
             "killfile: four@example.com\n"
             "# brix-pho: five@example.com\n"
             "brix-pho: six");
    EXPECT_EQ(l.Entries(), (std::vector<std::string>{"six", "two@example.com", "one@example.com"}));
    EXPECT_TRUE(l.filter.Test("one@example.com"));
    EXPECT_TRUE(l.filter.Test("x <two@example.com>"));
    EXPECT_TRUE(l.filter.Test("six"));
    for (const char* sender : {"three@example.com", "four@example.com", "five@example.com"})
        EXPECT_FALSE(l.filter.Test(sender)) << sender;
}

// An empty entry would match every sender that is empty, begins with a blank
// or holds "<>".
TEST(PhoFilter, EmptyEntryIsIgnored) {
    Loaded l("brix-pho:\nbrix-pho:   \t \n  brix-pho:\r\nbrix-pho: a@b\n");
    EXPECT_EQ(l.Entries(), (std::vector<std::string>{"a@b"}));
    for (const char* sender : {"", " leading blank", " a@b", "someone <>", "x"})
        EXPECT_FALSE(l.filter.Test(sender)) << sender;
    EXPECT_TRUE(l.filter.Test("a@b (me)"));

    Loaded none("brix-pho:\n");
    EXPECT_TRUE(none.filter.Enabled());
    EXPECT_FALSE(none.filter.Test(""));
}

TEST(PhoFilter, LinesAreReadAsShortTexts) {
    Loaded l("brix-pho: " + std::string(300, 'a') + "\n");
    EXPECT_EQ(l.Entries(), std::vector<std::string>{std::string(255 - 10, 'a')});
}

TEST(PhoFilter, AnswersFalseUntilLoadedAndAfterFreeOrFailedOpen) {
    TempTree dir;
    dir.Write("PHO.TXT", "brix-pho: a@b\n"); // the name is found in any case
    PhoFilter f(Plenty);
    EXPECT_FALSE(f.Test("a@b"));
    ASSERT_TRUE(f.Open(dir / "pho.txt"));
    EXPECT_FALSE(f.Test("a@b"));
    f.Load();
    EXPECT_TRUE(f.Test("a@b"));
    f.Free();
    EXPECT_FALSE(f.Enabled());
    EXPECT_TRUE(f.Entries().empty());
    EXPECT_FALSE(f.Test("a@b"));

    ASSERT_TRUE(f.Open(dir / "pho.txt"));
    f.Load();
    // A failed open leaves nothing of the earlier file.
    EXPECT_FALSE(f.Open(dir / "missing.txt"));
    EXPECT_FALSE(f.Enabled());
    EXPECT_FALSE(f.Test("a@b"));
    EXPECT_FALSE(f.Open(dir.Path()));
    EXPECT_FALSE(f.Open(""));
}

TEST(PhoFilter, UnreadableFileIsNotOpened) {
    TempTree dir;
    ::chmod(dir.Path().c_str(), 0755);
    dir.Write("pho.txt", "brix-pho: a@b\n");
    ::chmod((dir / "pho.txt").c_str(), 0);
    PhoFilter f(Plenty);
    // 0: refused, as it must be; 1: opened.
    EXPECT_EQ(testing::RunUnprivileged([&] { return f.Open(dir / "pho.txt") ? 1 : 0; }), 0);
}

TEST(PhoFilter, LowMemoryLeavesFilterDisabled) {
    TempTree dir;
    dir.Write("pho.txt", "brix-pho: a@b\n");
    PhoFilter low([] { return std::uint64_t{14999}; });
    ASSERT_TRUE(low.Open(dir / "pho.txt"));
    low.Load();
    EXPECT_FALSE(low.Enabled());
    EXPECT_FALSE(low.Test("a@b"));

    PhoFilter enough([] { return std::uint64_t{15000}; });
    ASSERT_TRUE(enough.Open(dir / "pho.txt"));
    enough.Load();
    EXPECT_TRUE(enough.Test("a@b"));
    // The system's own figure is read.
    EXPECT_GT(AvailableMemoryBytes(), PhoFilter::kMinFreeMemory);
}

} // namespace
} // namespace brix
