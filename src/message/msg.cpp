#include "message/msg.h"

#include "support/errors.h"
#include "support/text.h"

#include <algorithm>
#include <unordered_map>

namespace brix {

namespace {

// Splits a UIDL line "n uid"; false when it has no number or no identifier.
bool ParseUidLine(std::string_view line, std::int64_t& number, std::string& uid) {
    std::string l = Trimmed(line);
    if (!LeadingInt64(l, number)) return false;
    std::size_t digits = l.find_first_not_of("0123456789");
    if (digits == std::string::npos) return false;
    if (l[digits] != ' ' && l[digits] != '\t') return false;
    uid = Trimmed(std::string_view(l).substr(digits));
    return !uid.empty();
}

} // namespace

std::string tbrix_msg::HeaderValue(std::string_view name) const {
    for (const std::string& full : Lines) {
        if (full.empty()) break;
        std::string_view line = std::string_view(full).substr(0, kShortText);
        if (line.size() < name.size()) continue;
        if (!EqualsNoCase(line.substr(0, name.size()), name)) continue;
        return Trimmed(line.substr(name.size()));
    }
    return "";
}

std::int32_t tbrix_msg::HeaderEndIndex() const {
    for (std::size_t i = 0; i < Lines.size(); ++i)
        if (Lines[i].empty()) return static_cast<std::int32_t>(i);
    return 0;
}

bool tbrix_uid::TryUidOf(std::int32_t msgNo, std::string& uid) const {
    std::int64_t number = 0;
    // Servers answer in message order, so the line at msgNo - 1 is nearly
    // always the one; the scan is for those that do not.
    if (msgNo >= 1 && static_cast<std::size_t>(msgNo) <= Lines.size() &&
        ParseUidLine(Lines[static_cast<std::size_t>(msgNo) - 1], number, uid) && number == msgNo)
        return true;
    for (const std::string& line : Lines)
        if (ParseUidLine(line, number, uid) && number == msgNo) return true;
    uid.clear();
    return false;
}

std::string tbrix_uid::UidOf(std::int32_t msgNo) const {
    std::string uid;
    if (!TryUidOf(msgNo, uid))
        throw EListError("List index out of bounds (" + std::to_string(msgNo - 1) + ")");
    return uid;
}

bool tbrix_uid::CoversMessages(std::int32_t count) const {
    if (count <= 0) return true;
    std::vector<bool> seen(static_cast<std::size_t>(count) + 1, false);
    std::int32_t found = 0;
    std::int64_t number = 0;
    std::string uid;
    for (const std::string& line : Lines) {
        if (!ParseUidLine(line, number, uid) || number < 1 || number > count) continue;
        if (!seen[static_cast<std::size_t>(number)]) {
            seen[static_cast<std::size_t>(number)] = true;
            ++found;
        }
    }
    return found == count;
}

std::vector<std::string> tbrix_uid::UniqueUids(std::int32_t count, std::int32_t& Duplicates,
                                               std::vector<std::string>* Listed) const {
    std::vector<std::string> uids(static_cast<std::size_t>(std::max(count, 0)));
    std::unordered_map<std::string, std::int32_t> uses;
    std::int64_t number = 0;
    std::string uid;
    for (const std::string& line : Lines) {
        if (!ParseUidLine(line, number, uid) || number < 1 || number > count) continue;
        std::string& slot = uids[static_cast<std::size_t>(number) - 1];
        if (!slot.empty()) continue; // a second line for one message: the first counts
        slot = uid;
        ++uses[uid];
    }
    Duplicates = 0;
    if (Listed) *Listed = uids;
    for (std::string& u : uids)
        if (!u.empty() && uses[u] > 1) {
            u.clear();
            ++Duplicates;
        }
    return uids;
}

} // namespace brix
