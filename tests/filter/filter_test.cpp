// The scorefile (its scoring table and the folding limit) and the sender
// filter's entries and matches.

#include "filter/pho.h"
#include "filter/scorefile.h"
#include "platform/files.h"
#include "support/text.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brix {
namespace {

using Lines = std::vector<std::string>;

const std::uint32_t kToday = MakeDate(2001, 6, 15);

struct Check {
    Lines header;
    std::int32_t score;
    tscaction action = tscnone;
};

struct EvalCase {
    const char* what;
    std::string file;
    std::vector<Check> checks;
};

TEST(ScorefileEval, ScoreAndVerdictOfEachArticle) {
    const EvalCase cases[] = {
        {"negated section with one pattern skips only its groups",
         "[!de.test]\nscore 10\n",
         {{{"Newsgroups: de.comp.misc"}, 10}, {{"Newsgroups: DE.TEST"}, 0}, {{"Subject: x"}, 0}}},
        // Not holding, everything adds up, the later sections included.
        {"a holding final rule gives exactly its score",
         "[*]\nscore 30\n[de.*]\nscore= 50\nSubject=*final*\nscore 1000\n[*]\nscore 99\n",
         {{{"Newsgroups: de.test", "Subject: the final word"}, 50},
          {{"Newsgroups: de.test", "Subject: nothing"}, 30 + 1000 + 99}}},
        // Continuation lines join the line above with one blank.
        {"conditions see whole header lines",
         "[*]\nscore 1\nSubject==a b c\n",
         {{{"Newsgroups: x", "Subject: a", "  \t b", "\tc"}, 1},
          {{"Newsgroups: x", "Subject: a"}, 0}}},
        {"AND without conditions always holds, OR without never",
         "[*]\nscore 5\nor score 100\nand score 20\n",
         {{{"Newsgroups: x"}, 25}}},
        {"AND needs all conditions, OR needs one",
         "[*]\nscore 1\nFrom=*a*\nSubject=*b*\nor score 10\nFrom=*a*\nSubject=*b*\n",
         {{{"Newsgroups: x", "From: a", "Subject: b"}, 11},
          {{"Newsgroups: x", "From: a", "Subject: c"}, 10},
          {{"Newsgroups: x", "From: c", "Subject: c"}, 0}}},
        // Byte by byte "10" is less than "100" and also less than "9".
        {"comparisons compare text",
         "[*]\nscore 1\nLines<100\nscore 10\nLines>=100\nscore 100\nLines<=9\n"
         "score 1000\nLines>9\n",
         {{{"Newsgroups: x", "Lines: 9"}, 10 + 100}, {{"Newsgroups: x", "Lines: 10"}, 1 + 100}}},
        {"wildcard operators with and without case; umlauts fold",
         "[*]\nscore 1\nSubject=*hello?w\x94rld*\nscore 10\nSubject==*Hello*\n"
         "score 100\nSubject!=*hello*\nscore 1000\nSubject!==*Hello*\n",
         {{{"Newsgroups: x", "Subject: say HELLO W\x99RLD now"}, 1 + 1000},
          {{"Newsgroups: x", "Subject: Hello-W\x94rld"}, 1 + 10},
          {{"Newsgroups: x", "Subject: other"}, 100 + 1000}}},
        // The header name is trimmed; the value is the rest of the line.
        {"the operator is the leftmost in the line, at its place the longest",
         "[*]\nscore 1\nSubject=a==b\nscore 10\nSubject==a=b\nscore 100\nSubject<a>b\n"
         "score 1000\nx!y=z\nscore 10000\n \tReply-To\t =\x84\x94\x81\x82\n",
         {{{"Newsgroups: x", "Subject: a==B", "X!Y: z", "Reply-To: \x84\x94\x81\x82"}, 11001},
          {{"Newsgroups: x", "Subject: a=b"}, 10},
          {{"Newsgroups: x", "Subject: A=B"}, 100}}},
        // Loaded on 15 June 2001, in both date forms.
        {"a rule expires on its day, not before",
         "[*]\nscore 1 expires 15.6.2001\nscore 2 expires 2001-06-16\n"
         "score 4 expires 1.1.2002\nscore 8 expires 2001-05-30\n",
         {{{"Newsgroups: x"}, 2 + 4}}},
        {"an expired rule takes its conditions with it",
         "[*]\nscore 1 expires 15.6.2001\nNAME old\nSubject=*old*\nscore 10\nSubject=*new*\n",
         {{{"Newsgroups: x", "Subject: new"}, 10}}},
        {"the sum is held at the limits of 32 bits",
         "[*]\nscore 2000000000\nscore 2000000000\n"
         "[de.*]\nscore -2147483648\nscore -2147483648\nscore -2147483648\n",
         {{{"Newsgroups: alt.x"}, 2147483647}, {{"Newsgroups: de.x"}, -2147483647 - 1}}},
        // Flags give no verdict of their own; a range includes its bounds.
        {"of two action rules covering a score the last one wins",
         "-100 -50 KILL\n-60 0 HDRONLY\n-200 200 FLAG_EMPH\n"
         "[*]\nscore -60\nSubject=a\nscore -20\nSubject=b\nscore -200\nSubject=c\n",
         {{{"Newsgroups: x", "Subject: a"}, -60, tschdronly},
          {{"Newsgroups: x", "Subject: b"}, -20, tschdronly},
          {{"Newsgroups: x", "Subject: c"}, -200}}},
    };
    for (const EvalCase& c : cases) {
        SCOPED_TRACE(c.what);
        tbrix_scorefile sf;
        auto err = sf.Parse(SplitLines(c.file), kToday);
        ASSERT_FALSE(err) << err->text << " in line " << err->line;
        for (const Check& k : c.checks) {
            tscverdict v = sf.ScoreHeader(k.header);
            EXPECT_EQ(v.score, k.score) << k.header.back();
            EXPECT_EQ(v.action, k.action) << k.header.back();
        }
    }
}

// Endless folding stops growing past the limit.
TEST(ScorefilePrepare, FoldingIsCutAtTheLineLimit) {
    Lines header{"Subject: a"}, out;
    header.resize(5000, " continued");
    tbrix_scorefile::Prepare(header, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_GT(out[0].size(), kScoreLineMax);
    EXPECT_LE(out[0].size(), kScoreLineMax + 1);
}

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
