#include "filter/scorefile.h"
#include "support/language.h"

#include "platform/clock.h"
#include "platform/files.h"
#include "support/errors.h"
#include "support/text.h"

namespace brix {

namespace {

bool IsBlankOrTab(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && IsBlankOrTab(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlankOrTab(s.back()))
        s.remove_suffix(1);
    return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// Every line of the file goes through here: it counts the lines, remembers
// the raw one for the error report and passes over comments and empty lines.
class LineReader {
  public:
    explicit LineReader(const std::vector<std::string>& lines) : lines_(lines) {}

    // False at the end of the file; the last raw line and its number stay.
    bool Next() {
        while (next_ < lines_.size()) {
            raw_ = &lines_[next_++];
            ++number_;
            std::string_view t = *raw_;
            while (!t.empty() && IsBlankOrTab(t.front()))
                t.remove_prefix(1);
            if (t.empty() || t.front() == '#' || t.front() == ';') continue;
            text_ = t;
            upper_.assign(t);
            UpperCaseUmlauts(upper_);
            return true;
        }
        return false;
    }

    int Number() const { return number_; }
    const std::string& Raw() const { return raw_ ? *raw_ : empty_; }
    // The line without leading blanks and TABs, as written.
    std::string_view Text() const { return text_; }
    // The same in upper case, for keyword tests.
    const std::string& Upper() const { return upper_; }

  private:
    const std::vector<std::string>& lines_;
    std::size_t next_ = 0;
    int number_ = 0;
    const std::string* raw_ = nullptr;
    std::string_view text_;
    std::string upper_;
    const std::string empty_;
};

bool IsRuleOrSection(std::string_view upper) {
    return StartsWith(upper, "AND ") || StartsWith(upper, "OR ") || StartsWith(upper, "SCORE") ||
           StartsWith(upper, "[");
}

struct ActionWord {
    const char* word;
    taction action;
};
constexpr ActionWord kActionWords[] = {
    {"KILL", tskip},       {"SKIP", tskip},       {"HDRONLY", thdronly}, {"FLAG_DEL", tfdel},
    {"FLAG_HOLD", tfhold}, {"FLAG_READ", tfread}, {"FLAG_EMPH", tfemph},
};

struct OperatorText {
    const char* text;
    tcmp op;
};
// At one position the longer operators come first.
constexpr OperatorText kOperators[] = {
    {"!==", nequs}, {"!=", nequi}, {"==", equs}, {"<=", ltequ},
    {">=", gtequ},  {"<", lt},     {">", gt},    {"=", equi},
};

class Parser {
  public:
    Parser(const std::vector<std::string>& lines, std::uint32_t today,
           std::vector<tscactionrule>& actions, std::vector<tscsection>& sections)
        : reader_(lines), today_(today), actions_(actions), sections_(sections) {}

    std::optional<tscloaderror> Run();

  private:
    std::optional<tscloaderror> ActionLine();
    std::optional<tscloaderror> SectionLine(tscsection& section);
    std::optional<tscloaderror> RuleLine(tscrule& rule);
    std::optional<tscloaderror> ExpiresDate(std::string_view text, tscrule& rule);

    tscloaderror Fail(std::string code, std::string text, int exitCode) const {
        return tscloaderror{reader_.Number(), reader_.Raw(), std::move(text), std::move(code),
                            exitCode};
    }

    LineReader reader_;
    std::uint32_t today_;
    std::vector<tscactionrule>& actions_;
    std::vector<tscsection>& sections_;
    bool have_ = false;
};

std::optional<tscloaderror> Parser::Run() {
    have_ = reader_.Next();
    bool anyAction = false;
    while (have_ && !StartsWith(reader_.Upper(), "[")) {
        if (auto e = ActionLine()) return e;
        anyAction = true;
        have_ = reader_.Next();
    }
    // A file of action lines alone has lost its sections; an empty file has
    // simply no rules.
    if (!have_ && !anyAction) return std::nullopt;
    if (!have_) return Fail(CallSiteCode(), ": keine Gruppe, '[' erwartet.", 7);

    // Here the line begins with "[": the condition lines of a rule run up to
    // the next rule or section, so every section starts where one is due.
    while (have_) {
        tscsection section;
        if (auto e = SectionLine(section)) return e;
        have_ = reader_.Next();
        do {
            tscrule rule;
            if (auto e = RuleLine(rule)) return e;
            have_ = reader_.Next();
            if (have_ && StartsWith(reader_.Upper(), "NAME ")) {
                rule.name = std::string(reader_.Text().substr(5));
                have_ = reader_.Next();
            }
            while (have_ && !IsRuleOrSection(reader_.Upper())) {
                if (StartsWith(reader_.Upper(), "NAME "))
                    return Fail(CallSiteCode(), ": Name ohne vorheriges SCORE.", 10);
                std::optional<tsccondition> c = ParseCondition(reader_.Text());
                if (!c) return Fail(CallSiteCode(), ": kein Filtereintrag.", 9);
                AddToList(rule.conditions, std::move(*c), hinten);
                have_ = reader_.Next();
            }
            // A rule that has run out is read in full (its lines must still
            // be valid) but never used.
            if (rule.expires > today_) AddToList(section.rules, std::move(rule), hinten);
        } while (have_ && !StartsWith(reader_.Upper(), "["));
        AddToList(sections_, std::move(section), hinten);
    }
    return std::nullopt;
}

std::optional<tscloaderror> Parser::ActionLine() {
    const std::string& u = reader_.Upper();
    if (WordCount(u) < 3) return Fail(CallSiteCode(), ": fehlerhafter Eintrag.", 11);
    tscactionrule a;
    if (!TryStrToInt(ExtractWord(1, u), a.min) || !TryStrToInt(ExtractWord(2, u), a.max))
        return Fail(CallSiteCode(), ": Zahl erwartet.", 11);
    if (a.min > a.max) return Fail(CallSiteCode(), ": kleinere Zahl zuerst!", 11);
    std::string word = ExtractWord(3, u);
    bool known = false;
    for (const ActionWord& w : kActionWords) {
        if (word == w.word) {
            a.action = w.action;
            known = true;
            break;
        }
    }
    if (!known) return Fail(CallSiteCode(), Tr(": falsches Kommando: %s", {word}), 11);
    AddToList(actions_, a, hinten);
    return std::nullopt;
}

std::optional<tscloaderror> Parser::SectionLine(tscsection& section) {
    std::string_view t = reader_.Text();
    if (t.size() < 2 || t.back() != ']')
        return Fail(CallSiteCode(), ": keine Gruppe, ']' erwartet.", 7);
    t = t.substr(1, t.size() - 2);
    if (StartsWith(t, "!")) {
        section.negated = true;
        t.remove_prefix(1);
    }
    if (TrimView(t).empty()) return Fail(CallSiteCode(), ": keine Gruppe.", 7);
    for (;;) {
        std::size_t comma = t.find(',');
        AddToList(section.patterns, std::string(TrimView(t.substr(0, comma))), hinten);
        if (comma == std::string_view::npos) break;
        t.remove_prefix(comma + 1);
    }
    return std::nullopt;
}

std::optional<tscloaderror> Parser::RuleLine(tscrule& rule) {
    std::string_view u = have_ ? std::string_view(reader_.Upper()) : std::string_view();
    if (StartsWith(u, "AND ")) {
        u.remove_prefix(4);
    } else if (StartsWith(u, "OR ")) {
        rule.combination = tscor;
        u.remove_prefix(3);
    }
    u = TrimView(u);
    // Also the end of the file right after a section header lands here.
    if (!have_ || !StartsWith(u, "SCORE")) return Fail(CallSiteCode(), ": kein Score.", 8);
    u = TrimView(u.substr(5));
    if (StartsWith(u, "=")) {
        rule.final = true;
        u = TrimView(u.substr(1));
    }
    std::size_t expires = u.find("EXPIRES");
    if (!TryStrToInt(TrimView(u.substr(0, expires)), rule.score))
        return Fail(CallSiteCode(), ": kein Score, Zahl erwartet", 8);
    rule.expires = MakeDate(9999, 12, 31);
    if (expires != std::string_view::npos)
        return ExpiresDate(TrimView(u.substr(expires + 7)), rule);
    return std::nullopt;
}

std::optional<tscloaderror> Parser::ExpiresDate(std::string_view text, tscrule& rule) {
    int year = 0, month = 0, day = 0;
    if (!SplitScoreDate(text, year, month, day))
        return Fail(CallSiteCode(), ": expires: kein Datum.", 4);
    if (!ValidScoreDate(year, month, day))
        return Fail(CallSiteCode(), ": expires: Datum ung\x81ltig.", 4);
    rule.expires = MakeDate(year, month, day);
    return std::nullopt;
}

} // namespace

std::optional<tsccondition> ParseCondition(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        for (const OperatorText& o : kOperators) {
            std::string_view op = o.text;
            if (line.substr(i, op.size()) != op) continue;
            tsccondition c;
            c.op = o.op;
            c.header = std::string(TrimView(line.substr(0, i)));
            UpperCaseUmlauts(c.header);
            c.value = std::string(line.substr(i + op.size()));
            if (c.value.empty()) return std::nullopt;
            if (c.op != equs && c.op != nequs) UpperCaseUmlauts(c.value);
            return c;
        }
    }
    return std::nullopt;
}

bool SplitScoreDate(std::string_view text, int& year, int& month, int& day) {
    char sep = text.find('-') != std::string_view::npos   ? '-'
               : text.find('.') != std::string_view::npos ? '.'
                                                          : '\0';
    if (sep == '\0') return false;
    std::int32_t part[3] = {};
    for (int n = 0; n < 3; ++n) {
        std::size_t at = text.find(sep);
        if ((n < 2) != (at != std::string_view::npos)) return false; // two separators, no more
        if (!TryStrToInt(TrimView(text.substr(0, at)), part[n])) return false;
        if (at != std::string_view::npos) text.remove_prefix(at + 1);
    }
    if (sep == '-') {
        year = part[0];
        month = part[1];
        day = part[2];
    } else {
        day = part[0];
        month = part[1];
        year = part[2];
    }
    return true;
}

bool ValidScoreDate(int year, int month, int day) {
    if (month < 1 || month > 12) return false;
    // 65535 is the largest year a packed date holds; it stands for "never".
    if ((year < 1700 || year > 9999) && year != 65535) return false;
    return day >= 1 && day <= DaysInMonth(month, year);
}

std::optional<tscloaderror> tbrix_scorefile::Parse(const std::vector<std::string>& lines,
                                                   std::uint32_t today) {
    Free();
    std::optional<tscloaderror> error = Parser(lines, today, actions_, sections_).Run();
    if (error)
        Free();
    else
        BuildSlots();
    return error;
}

bool tbrix_scorefile::Load(const std::string& path) {
    std::vector<std::string> lines = ReadLines(path);
    if (std::optional<tscloaderror> error = Parse(lines, Today()))
        HaltOnScorefileError(path, *error);
    return true;
}

void tbrix_scorefile::Free() {
    actions_.clear();
    sections_.clear();
    slotOf_.clear();
    slots_.clear();
    scoreList_.clear();
}

} // namespace brix
