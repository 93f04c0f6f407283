#include "filter/pho.h"

#include "mail/mail_temp_dir.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sys/stat.h>

namespace brix {
namespace {

using testing::MailTempDir;

std::uint64_t Plenty() {
    return 1u << 30;
}

// A filter loaded from a file with the given content.
struct Loaded {
    MailTempDir dir;
    PhoFilter filter{Plenty};
    explicit Loaded(const std::string& content) {
        dir.Write("pho.txt", content);
        EXPECT_TRUE(filter.Open(dir.Path() + "pho.txt"));
        filter.Load();
    }
};

std::vector<std::string> EntriesOf(const PhoFilter& f) {
    return {f.Entries().begin(), f.Entries().end()};
}

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

TEST(PhoFilter, TagIsFoundInAnyCaseAndIndentedAndEntriesAreLowerCased) {
    Loaded l("  BRIX-PHO:  One@Example.COM  \n"
             "\tBrix-Pho:two@example.com\r\n"
             "brix-pho three@example.com\n" // no colon: not a tag
             "killfile: four@example.com\n"
             "# brix-pho: five@example.com\n");
    EXPECT_EQ(EntriesOf(l.filter),
              (std::vector<std::string>{"two@example.com", "one@example.com"}));
    EXPECT_TRUE(l.filter.Test("one@example.com"));
    EXPECT_TRUE(l.filter.Test("x <two@example.com>"));
    EXPECT_FALSE(l.filter.Test("three@example.com"));
    EXPECT_FALSE(l.filter.Test("four@example.com"));
    EXPECT_FALSE(l.filter.Test("five@example.com"));
}

TEST(PhoFilter, EntriesStandInReverseFileOrder) {
    Loaded l("brix-pho: a\nbrix-pho: b\nbrix-pho: c");
    EXPECT_EQ(EntriesOf(l.filter), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_TRUE(l.filter.Test("a"));
    EXPECT_TRUE(l.filter.Test("c"));
}

TEST(PhoFilter, EmptyEntryIsIgnored) {
    Loaded l("brix-pho:\nbrix-pho:   \t \n  brix-pho:\r\n");
    EXPECT_TRUE(l.filter.Enabled());
    EXPECT_TRUE(l.filter.Entries().empty());
    for (const char* sender : {"", " leading blank", "someone <>", "x"})
        EXPECT_FALSE(l.filter.Test(sender)) << sender;
}

TEST(PhoFilter, EmptyEntryBesideRealOnesChangesNothing) {
    Loaded l("brix-pho:\nbrix-pho: a@b\n");
    EXPECT_EQ(EntriesOf(l.filter), (std::vector<std::string>{"a@b"}));
    EXPECT_FALSE(l.filter.Test(""));
    EXPECT_FALSE(l.filter.Test(" a@b"));
    EXPECT_TRUE(l.filter.Test("a@b (me)"));
}

TEST(PhoFilter, LinesAreReadAsShortTexts) {
    std::string address(300, 'a');
    Loaded l("brix-pho: " + address + "\n");
    ASSERT_EQ(EntriesOf(l.filter).size(), 1u);
    EXPECT_EQ(EntriesOf(l.filter)[0], std::string(255 - 10, 'a'));
}

TEST(PhoFilter, AnswersFalseUntilLoaded) {
    MailTempDir dir;
    dir.Write("pho.txt", "brix-pho: a@b\n");
    PhoFilter f(Plenty);
    EXPECT_FALSE(f.Enabled());
    EXPECT_FALSE(f.Test("a@b"));
    ASSERT_TRUE(f.Open(dir.Path() + "pho.txt"));
    EXPECT_FALSE(f.Test("a@b"));
    f.Load();
    EXPECT_TRUE(f.Test("a@b"));
}

TEST(PhoFilter, LowMemoryLeavesFilterDisabled) {
    MailTempDir dir;
    dir.Write("pho.txt", "brix-pho: a@b\n");
    PhoFilter low([] { return std::uint64_t{14999}; });
    ASSERT_TRUE(low.Open(dir.Path() + "pho.txt"));
    low.Load();
    EXPECT_FALSE(low.Enabled());
    EXPECT_FALSE(low.Test("a@b"));

    PhoFilter enough([] { return std::uint64_t{15000}; });
    ASSERT_TRUE(enough.Open(dir.Path() + "pho.txt"));
    enough.Load();
    EXPECT_TRUE(enough.Test("a@b"));
}

TEST(PhoFilter, FreeEmptiesAndDisables) {
    Loaded l("brix-pho: a@b\n");
    l.filter.Free();
    EXPECT_FALSE(l.filter.Enabled());
    EXPECT_TRUE(l.filter.Entries().empty());
    EXPECT_FALSE(l.filter.Test("a@b"));
}

TEST(PhoFilter, FailedOpenLeavesNothingOfAnEarlierFile) {
    Loaded l("brix-pho: a@b\n");
    EXPECT_FALSE(l.filter.Open(l.dir.Path() + "missing.txt"));
    EXPECT_FALSE(l.filter.Enabled());
    EXPECT_FALSE(l.filter.Test("a@b"));
}

TEST(PhoFilter, DirectoryCannotBeOpened) {
    MailTempDir dir;
    PhoFilter f(Plenty);
    EXPECT_FALSE(f.Open(dir.Path()));
    EXPECT_FALSE(f.Open(""));
}

TEST(PhoFilter, FileNameIsFoundInAnyCase) {
    MailTempDir dir;
    dir.Write("KILL.TXT", "brix-pho: a@b\n");
    PhoFilter f(Plenty);
    ASSERT_TRUE(f.Open(dir.Path() + "kill.txt"));
    f.Load();
    EXPECT_TRUE(f.Test("a@b"));
}

TEST(PhoFilter, UnreadableFileIsNotOpened) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    MailTempDir dir;
    dir.Write("pho.txt", "brix-pho: a@b\n");
    ::chmod((dir.Path() + "pho.txt").c_str(), 0);
    PhoFilter f(Plenty);
    EXPECT_FALSE(f.Open(dir.Path() + "pho.txt"));
    EXPECT_FALSE(f.Test("a@b"));
}

TEST(PhoFilter, ProgramWideFilterServesTheJobs) {
    MailTempDir dir;
    dir.Write("pho.txt", "brix-pho: a@b\n");
    ASSERT_TRUE(PhoOpen(dir.Path() + "pho.txt"));
    PhoLoad();
    EXPECT_TRUE(PhoTest("x <a@b>"));
    PhoFree();
    EXPECT_FALSE(PhoTest("x <a@b>"));
}

TEST(PhoFilter, SystemReportsAvailableMemory) {
    EXPECT_GT(AvailableMemoryBytes(), PhoFilter::kMinFreeMemory);
}

} // namespace
} // namespace brix
