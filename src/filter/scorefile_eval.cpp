#include "filter/scorefile.h"

#include "support/text.h"

#include <limits>

namespace brix {

namespace {

constexpr int kNewsgroupsSlot = 0;

bool IsBlankOrTab(char c) {
    return c == ' ' || c == '\t';
}

std::string_view WithoutOuterBlanks(std::string_view v) {
    while (!v.empty() && IsBlankOrTab(v.front()))
        v.remove_prefix(1);
    while (!v.empty() && IsBlankOrTab(v.back()))
        v.remove_suffix(1);
    return v;
}

bool Holds(const tsccondition& c, std::string_view raw, std::string_view upper) {
    switch (c.op) {
    case equi:
        return WildcardMatch(c.value, upper, 1);
    case nequi:
        return !WildcardMatch(c.value, upper, 1);
    case equs:
        return WildcardMatch(c.value, raw, 1);
    case nequs:
        return !WildcardMatch(c.value, raw, 1);
    // Plain byte order, as text: "9" is not less than "100".
    case lt:
        return raw.compare(c.value) < 0;
    case ltequ:
        return raw.compare(c.value) <= 0;
    case gt:
        return raw.compare(c.value) > 0;
    case gtequ:
        return raw.compare(c.value) >= 0;
    case cnone:
        break;
    }
    return false;
}

// Many rules can add up beyond 32 bits; hold the score at its limits rather
// than wrap a heavy minus into a plus.
std::int32_t Clamped(std::int64_t sum) {
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(sum < kMin ? kMin : sum > kMax ? kMax : sum);
}

// Of the skip and header-only rules whose range holds the score the last one
// decides; the other actions give no verdict here.
tscaction ActionFor(const std::vector<tscactionrule>& actions, std::int32_t score) {
    tscaction action = tscnone;
    for (const tscactionrule& a : actions) {
        if (score < a.min || score > a.max) continue;
        if (a.action == tskip)
            action = tscskip;
        else if (a.action == thdronly)
            action = tschdronly;
    }
    return action;
}

} // namespace

void tbrix_scorefile::BuildSlots() {
    slotOf_.clear();
    slots_.clear();
    slotOf_.emplace("NEWSGROUPS", kNewsgroupsSlot);
    slots_.emplace_back();
    for (tscsection& s : sections_) {
        for (tscrule& r : s.rules) {
            for (tsccondition& c : r.conditions) {
                auto [it, added] = slotOf_.emplace(c.header, static_cast<int>(slots_.size()));
                if (added) slots_.emplace_back();
                c.slot = it->second;
                if (c.op == equi || c.op == nequi) slots_[c.slot].needsUpper = true;
            }
        }
    }
}

void tbrix_scorefile::Prepare(const std::vector<std::string>& header,
                              std::vector<std::string>& scoreList) {
    scoreList.clear();
    for (const std::string& line : header) {
        if (scoreList.empty() || line.empty() || !IsBlankOrTab(line.front())) {
            scoreList.push_back(line);
            continue;
        }
        // Evaluation looks at the first kScoreLineMax characters only, so a
        // header folded without end need not grow past them.
        std::string& joined = scoreList.back();
        if (joined.size() > kScoreLineMax) continue;
        std::size_t b = 0;
        while (b < line.size() && IsBlankOrTab(line[b]))
            ++b;
        joined += ' ';
        joined.append(line, b, kScoreLineMax + 1 - std::min(joined.size(), kScoreLineMax + 1));
    }
}

void tbrix_scorefile::SortIntoSlots(const std::vector<std::string>& scoreList) {
    for (Slot& s : slots_)
        s.count = 0;
    for (const std::string& line : scoreList) {
        std::string_view l(line);
        l = l.substr(0, kScoreLineMax);
        std::size_t colon = l.find(':');
        if (colon == std::string_view::npos) continue;
        key_.assign(l.substr(0, colon));
        UpperCaseUmlauts(key_);
        auto it = slotOf_.find(key_);
        if (it == slotOf_.end()) continue;
        Slot& slot = slots_[it->second];
        if (slot.count == slot.values.size()) slot.values.emplace_back();
        HeaderValue& hv = slot.values[slot.count++];
        hv.raw = WithoutOuterBlanks(l.substr(colon + 1));
        if (slot.needsUpper) {
            hv.upper.assign(hv.raw);
            UpperCaseUmlauts(hv.upper);
        }
    }
}

bool tbrix_scorefile::ConditionHolds(const tsccondition& c) const {
    const Slot& slot = slots_[c.slot];
    for (std::size_t i = 0; i < slot.count; ++i)
        if (Holds(c, slot.values[i].raw, slot.values[i].upper)) return true;
    return false;
}

bool tbrix_scorefile::RuleHolds(const tscrule& r) const {
    if (r.combination == tscor) {
        for (const tsccondition& c : r.conditions)
            if (ConditionHolds(c)) return true;
        return false;
    }
    for (const tsccondition& c : r.conditions)
        if (!ConditionHolds(c)) return false;
    return true;
}

bool tbrix_scorefile::SectionApplies(const tscsection& s) const {
    const Slot& groups = slots_[kNewsgroupsSlot];
    for (const std::string& p : s.patterns)
        for (std::size_t i = 0; i < groups.count; ++i)
            if (WildcardMatch(p, groups.values[i].raw, 0) != s.negated) return true;
    return false;
}

// Whether a section applies does not depend on which of its patterns or
// Newsgroups lines let it in, and its rules give the same result each time;
// so each section is decided once and its rules evaluated once, which is
// what "each rule counts at most once per section" comes to.
std::int64_t tbrix_scorefile::ScoreSum() const {
    std::int64_t sum = 0;
    for (const tscsection& s : sections_) {
        if (!SectionApplies(s)) continue;
        for (const tscrule& r : s.rules) {
            if (!RuleHolds(r)) continue;
            if (r.final) return r.score;
            sum += r.score;
        }
    }
    return sum;
}

tscverdict tbrix_scorefile::Evaluate(const std::vector<std::string>& scoreList) {
    tscverdict verdict;
    if (slots_.empty()) BuildSlots();
    SortIntoSlots(scoreList);
    verdict.score = Clamped(ScoreSum());
    verdict.action = ActionFor(actions_, verdict.score);
    return verdict;
}

tscverdict tbrix_scorefile::ScoreHeader(const std::vector<std::string>& header) {
    Prepare(header, scoreList_);
    tscverdict v = Evaluate(scoreList_);
    scoreList_.clear();
    return v;
}

} // namespace brix
