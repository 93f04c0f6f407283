#include "filter/scorefile.h"
#include "platform/files.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brix {
namespace {

using Lines = std::vector<std::string>;

constexpr std::uint32_t kToday = (2001u << 16) | (6u << 8) | 15u;

class ScorefileEval : public ::testing::Test {
  protected:
    void Load(const std::string& text) {
        auto err = sf.Parse(SplitLines(text), kToday);
        ASSERT_FALSE(err) << err->text << " in line " << err->line;
    }
    tscverdict Score(const Lines& header) { return sf.ScoreHeader(header); }
    std::int32_t Points(const Lines& header) { return Score(header).score; }

    tbrix_scorefile sf;
};

TEST_F(ScorefileEval, SpammersAreKilled) {
    Load("-9999 -100 KILL\n"
         "[*]\n"
         "score -100\n"
         "From=*spammer*\n");
    tscverdict v = Score({"From: Big SPAMMER <x@y>", "Newsgroups: de.test"});
    EXPECT_EQ(v.score, -100);
    EXPECT_EQ(v.action, tscskip);
    v = Score({"From: friend <x@y>", "Newsgroups: de.test"});
    EXPECT_EQ(v.score, 0);
    EXPECT_EQ(v.action, tscnone);
}

TEST_F(ScorefileEval, NegatedSectionWithOnePatternSkipsOnlyItsGroups) {
    Load("[!de.test]\nscore 10\n");
    EXPECT_EQ(Points({"Newsgroups: de.comp.misc"}), 10);
    EXPECT_EQ(Points({"Newsgroups: DE.TEST"}), 0);
}

TEST_F(ScorefileEval, NegatedSectionWithTwoPatternsAppliesToArticlesOfEither) {
    Load("[!de.test, de.comp.*]\nscore 10\n");
    // Each group matches one pattern and so fails the other.
    EXPECT_EQ(Points({"Newsgroups: de.test"}), 10);
    EXPECT_EQ(Points({"Newsgroups: de.comp.misc"}), 10);
    EXPECT_EQ(Points({"Newsgroups: alt.test"}), 10); // counted once, not twice
}

TEST_F(ScorefileEval, SectionWithoutNewsgroupsHeaderNeverApplies) {
    Load("[!de.test]\nscore 10\n[*]\nscore 1\n");
    EXPECT_EQ(Points({"Subject: x"}), 0);
}

TEST_F(ScorefileEval, RuleCountsOncePerSectionHoweverManyPatternsMatch) {
    Load("[de.*, *.test, *]\nscore 10\n[*]\nscore 1\n");
    EXPECT_EQ(Points({"Newsgroups: de.test", "Newsgroups: de.test"}), 11);
}

TEST_F(ScorefileEval, PatternMatchesTheWholeNewsgroupsValue) {
    Load("[de.test]\nscore 10\n");
    EXPECT_EQ(Points({"Newsgroups: de.test"}), 10);
    EXPECT_EQ(Points({"Newsgroups: de.test,de.alt"}), 0);
    EXPECT_EQ(Points({"Newsgroups:\t de.test \t"}), 10);
}

TEST_F(ScorefileEval, HoldingFinalRuleGivesExactlyItsScore) {
    Load("[*]\nscore 30\nscore 12\n"
         "[de.*]\nscore 7\nscore= 50\nSubject=*final*\nscore 1000\n"
         "[*]\nscore 99\n");
    EXPECT_EQ(Points({"Newsgroups: de.test", "Subject: the final word"}), 50);
    // Not holding: everything adds up, the later sections included.
    EXPECT_EQ(Points({"Newsgroups: de.test", "Subject: nothing"}), 30 + 12 + 7 + 1000 + 99);
}

TEST_F(ScorefileEval, AndWithoutConditionsAlwaysHoldsOrWithoutNever) {
    Load("[*]\nscore 5\nor score 100\nand score 20\n");
    EXPECT_EQ(Points({"Newsgroups: x"}), 25);
}

TEST_F(ScorefileEval, AndNeedsAllConditionsOrNeedsOne) {
    Load("[*]\n"
         "score 1\nFrom=*a*\nSubject=*b*\n"
         "or score 10\nFrom=*a*\nSubject=*b*\n");
    EXPECT_EQ(Points({"Newsgroups: x", "From: a", "Subject: b"}), 11);
    EXPECT_EQ(Points({"Newsgroups: x", "From: a", "Subject: c"}), 10);
    EXPECT_EQ(Points({"Newsgroups: x", "From: c", "Subject: b"}), 10);
    EXPECT_EQ(Points({"Newsgroups: x", "From: c", "Subject: c"}), 0);
}

TEST_F(ScorefileEval, LessThanComparesText) {
    Load("[*]\nscore 1\nLines<100\n"
         "score 10\nLines>=100\n"
         "score 100\nLines<=9\n"
         "score 1000\nLines>9\n");
    EXPECT_EQ(Points({"Newsgroups: x", "Lines: 9"}), 10 + 100);
    // Byte by byte "10" is less than "100" and also less than "9".
    EXPECT_EQ(Points({"Newsgroups: x", "Lines: 10"}), 1 + 100);
    EXPECT_EQ(Points({"Newsgroups: x", "Lines: 100"}), 10 + 100);
}

TEST_F(ScorefileEval, ComparisonUsesTheUpperCasedOperandAndTheValueAsItIs) {
    Load("[*]\nscore 1\nSubject<b\n");
    EXPECT_EQ(Points({"Newsgroups: x", "Subject: A"}), 1);
    EXPECT_EQ(Points({"Newsgroups: x", "Subject: a"}), 0); // 'a' > 'B'
}

TEST_F(ScorefileEval, WildcardOperatorsAndCase) {
    Load("[*]\n"
         "score 1\nSubject=*hello?world*\n"
         "score 10\nSubject==*Hello*\n"
         "score 100\nSubject!=*hello*\n"
         "score 1000\nSubject!==*Hello*\n");
    EXPECT_EQ(Points({"Newsgroups: x", "Subject: say HELLO WORLD now"}), 1 + 1000);
    EXPECT_EQ(Points({"Newsgroups: x", "Subject: Hello-World"}), 1 + 10);
    EXPECT_EQ(Points({"Newsgroups: x", "Subject: other"}), 100 + 1000);
}

TEST_F(ScorefileEval, CaseFreeMatchFoldsUmlauts) {
    Load("[*]\nscore 1\nFrom=*m\x81ller*\n");
    EXPECT_EQ(Points({"Newsgroups: x", "From: M\x9ALLER"}), 1);
    EXPECT_EQ(Points({"Newsgroups: x", "From: m\x81ller"}), 1);
}

TEST_F(ScorefileEval, ConditionNeedsOneHeaderOfItsName) {
    Load("[*]\nscore 1\nX-Tag=b\nscore 10\nX-Tag!=b\n");
    EXPECT_EQ(Points({"Newsgroups: x", "X-Tag: a", "X-Tag: b"}), 11);
    EXPECT_EQ(Points({"Newsgroups: x"}), 0); // no header: not even "!=" holds
}

TEST_F(ScorefileEval, LeadingBlankOfTheValueIsPartOfThePattern) {
    Load("[*]\nscore 1\nFrom = *spammer*\nscore 10\nFrom=*spammer*\n");
    // Header values lose their blanks, so the blank-led pattern never holds.
    EXPECT_EQ(Points({"Newsgroups: x", "From:  spammer"}), 10);
    EXPECT_EQ(Points({"Newsgroups: x", "From: a spammer"}), 10);
}

TEST_F(ScorefileEval, HeaderNameIsTheTextBeforeTheFirstColon) {
    Load("[*]\nscore 1\nsubject=a:b\nscore 10\nSUBJECT =x\n");
    EXPECT_EQ(Points({"Newsgroups: x", "sUbJeCt:a:b"}), 1);
    EXPECT_EQ(Points({"Newsgroups: x", "Subject :a:b"}), 0); // name "SUBJECT "
    EXPECT_EQ(Points({"Newsgroups: x", "Subject x"}), 0);    // no colon, no header
}

TEST_F(ScorefileEval, HeaderLinesAreLookedAtUpToTheLimit) {
    Load("[*]\nscore 1\nSubject=*end\n");
    std::string prefix = "Subject: ";
    std::string fits = prefix + std::string(kScoreLineMax - prefix.size() - 3, 'x') + "end";
    std::string tooLong = prefix + std::string(kScoreLineMax - prefix.size() - 2, 'x') + "end";
    EXPECT_EQ(Points({"Newsgroups: x", fits}), 1);
    EXPECT_EQ(Points({"Newsgroups: x", tooLong}), 0);
}

TEST_F(ScorefileEval, LastMatchingKillOrHeaderOnlyRuleWins) {
    Load("-100 -50 KILL\n-60 0 HDRONLY\n-200 200 FLAG_EMPH\n"
         "[*]\nscore -55\nSubject=a\nscore -20\nSubject=b\nscore -200\nSubject=c\n");
    EXPECT_EQ(Score({"Newsgroups: x", "Subject: a"}).action, tschdronly);
    EXPECT_EQ(Score({"Newsgroups: x", "Subject: b"}).action, tschdronly);
    EXPECT_EQ(Score({"Newsgroups: x", "Subject: c"}).action, tscnone); // flag only
    Load("-60 0 HDRONLY\n-100 -50 KILL\n[*]\nscore -55\n");
    EXPECT_EQ(Score({"Newsgroups: x"}).action, tscskip);
}

TEST_F(ScorefileEval, ActionRangeIncludesItsBounds) {
    Load("-10 10 SKIP\n[*]\nscore 10\nSubject=a\nscore -10\nSubject=b\nscore 11\nSubject=c\n");
    EXPECT_EQ(Score({"Newsgroups: x", "Subject: a"}).action, tscskip);
    EXPECT_EQ(Score({"Newsgroups: x", "Subject: b"}).action, tscskip);
    EXPECT_EQ(Score({"Newsgroups: x", "Subject: c"}).action, tscnone);
    EXPECT_EQ(Score({"Subject: a"}).action, tscskip); // score 0 is in range too
}

TEST_F(ScorefileEval, ExpiredRuleNoLongerScores) {
    // Loaded on 15 June 2001: the rule ending that day is gone, the next one stays.
    Load("[*]\nscore 1 expires 15.6.2001\nscore 10 expires 2001-06-16\n");
    EXPECT_EQ(Points({"Newsgroups: x"}), 10);
}

TEST_F(ScorefileEval, SumIsHeldAtTheLimitsOf32Bits) {
    Load("[*]\nscore 2000000000\nscore 2000000000\n[de.*]\nscore -2147483648\n"
         "score -2147483648\nscore -2147483648\n");
    EXPECT_EQ(Points({"Newsgroups: alt.x"}), 2147483647);
    EXPECT_EQ(Points({"Newsgroups: de.x"}), -2147483647 - 1);
}

TEST_F(ScorefileEval, FreedScorefileScoresNothing) {
    Load("-10 10 KILL\n[*]\nscore 1\n");
    sf.Free();
    tscverdict v = Score({"Newsgroups: x"});
    EXPECT_EQ(v.score, 0);
    EXPECT_EQ(v.action, tscnone);
}

TEST(ScorefilePrepare, ContinuationLinesAreJoinedWithOneBlank) {
    Lines out{"stale"};
    tbrix_scorefile::Prepare({" orphan", "Subject: a", "  \t b", "\tc", "From: x", "", " y"}, out);
    // A first line has nothing to continue and stays; an empty line is a
    // line like any other and takes the continuation.
    EXPECT_EQ(out, (Lines{" orphan", "Subject: a b c", "From: x", " y"}));
}

TEST(ScorefilePrepare, FoldedHeaderIsMatchedWhole) {
    tbrix_scorefile sf;
    ASSERT_FALSE(sf.Parse(SplitLines("[*]\nscore 1\nSubject=*first second*\n"), kToday));
    EXPECT_EQ(sf.ScoreHeader({"Newsgroups: x", "Subject: first", "\tsecond"}).score, 1);
    // Unfolded, the lines are two: the second one is no header.
    EXPECT_EQ(sf.Evaluate({"Newsgroups: x", "Subject: first", "\tsecond"}).score, 0);
}

TEST(ScorefilePrepare, EndlessFoldingStopsGrowingPastTheLimit) {
    Lines header{"Subject: a"};
    for (int i = 0; i < 5000; ++i)
        header.push_back(" continued");
    Lines out;
    tbrix_scorefile::Prepare(header, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_GT(out[0].size(), kScoreLineMax);
    EXPECT_LE(out[0].size(), kScoreLineMax + 1);
    EXPECT_EQ(out[0].substr(0, 30), "Subject: a continued continued");
}

} // namespace
} // namespace brix
