#include "filter/scorefile.h"
#include "platform/files.h"
#include "support/text.h"

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
    std::uint32_t today = kToday;
};

TEST(ScorefileEval, ScoreAndVerdictOfEachArticle) {
    // Header lines count up to kScoreLineMax characters.
    const std::string fits = "Subject: " + std::string(kScoreLineMax - 12, 'x') + "end";
    const std::string tooLong = "Subject: " + std::string(kScoreLineMax - 11, 'x') + "end";
    const EvalCase cases[] = {
        {"negated section with one pattern skips only its groups",
         "[!de.test]\nscore 10\n",
         {{{"Newsgroups: de.comp.misc"}, 10}, {{"Newsgroups: DE.TEST"}, 0}}},
        // Each group matches one pattern and so fails the other; counted once.
        {"negated section with two patterns applies to articles of either",
         "[!de.test, de.comp.*]\nscore 10\n",
         {{{"Newsgroups: de.test"}, 10},
          {{"Newsgroups: de.comp.misc"}, 10},
          {{"Newsgroups: alt.test"}, 10}}},
        {"no section applies without a Newsgroups header",
         "[!de.test]\nscore 10\n[*]\nscore 1\n",
         {{{"Subject: x"}, 0}}},
        {"a rule counts once per section however many patterns match",
         "[de.*, *.test, *]\nscore 10\n[*]\nscore 1\n",
         {{{"Newsgroups: de.test", "Newsgroups: de.test"}, 11}}},
        {"a pattern matches the whole Newsgroups value",
         "[de.test]\nscore 10\n",
         {{{"Newsgroups: de.test"}, 10},
          {{"Newsgroups: de.test,de.alt"}, 0},
          {{"Newsgroups:\t de.test \t"}, 10}}},
        // Not holding, everything adds up, the later sections included.
        {"a holding final rule gives exactly its score",
         "[*]\nscore 30\nscore 12\n"
         "[de.*]\nscore 7\nscore= 50\nSubject=*final*\nscore 1000\n"
         "[*]\nscore 99\n",
         {{{"Newsgroups: de.test", "Subject: the final word"}, 50},
          {{"Newsgroups: de.test", "Subject: nothing"}, 30 + 12 + 7 + 1000 + 99}}},
        {"AND without conditions always holds, OR without never",
         "[*]\nscore 5\nor score 100\nand score 20\n",
         {{{"Newsgroups: x"}, 25}}},
        {"AND needs all conditions, OR needs one",
         "[*]\nscore 1\nFrom=*a*\nSubject=*b*\nor score 10\nFrom=*a*\nSubject=*b*\n",
         {{{"Newsgroups: x", "From: a", "Subject: b"}, 11},
          {{"Newsgroups: x", "From: a", "Subject: c"}, 10},
          {{"Newsgroups: x", "From: c", "Subject: b"}, 10},
          {{"Newsgroups: x", "From: c", "Subject: c"}, 0}}},
        // Byte by byte "10" is less than "100" and also less than "9".
        {"comparisons compare text",
         "[*]\nscore 1\nLines<100\nscore 10\nLines>=100\nscore 100\nLines<=9\n"
         "score 1000\nLines>9\n",
         {{{"Newsgroups: x", "Lines: 9"}, 10 + 100},
          {{"Newsgroups: x", "Lines: 10"}, 1 + 100},
          {{"Newsgroups: x", "Lines: 100"}, 10 + 100}}},
        {"a comparison takes the header upper-cased and the value as it is",
         "[*]\nscore 1\nSubject<b\n",
         {{{"Newsgroups: x", "Subject: A"}, 1}, {{"Newsgroups: x", "Subject: a"}, 0}}},
        {"wildcard operators with and without case",
         "[*]\nscore 1\nSubject=*hello?world*\nscore 10\nSubject==*Hello*\n"
         "score 100\nSubject!=*hello*\nscore 1000\nSubject!==*Hello*\n",
         {{{"Newsgroups: x", "Subject: say HELLO WORLD now"}, 1 + 1000},
          {{"Newsgroups: x", "Subject: Hello-World"}, 1 + 10},
          {{"Newsgroups: x", "Subject: other"}, 100 + 1000}}},
        {"a case-free match folds umlauts",
         "[*]\nscore 1\nFrom=*m\x81ller*\n",
         {{{"Newsgroups: x", "From: M\x9ALLER"}, 1}, {{"Newsgroups: x", "From: m\x81ller"}, 1}}},
        {"a condition needs one header of its name; none, and not even != holds",
         "[*]\nscore 1\nX-Tag=b\nscore 10\nX-Tag!=b\n",
         {{{"Newsgroups: x", "X-Tag: a", "X-Tag: b"}, 11}, {{"Newsgroups: x"}, 0}}},
        // Header values lose their blanks, so the blank-led pattern never holds.
        {"a leading blank of the value is part of the pattern",
         "[*]\nscore 1\nFrom = *spammer*\nscore 10\nFrom=*spammer*\n",
         {{{"Newsgroups: x", "From:  spammer"}, 10}, {{"Newsgroups: x", "From: a spammer"}, 10}}},
        {"the header name is the text before the first colon",
         "[*]\nscore 1\nsubject=a:b\nscore 10\nSUBJECT =x\n",
         {{{"Newsgroups: x", "sUbJeCt:a:b"}, 1},
          {{"Newsgroups: x", "Subject :a:b"}, 0},
          {{"Newsgroups: x", "Subject x"}, 0}}},
        {"header lines are looked at up to the limit",
         "[*]\nscore 1\nSubject=*end\n",
         {{{"Newsgroups: x", fits}, 1}, {{"Newsgroups: x", tooLong}, 0}}},
        {"a folded header is matched whole",
         "[*]\nscore 1\nSubject=*first second*\n",
         {{{"Newsgroups: x", "Subject: first", "\tsecond"}, 1}}},
        // Loaded on 15 June 2001, in both date forms: the day, month and year
        // each decide.
        {"a rule expires on its day, not before",
         "[*]\nscore 1 expires 15.6.2001\nscore 2 expires 2001-06-16\n"
         "score 4 expires 1.7.2001\nscore 8 expires 2001-05-30\n"
         "score 16 expires 1.1.2002\nscore 32 expires 2000-12-31\n",
         {{{"Newsgroups: x"}, 2 + 4 + 16}}},
        {"an expired rule takes its NAME and conditions with it",
         "[*]\nscore 100\nFrom=*a*\nscore 1 expires 15.6.2001\nNAME old rule\n"
         "Subject=*old*\nscore 10\nSubject=*new*\n",
         {{{"Newsgroups: x", "From: a", "Subject: new"}, 110},
          {{"Newsgroups: x", "Subject: old"}, 0}}},
        {"the year 65535 never ends",
         "[*]\nscore 1 expires 31.12.65535\n",
         {{{"Newsgroups: x"}, 1}},
         MakeDate(9999, 12, 31)},
        {"the sum is held at the limits of 32 bits",
         "[*]\nscore 2000000000\nscore 2000000000\n"
         "[de.*]\nscore -2147483648\nscore -2147483648\nscore -2147483648\n",
         {{{"Newsgroups: alt.x"}, 2147483647}, {{"Newsgroups: de.x"}, -2147483647 - 1}}},
        {"keywords in any case, blanks around everything, comments between",
         "  -99   -50 hdronly\n0 0 skip\n1 2 flag_hold\n\n"
         "[ de.comp.* ,\tde.test ]\n\tSCORE= -60 EXPIRES 2001-12-31\nname Mixed Case Name\n"
         "Subject ==Hello\n# comment between conditions\nlines<100\nor score 7\nand score 1\n"
         "[! de.test ]\nscore -1\n",
         {{{"Newsgroups: de.test", "Subject: Hello", "Lines: 10"}, -60, tschdronly},
          {{"Newsgroups: de.test", "Subject: hello", "Lines: 10"}, 1},
          {{"Newsgroups: de.comp.misc"}, 0, tscskip},
          {{"Newsgroups: alt.test"}, -1}}},
        // Flags give no verdict of their own.
        {"of two action rules covering a score the last one wins",
         "-100 -50 KILL\n-60 0 HDRONLY\n-200 200 FLAG_EMPH\n"
         "[*]\nscore -55\nSubject=a\nscore -20\nSubject=b\nscore -200\nSubject=c\n",
         {{{"Newsgroups: x", "Subject: a"}, -55, tschdronly},
          {{"Newsgroups: x", "Subject: b"}, -20, tschdronly},
          {{"Newsgroups: x", "Subject: c"}, -200}}},
        {"of two action rules covering a score the last one wins, kill last",
         "-60 0 HDRONLY\n-100 -50 KILL\n[*]\nscore -55\n",
         {{{"Newsgroups: x"}, -55, tscskip}}},
        {"an action range includes its bounds, and 0 without sections",
         "-10 10 SKIP\n1 2 FLAG_DEL\n1 2 FLAG_HOLD\n1 2 FLAG_READ\n"
         "[*]\nscore 10\nSubject=a\nscore -10\nSubject=b\nscore 11\nSubject=c\n",
         {{{"Newsgroups: x", "Subject: a"}, 10, tscskip},
          {{"Newsgroups: x", "Subject: b"}, -10, tscskip},
          {{"Newsgroups: x", "Subject: c"}, 11},
          {{"Subject: a"}, 0, tscskip}}},
    };
    for (const EvalCase& c : cases) {
        SCOPED_TRACE(c.what);
        tbrix_scorefile sf;
        auto err = sf.Parse(SplitLines(c.file), c.today);
        ASSERT_FALSE(err) << err->text << " in line " << err->line;
        for (const Check& k : c.checks) {
            tscverdict v = sf.ScoreHeader(k.header);
            EXPECT_EQ(v.score, k.score) << k.header.back();
            EXPECT_EQ(v.action, k.action) << k.header.back();
        }
    }
}

TEST(ScorefileEval, ReparsedOrFreedScorefileKeepsNothingOfTheOld) {
    tbrix_scorefile sf;
    ASSERT_FALSE(sf.Parse(SplitLines("0 1 KILL\n[a]\nscore 1\n"), kToday));
    ASSERT_FALSE(sf.Parse(SplitLines("[b]\nscore 2\n"), kToday));
    tscverdict v = sf.ScoreHeader({"Newsgroups: a"});
    EXPECT_EQ(v.score, 0);
    EXPECT_EQ(v.action, tscnone); // the old action rule is gone too
    EXPECT_EQ(sf.ScoreHeader({"Newsgroups: b"}).score, 2);
    sf.Free();
    EXPECT_EQ(sf.ScoreHeader({"Newsgroups: b"}).score, 0);
    EXPECT_TRUE(sf.Actions().empty());
    EXPECT_TRUE(sf.Sections().empty());
    for (const char* text : {"", "\n\n", "# nothing\n  ; here\n\t\n"}) {
        EXPECT_FALSE(sf.Parse(SplitLines(text), kToday)) << text;
        EXPECT_TRUE(sf.Sections().empty());
    }
}

TEST(ScorefilePrepare, ContinuationLinesAreJoinedWithOneBlank) {
    Lines out{"stale"};
    tbrix_scorefile::Prepare({" orphan", "Subject: a", "  \t b", "\tc", "From: x", "", " y"}, out);
    // A first line has nothing to continue and stays; an empty line is a
    // line like any other and takes the continuation.
    EXPECT_EQ(out, (Lines{" orphan", "Subject: a b c", "From: x", " y"}));

    // Unprepared, a folded header is two lines and the second is no header.
    tbrix_scorefile sf;
    ASSERT_FALSE(sf.Parse(SplitLines("[*]\nscore 1\nSubject=*first second*\n"), kToday));
    EXPECT_EQ(sf.Evaluate({"Newsgroups: x", "Subject: first", "\tsecond"}).score, 0);

    // Endless folding stops growing past the limit.
    Lines header{"Subject: a"};
    for (int i = 0; i < 5000; ++i)
        header.push_back(" continued");
    tbrix_scorefile::Prepare(header, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_GT(out[0].size(), kScoreLineMax);
    EXPECT_LE(out[0].size(), kScoreLineMax + 1);
    EXPECT_EQ(out[0].substr(0, 30), "Subject: a continued continued");
}

} // namespace
} // namespace brix
