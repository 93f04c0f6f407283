#include "filter/pho.h"

#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

TEST(PhoFilter, EntriesAndWhatTheyMatch) {
    testing::TempTree dir;
    dir.Write("PHO.TXT", "  BRIX-PHO:  Spam@Example.COM  \n" // the name is found in any case
                         "\tBrix-Pho:two@example.com\r\n"
                         "brix-pho three@example.com\n" // no colon: not a tag
                         "# brix-pho: five@example.com\n"
                         "brix-pho:   \t \n" // an empty entry would match every empty sender
                         "brix-pho: six");
    PhoFilter filter([] { return std::uint64_t{1} << 30; });
    ASSERT_TRUE(filter.Open(dir / "pho.txt"));
    filter.Load();
    EXPECT_EQ(std::vector<std::string>(filter.Entries().begin(), filter.Entries().end()),
              (std::vector<std::string>{"six", "two@example.com", "spam@example.com"}));
    // Only the whole address matches, alone or in <> or before " (".
    const std::pair<const char*, bool> cases[] = {{"joe spammer <spam@example.com>", true},
                                                  {"spam@example.com (joe spammer)", true},
                                                  {"spam@example.com", true},
                                                  {"xspam@example.com (x)", false},
                                                  {"mail me at spam@example.com today", false},
                                                  {"spam@example.com\t(tab is no blank)", false},
                                                  {"<spam@example.com", false},
                                                  {"", false},
                                                  {"someone <>", false}};
    for (const auto& [sender, match] : cases)
        EXPECT_EQ(filter.Test(sender), match) << sender;
    filter.Free();
    EXPECT_FALSE(filter.Test("spam@example.com"));
}

} // namespace
} // namespace brix
