#pragma once
// The host reader's scorefile: rules that rate a news article by its header
// lines, and action rules that turn the rating into a verdict (kill, header
// only, or fetch whole).
//
// A file has an action part (lines "min max action") followed by sections
// "[pattern, ...]" or "[!pattern, ...]", each with rules
//   [AND |OR ]SCORE[=]number [EXPIRES date]
//   [NAME text]
//   Header op value ...
// Loading is split in two: Parse turns lines into the model or an error value
// (pure, for tests and the fuzzer), and Load reads the file and ends the
// program with the error's console report and exit code.

#include "filter/score_action.h"
#include "support/language.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brix {

// Condition operators. The loader tries them in this order at one position.
enum tcmp : std::uint8_t {
    nequs, // "!==": no match, case counts
    nequi, // "!=": no match, case ignored
    equs,  // "==": match, case counts
    ltequ, // "<="
    gtequ, // ">="
    lt,    // "<"
    gt,    // ">"
    equi,  // "=": match, case ignored
    cnone,
};

// Action words of the action part. "KILL" and "SKIP" both give tskip.
enum taction : std::uint8_t { tskip, thdronly, tfdel, tfhold, tfread, tfemph };

// Where an item joins a list. The scorefile keeps file order (hinten).
enum torder : std::uint8_t { vorn, hinten };

template <class T> void AddToList(std::vector<T>& list, T item, torder where) {
    if (where == vorn)
        list.insert(list.begin(), std::move(item));
    else
        list.push_back(std::move(item));
}

enum tsccombination : std::uint8_t { tscand, tscor };

struct tsccondition {
    std::string header; // upper case, blanks around it removed
    tcmp op = cnone;
    std::string value; // upper case except for "==" and "!=="
    int slot = -1;     // index of the header name in the evaluation's table
};

struct tscrule {
    std::int32_t score = 0;
    std::uint32_t expires = 0; // packed date (MakeDate); 31.12.9999 when none
    tsccombination combination = tscand;
    bool final = false; // "SCORE=": the rule's score replaces the sum
    std::string name;
    std::vector<tsccondition> conditions;
};

struct tscsection {
    bool negated = false;
    std::vector<std::string> patterns;
    std::vector<tscrule> rules;
};

struct tscactionrule {
    std::int32_t min = 0;
    std::int32_t max = 0;
    taction action = tskip;
};

// A load error as a value, so that it can be tested and fuzzed without
// ending the process.
struct tscloaderror {
    int line = 0;        // 1-based number of the current line
    std::string rawLine; // that line as read
    std::string text;    // ": kein Score." and so on
    std::string code;    // eight hex digits naming the check that failed
    int exitCode = 0;

    std::string Message(const std::string& path) const {
        return Tr("Fehler in %s bei %s", {path, code}) + Tr(text);
    }
};

struct tscverdict {
    std::int32_t score = 0;
    tscaction action = tscnone;
};

// Header lines are looked at up to this many characters.
constexpr std::size_t kScoreLineMax = 1024;

class tbrix_scorefile {
  public:
    // Reads the scorefile (the name resolved without regard to case) and
    // returns true, the value QVSCOREAKTIV keeps. A syntax error ends the
    // program with its console report and exit code; a missing or unreadable
    // file raises EInOutError.
    bool Load(const std::string& path);

    // Parses the lines of a scorefile; rules that end on `today` (a packed
    // date) or earlier are left out. On error the model is left empty.
    std::optional<tscloaderror> Parse(const std::vector<std::string>& lines, std::uint32_t today);

    void Free();

    // The score list: header lines with continuation lines joined to the line
    // they continue. Replaces the contents of scoreList.
    static void Prepare(const std::vector<std::string>& header,
                        std::vector<std::string>& scoreList);
    // Score and verdict of one article's score list.
    tscverdict Evaluate(const std::vector<std::string>& scoreList);
    // Prepare and Evaluate in one step, for the fetch job.
    tscverdict ScoreHeader(const std::vector<std::string>& header);

    const std::vector<tscactionrule>& Actions() const { return actions_; }
    const std::vector<tscsection>& Sections() const { return sections_; }

  private:
    void BuildSlots();
    void SortIntoSlots(const std::vector<std::string>& scoreList);
    bool ConditionHolds(const tsccondition& c) const;
    bool RuleHolds(const tscrule& r) const;
    bool SectionApplies(const tscsection& s) const;
    // The sum of the rules that hold, or the score of the first final rule
    // that holds.
    std::int64_t ScoreSum() const;

    std::vector<tscactionrule> actions_;
    std::vector<tscsection> sections_;

    // Evaluation tables, built once at load: every header name that a
    // condition asks for gets a slot (slot 0 is NEWSGROUPS), so that an
    // article's header lines are sorted into their slots in one pass.
    struct HeaderValue {
        std::string_view raw;
        std::string upper; // only for slots with case-free operators
    };
    struct Slot {
        std::vector<HeaderValue> values; // reused between calls
        std::size_t count = 0;
        bool needsUpper = false;
    };
    std::unordered_map<std::string, int> slotOf_;
    std::vector<Slot> slots_;
    std::string key_;                    // scratch for upper-cased names
    std::vector<std::string> scoreList_; // scratch for ScoreHeader
};

// The console lines in front of the message: two empty lines, the line
// number, the raw line and an empty line.
void ShowScorefileError(const tscloaderror& error);
// ShowScorefileError, the message, the "Weiter mit Return ..." prompt and
// the error's exit code.
[[noreturn]] void HaltOnScorefileError(const std::string& path, const tscloaderror& error);

// Pure pieces of the loader, exposed for tests.
// The condition of a line (operator leftmost in the line, the longest one at
// that position), or nothing when it has no operator or an empty value.
std::optional<tsccondition> ParseCondition(std::string_view line);
// True when the date has three integer parts separated by "-" (year first)
// or "." (day first).
bool SplitScoreDate(std::string_view text, int& year, int& month, int& day);
// Month 1-12, year 1700-9999 (or 65535), day within the month.
bool ValidScoreDate(int year, int month, int day);

} // namespace brix
