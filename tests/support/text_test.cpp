#include "support/errors.h"
#include "support/text.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

TEST(Text, FormatSizeStrToIntAndWildcards) {
    struct {
        std::int64_t size;
        const char* text;
    } sizes[] = {{1023, "1023"},   {1024, "1,00K"},  {1100, "1,07K"},
                 {10752, "10,5K"}, {102400, "100K"}, {2147483647, "1,99G"}};
    for (const auto& c : sizes)
        EXPECT_EQ(FormatSize(c.size), c.text) << c.size;
    EXPECT_THROW(FormatSize(-1), ERangeError);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
    for (const char* bad : {"12a", " 1", "2147483648"})
        EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
    // Flag 0 ignores case, as spool names are matched.
    EXPECT_TRUE(WildcardMatch("a?c", "abc", 1));
    EXPECT_FALSE(WildcardMatch("ABC", "abc", 1));
    EXPECT_TRUE(WildcardMatch("m*.out", "M0001.OUT", 0));
    EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*b", std::string(43, 'a'), 1));
}

} // namespace
} // namespace brix
