#include "filter/scorefile.h"
#include "filter/scorefile_test_util.h"
#include "platform/fakes.h"
#include "platform/files.h"
#include "support/errors.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace brix {
namespace {

using testing::FixedClock;
using testing::MemoryScreen;
using testing::ScoreTempDir;

constexpr std::uint32_t kToday = (2001u << 16) | (6u << 8) | 15u; // 15.06.2001

std::optional<tscloaderror> ParseText(tbrix_scorefile& sf, const std::string& text,
                                      std::uint32_t today = kToday) {
    return sf.Parse(SplitLines(text), today);
}

TEST(ScorefileLoad, BuildsTheModelInFileOrder) {
    tbrix_scorefile sf;
    auto err = ParseText(sf, "; actions\n"
                             "-9999 -100 KILL\n"
                             "  -99   -50 hdronly\n"
                             "0 0 skip\n"
                             "1 2 FLAG_DEL\n"
                             "1 2 flag_hold\n"
                             "1 2 FLAG_READ\n"
                             "1 2 FLAG_EMPH\n"
                             "\n"
                             "[*]\n"
                             "score -100\n"
                             "From=*spammer*\n"
                             "[! de.comp.* ,\tde.test ]\n"
                             "\tSCORE= 50 EXPIRES 2001-12-31\n"
                             "name Mixed Case Name\n"
                             "Subject == Hello\n"
                             "# comment between conditions\n"
                             "lines<100\n"
                             "or score 7\n"
                             "and score -3\n");
    ASSERT_FALSE(err) << err->text;

    const auto& a = sf.Actions();
    ASSERT_EQ(a.size(), 7u);
    EXPECT_EQ(a[0].min, -9999);
    EXPECT_EQ(a[0].max, -100);
    EXPECT_EQ(a[0].action, tskip);
    EXPECT_EQ(a[1].action, thdronly);
    EXPECT_EQ(a[2].action, tskip);
    EXPECT_EQ(a[3].action, tfdel);
    EXPECT_EQ(a[4].action, tfhold);
    EXPECT_EQ(a[5].action, tfread);
    EXPECT_EQ(a[6].action, tfemph);

    const auto& s = sf.Sections();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_FALSE(s[0].negated);
    EXPECT_EQ(s[0].patterns, std::vector<std::string>{"*"});
    ASSERT_EQ(s[0].rules.size(), 1u);
    const tscrule& spam = s[0].rules[0];
    EXPECT_EQ(spam.score, -100);
    EXPECT_EQ(spam.combination, tscand);
    EXPECT_FALSE(spam.final);
    EXPECT_EQ(spam.expires, MakeDate(9999, 12, 31));
    ASSERT_EQ(spam.conditions.size(), 1u);
    EXPECT_EQ(spam.conditions[0].header, "FROM");
    EXPECT_EQ(spam.conditions[0].op, equi);
    EXPECT_EQ(spam.conditions[0].value, "*SPAMMER*");

    EXPECT_TRUE(s[1].negated);
    EXPECT_EQ(s[1].patterns, (std::vector<std::string>{"de.comp.*", "de.test"}));
    ASSERT_EQ(s[1].rules.size(), 3u);
    const tscrule& fin = s[1].rules[0];
    EXPECT_TRUE(fin.final);
    EXPECT_EQ(fin.score, 50);
    EXPECT_EQ(fin.expires, MakeDate(2001, 12, 31));
    EXPECT_EQ(fin.name, "Mixed Case Name");
    ASSERT_EQ(fin.conditions.size(), 2u);
    EXPECT_EQ(fin.conditions[0].header, "SUBJECT");
    EXPECT_EQ(fin.conditions[0].op, equs);
    EXPECT_EQ(fin.conditions[0].value, " Hello"); // kept as written
    EXPECT_EQ(fin.conditions[1].header, "LINES");
    EXPECT_EQ(fin.conditions[1].op, lt);
    EXPECT_EQ(fin.conditions[1].value, "100");
    EXPECT_EQ(s[1].rules[1].combination, tscor);
    EXPECT_EQ(s[1].rules[1].score, 7);
    EXPECT_TRUE(s[1].rules[1].conditions.empty());
    EXPECT_EQ(s[1].rules[2].combination, tscand);
    EXPECT_EQ(s[1].rules[2].score, -3);
}

TEST(ScorefileLoad, EmptyOrCommentOnlyFileHasNoRules) {
    for (const char* text : {"", "\n\n", "# nothing\n  ; here\n\t\n"}) {
        tbrix_scorefile sf;
        EXPECT_FALSE(ParseText(sf, text)) << text;
        EXPECT_TRUE(sf.Actions().empty());
        EXPECT_TRUE(sf.Sections().empty());
    }
}

TEST(ScorefileLoad, OperatorIsTheLeftmostAndAtItsPlaceTheLongest) {
    struct Case {
        const char* line;
        const char* header;
        tcmp op;
        const char* value;
    } cases[] = {
        {"From=*<a@b>*", "FROM", equi, "*<A@B>*"},
        {"From = *x*", "FROM", equi, " *X*"},
        {"From!=*x*", "FROM", nequi, "*X*"},
        {"From!==*x*", "FROM", nequs, "*x*"},
        {"From==*x*", "FROM", equs, "*x*"},
        {"Lines<=10", "LINES", ltequ, "10"},
        {"Lines>=10", "LINES", gtequ, "10"},
        {"Lines<10", "LINES", lt, "10"},
        {"Lines>10", "LINES", gt, "10"},
        {"Subject=a==b", "SUBJECT", equi, "A==B"},
        {"Subject==a=b", "SUBJECT", equs, "a=b"},
        {"Subject<a>b", "SUBJECT", lt, "A>B"},
        {"x!y=z", "X!Y", equi, "Z"},
        {" \tReply-To\t =\x84\x94\x81\x82", "REPLY-TO", equi, "\x8E\x99\x9A\x82"},
        {"Subject==\x84", "SUBJECT", equs, "\x84"},
        {"=x", "", equi, "X"},
    };
    for (const Case& c : cases) {
        std::optional<tsccondition> cond = ParseCondition(c.line);
        ASSERT_TRUE(cond) << c.line;
        EXPECT_EQ(cond->header, c.header) << c.line;
        EXPECT_EQ(cond->op, c.op) << c.line;
        EXPECT_EQ(cond->value, c.value) << c.line;
    }
    EXPECT_FALSE(ParseCondition("From x"));
    EXPECT_FALSE(ParseCondition("From="));
    EXPECT_FALSE(ParseCondition("From!=="));
    EXPECT_FALSE(ParseCondition(""));
}

TEST(ScorefileLoad, DatesInBothFormsAndTheirRange) {
    struct Case {
        const char* text;
        bool split;
        int y, m, d;
    } cases[] = {
        {"2001-12-31", true, 2001, 12, 31},
        {"31.12.2001", true, 2001, 12, 31},
        {"1.2.1999", true, 1999, 2, 1},
        {" 5 . 6 . 2002 ", true, 2002, 6, 5},
        {"2001/12/31", false, 0, 0, 0},
        {"31.12", false, 0, 0, 0},
        {"1.2.3.4", false, 0, 0, 0},
        {"2001-12", false, 0, 0, 0},
        {"a.b.c", false, 0, 0, 0},
        {"31.12.2001x", false, 0, 0, 0},
        {"", false, 0, 0, 0},
        {"2001-12.31", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        int y = 0, m = 0, d = 0;
        EXPECT_EQ(SplitScoreDate(c.text, y, m, d), c.split) << c.text;
        if (!c.split) continue;
        EXPECT_EQ(y, c.y) << c.text;
        EXPECT_EQ(m, c.m) << c.text;
        EXPECT_EQ(d, c.d) << c.text;
    }
    struct Valid {
        int y, m, d;
        bool ok;
    } valid[] = {
        {2000, 2, 29, true}, {1900, 2, 29, false},  {2004, 2, 29, true},  {2001, 2, 29, false},
        {1700, 1, 1, true},  {1699, 12, 31, false}, {9999, 12, 31, true}, {10000, 1, 1, false},
        {2001, 0, 1, false}, {2001, 13, 1, false},  {2001, 4, 30, true},  {2001, 4, 31, false},
        {2001, 1, 0, false}, {2001, 1, 32, false},  {65535, 1, 1, true},  {1, 1, 1, false},
    };
    for (const Valid& v : valid)
        EXPECT_EQ(ValidScoreDate(v.y, v.m, v.d), v.ok) << v.y << "-" << v.m << "-" << v.d;
}

std::string ExpiringFile(const char* date) {
    return std::string("[*]\n"
                       "score 1 expires ") +
           date +
           "\n"
           "NAME old rule\n"
           "Subject=*old*\n"
           "score 2\n"
           "Subject=*new*\n";
}

TEST(ScorefileLoad, RuleIsUsedBeforeItsDayAndDroppedOnIt) {
    struct Case {
        std::uint32_t today;
        bool kept;
    } cases[] = {
        {MakeDate(2001, 12, 30), true},
        {MakeDate(2001, 12, 31), false},
        {MakeDate(2002, 1, 1), false},
        {MakeDate(2001, 1, 31), true},
    };
    for (const char* date : {"2001-12-31", "31.12.2001"}) {
        for (const Case& c : cases) {
            tbrix_scorefile sf;
            ASSERT_FALSE(ParseText(sf, ExpiringFile(date), c.today));
            ASSERT_EQ(sf.Sections().size(), 1u);
            const auto& rules = sf.Sections()[0].rules;
            ASSERT_EQ(rules.size(), c.kept ? 2u : 1u) << date << " " << c.today;
            // The dropped rule takes its NAME and conditions with it.
            EXPECT_EQ(rules.back().score, 2);
            ASSERT_EQ(rules.back().conditions.size(), 1u);
            EXPECT_EQ(rules.back().conditions[0].value, "*NEW*");
            if (c.kept) {
                EXPECT_EQ(rules[0].name, "old rule");
            }
        }
    }
}

TEST(ScorefileLoad, YearSixtyFiveThousandFiveHundredThirtyFiveNeverEnds) {
    tbrix_scorefile sf;
    ASSERT_FALSE(ParseText(sf, "[*]\nscore 1 expires 31.12.65535\n", MakeDate(9999, 12, 31)));
    ASSERT_EQ(sf.Sections()[0].rules.size(), 1u);
}

TEST(ScorefileLoad, LoadReadsTheFileUnderAnyCaseAndUsesTheClocksDay) {
    ScoreTempDir dir;
    dir.Write("qvscore.sc", "0 10 KILL\r\n[*]\r\nscore 5 expires 3.2.2001\r\nscore 6 expires "
                            "4.2.2001\r\n");
    FixedClock clock; // 3 February 2001
    tbrix_scorefile sf;
    EXPECT_TRUE(sf.Load(dir.Path() + "QVSCORE.SC"));
    ASSERT_EQ(sf.Actions().size(), 1u);
    ASSERT_EQ(sf.Sections().size(), 1u);
    ASSERT_EQ(sf.Sections()[0].rules.size(), 1u);
    EXPECT_EQ(sf.Sections()[0].rules[0].score, 6);
    sf.Free();
    EXPECT_TRUE(sf.Actions().empty());
    EXPECT_TRUE(sf.Sections().empty());
}

TEST(ScorefileLoad, MissingOrUnreadableFileRaisesInOutError) {
    ScoreTempDir dir;
    tbrix_scorefile sf;
    EXPECT_THROW(sf.Load(dir.Path() + "QVSCORE.SC"), EInOutError);
    EXPECT_THROW(sf.Load(dir.Path()), EInOutError); // a directory
}

// Every check of the loader, with the line it reports and its exit code.
struct ErrorCase {
    const char* file;
    int line;
    const char* raw;
    const char* text;
    int exitCode;
};

const ErrorCase kErrors[] = {
    {"0 10\n", 1, "0 10", ": fehlerhafter Eintrag.", 11},
    {"\n0 10 KILL\nKILL\n", 3, "KILL", ": fehlerhafter Eintrag.", 11},
    {"x 10 KILL\n", 1, "x 10 KILL", ": Zahl erwartet.", 11},
    {"0 1O KILL\n", 1, "0 1O KILL", ": Zahl erwartet.", 11},
    {"0 0\tKILL x\n", 1, "0 0\tKILL x", ": Zahl erwartet.", 11},
    {"10 0 KILL\n", 1, "10 0 KILL", ": kleinere Zahl zuerst!", 11},
    {"0 10 kaputt\n", 1, "0 10 kaputt", ": falsches Kommando: KAPUTT", 11},
    {"[ \t]\nscore 1\n", 1, "[ \t]", ": keine Gruppe.", 7},
    {"[!]\nscore 1\n", 1, "[!]", ": keine Gruppe.", 7},
    {"[de.*\nscore 1\n", 1, "[de.*", ": keine Gruppe, ']' erwartet.", 7},
    {"[de.*] \nscore 1\n", 1, "[de.*] ", ": keine Gruppe, ']' erwartet.", 7},
    {"[\n", 1, "[", ": keine Gruppe, ']' erwartet.", 7},
    {"0 10 KILL\n# no section follows\n", 2, "# no section follows",
     ": keine Gruppe, '[' erwartet.", 7},
    {"[*]\nFrom=x\n", 2, "From=x", ": kein Score.", 8},
    {"[*]\n[de.*]\nscore 1\n", 2, "[de.*]", ": kein Score.", 8},
    {"[*]\nscore 1\nAND From=x\n", 3, "AND From=x", ": kein Score.", 8},
    {"[*]\nscore 1\nOR NAME\n", 3, "OR NAME", ": kein Score.", 8},
    {"[*]\n", 1, "[*]", ": kein Score.", 8},
    {"[*]\nscore x\n", 2, "score x", ": kein Score, Zahl erwartet", 8},
    {"[*]\nscore\n", 2, "score", ": kein Score, Zahl erwartet", 8},
    {"[*]\nscore 5 foo\n", 2, "score 5 foo", ": kein Score, Zahl erwartet", 8},
    {"[*]\nscore= expires 1.1.2030\n", 2, "score= expires 1.1.2030", ": kein Score, Zahl erwartet",
     8},
    {"[*]\nscore 99999999999\n", 2, "score 99999999999", ": kein Score, Zahl erwartet", 8},
    {"[*]\nscore 1\nFrom=x\nNAME late\n", 4, "NAME late", ": Name ohne vorheriges SCORE.", 10},
    {"[*]\nscore 1\nNAME a\nname b\n", 4, "name b", ": Name ohne vorheriges SCORE.", 10},
    {"[*]\nscore 1\nFrom x\n", 3, "From x", ": kein Filtereintrag.", 9},
    {"[*]\nscore 1\nFrom=\n", 3, "From=", ": kein Filtereintrag.", 9},
    {"[*]\nscore 1\nNAME\n", 3, "NAME", ": kein Filtereintrag.", 9},
    {"[*]\nscore 1 expires 2030/12/31\n", 2, "score 1 expires 2030/12/31", ": expires: kein Datum.",
     4},
    {"[*]\nscore 1 expires\n", 2, "score 1 expires", ": expires: kein Datum.", 4},
    {"[*]\nscore 1 expires 31.12.\n", 2, "score 1 expires 31.12.", ": expires: kein Datum.", 4},
    {"[*]\nscore 1 expires 31.02.2030\n", 2, "score 1 expires 31.02.2030",
     ": expires: Datum ung\x81ltig.", 4},
    {"[*]\nscore 1 expires 2030-13-01\n", 2, "score 1 expires 2030-13-01",
     ": expires: Datum ung\x81ltig.", 4},
    {"[*]\nscore 1 expires 1.1.1699\n", 2, "score 1 expires 1.1.1699",
     ": expires: Datum ung\x81ltig.", 4},
    {"[*]\nscore 1 expires 1.1.01\n", 2, "score 1 expires 1.1.01", ": expires: Datum ung\x81ltig.",
     4},
    // An expired rule is still read in full.
    {"[*]\nscore 1 expires 1.1.2000\nFrom x\n", 3, "From x", ": kein Filtereintrag.", 9},
    // Line numbers count every line, raw lines keep their leading blanks.
    {"# c\n\n  ; c2\r\n[*]\r\n  score x\r\n", 5, "  score x", ": kein Score, Zahl erwartet", 8},
};

TEST(ScorefileLoad, EveryCheckReportsItsLineTextAndExitCode) {
    for (const ErrorCase& c : kErrors) {
        tbrix_scorefile sf;
        std::optional<tscloaderror> err = ParseText(sf, c.file);
        ASSERT_TRUE(err) << c.file;
        EXPECT_EQ(err->line, c.line) << c.file;
        EXPECT_EQ(err->rawLine, c.raw) << c.file;
        EXPECT_EQ(err->text, c.text) << c.file;
        EXPECT_EQ(err->exitCode, c.exitCode) << c.file;
        EXPECT_EQ(err->Message("/q/QVSCORE.SC"),
                  "Fehler in /q/QVSCORE.SC bei " + err->code + c.text);
        // A failed load leaves nothing half-built behind.
        EXPECT_TRUE(sf.Actions().empty());
        EXPECT_TRUE(sf.Sections().empty());
    }
}

TEST(ScorefileLoad, EachCheckHasItsOwnStableCode) {
    std::map<std::string, std::string> codeOfText;
    for (const ErrorCase& c : kErrors) {
        tbrix_scorefile sf;
        std::optional<tscloaderror> err = ParseText(sf, c.file);
        ASSERT_TRUE(err);
        ASSERT_EQ(err->code.size(), 8u);
        EXPECT_EQ(err->code.find_first_not_of("0123456789ABCDEF"), std::string::npos) << err->code;
        std::string text =
            err->text.rfind(": falsches Kommando: ", 0) == 0 ? ": falsches Kommando: " : err->text;
        auto [it, added] = codeOfText.emplace(text, err->code);
        EXPECT_EQ(it->second, err->code) << "one check, one code: " << text;
        // The same file gives the same code again.
        tbrix_scorefile again;
        EXPECT_EQ(ParseText(again, c.file)->code, err->code);
    }
    EXPECT_EQ(codeOfText.size(), 13u);
    std::set<std::string> codes;
    for (const auto& [text, code] : codeOfText)
        codes.insert(code);
    EXPECT_EQ(codes.size(), codeOfText.size()) << "codes must tell the checks apart";
}

TEST(ScorefileLoad, ErrorReportShowsLineNumberAndRawLine) {
    MemoryScreen screen;
    tbrix_scorefile sf;
    std::optional<tscloaderror> err = ParseText(sf, "[*]\nscore 1\n  From x\n");
    ASSERT_TRUE(err);
    ShowScorefileError(*err);
    EXPECT_EQ(screen.output, "\n\nFehler in Zeile 3:\n  From x\n\n");
}

TEST(ScorefileLoad, ParseReplacesAnEarlierModel) {
    tbrix_scorefile sf;
    ASSERT_FALSE(ParseText(sf, "0 1 KILL\n[a]\nscore 1\n"));
    ASSERT_FALSE(ParseText(sf, "[b]\nscore 2\n"));
    EXPECT_TRUE(sf.Actions().empty());
    ASSERT_EQ(sf.Sections().size(), 1u);
    EXPECT_EQ(sf.Sections()[0].patterns[0], "b");
}

TEST(ScorefileLoad, ListsCanTakeItemsAtEitherEnd) {
    std::vector<int> l;
    AddToList(l, 1, hinten);
    AddToList(l, 2, hinten);
    AddToList(l, 0, vorn);
    EXPECT_EQ(l, (std::vector<int>{0, 1, 2}));
}

} // namespace
} // namespace brix
