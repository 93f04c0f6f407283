#include "mail/imap_state.h"

#include "support/errors.h"
#include "support/text.h"

#include <string_view>

namespace brix {

namespace {

bool ParseUid(std::string_view text, std::uint32_t& value) {
    std::int64_t v = 0;
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos ||
        !LeadingInt64(text, v) || v > 0xffffffffLL)
        return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

} // namespace

std::string ImapState::Key(const std::string& user, const std::string& host,
                           const std::string& port, const std::string& folder) {
    return user + "@" + host + ":" + port + " " + folder;
}

void ImapState::Parse(const std::string& text, const std::string& file) {
    folders_.clear();
    ImapFolderState* current = nullptr;
    int number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        ++number;
        if (line.empty()) continue;
        auto bad = [&] {
            throw ebrix_joberror(file + " line " + std::to_string(number) +
                                 " cannot be read; repair or remove it (removing it fetches "
                                 "every kept IMAP message again)");
        };
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos) bad();
        if (line.starts_with("F ")) {
            const std::size_t b2 = line.find(' ', 2);
            const std::size_t b3 = b2 == std::string_view::npos ? b2 : line.find(' ', b2 + 1);
            std::uint32_t validity = 0;
            if (b3 == std::string_view::npos || !ParseUid(line.substr(2, b2 - 2), validity)) bad();
            current = &folders_[std::string(line.substr(b2 + 1))];
            current->validity = validity;
            continue;
        }
        std::uint32_t uid = 0;
        if (!current || !ParseUid(line.substr(0, blank), uid) || uid == 0) bad();
        current->messages[uid] = std::string(line.substr(blank + 1));
    }
}

std::string ImapState::Text() const {
    std::string out;
    for (const auto& [key, folder] : folders_) {
        if (folder.validity == 0 && folder.messages.empty()) continue;
        out += "F " + std::to_string(folder.validity) + " " + key + "\n";
        for (const auto& [uid, id] : folder.messages)
            out += std::to_string(uid) + " " + (id.empty() ? "-" : id) + "\n";
    }
    return out;
}

std::string ImapState::JournalId(const std::string& key, std::uint32_t validity, std::uint32_t uid,
                                 const std::string& messageId) {
    return key + "\t" + std::to_string(validity) + "\t" + std::to_string(uid) + "\t" + messageId;
}

bool ImapState::Recover(const std::string& journalId) {
    const std::size_t a = journalId.find('\t');
    const std::size_t b = a == std::string::npos ? a : journalId.find('\t', a + 1);
    const std::size_t c = b == std::string::npos ? b : journalId.find('\t', b + 1);
    std::uint32_t validity = 0, uid = 0;
    if (c == std::string::npos ||
        !ParseUid(std::string_view(journalId).substr(a + 1, b - a - 1), validity) ||
        !ParseUid(std::string_view(journalId).substr(b + 1, c - b - 1), uid) || uid == 0)
        return false;
    ImapFolderState& folder = folders_[journalId.substr(0, a)];
    // A journal of another UIDVALIDITY than the state's names other
    // messages: the state's own were fetched under the newer one.
    if (folder.validity != 0 && folder.validity != validity) return false;
    folder.validity = validity;
    folder.messages[uid] = journalId.substr(c + 1);
    return true;
}

} // namespace brix
