#include "message/idtext.h"

#include "platform/durable.h"
#include "platform/files.h"

namespace brix {

std::string ReadWholeFile(const std::string& fileName) {
    std::string real = ResolveName(fileName);
    if (!EntryExists(real)) return "";
    return ReadFileBytes(real);
}

void WriteWholeFile(const std::string& fileName, std::string_view text) {
    ReplaceFile(ResolveName(fileName), text);
}

void TrimIdText(std::string& text, std::size_t limit) {
    if (text.size() > limit) text.erase(0, text.size() - limit);
    if (!text.empty() && text.front() != '<') {
        std::size_t close = text.find('>');
        if (close != std::string::npos) text.erase(0, close + 1);
    }
}

namespace {
// The form an identifier has in a text: in angle brackets.
std::string Bracketed(std::string_view id) {
    if (id.starts_with('<') && id.ends_with('>')) return std::string(id);
    return "<" + std::string(id) + ">";
}
} // namespace

IdSet::IdSet(std::string_view text, Split split) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = start;
        for (;;) {
            end = text.find('>', end);
            if (end == std::string_view::npos) {
                end = text.size();
                break;
            }
            ++end;
            if (split == Split::AtEachClose || end == text.size() || text[end] == '<') break;
        }
        std::string_view piece = text.substr(start, end - start);
        // Stray bytes before an id (a damaged text) must not hide it.
        const std::size_t open = piece.rfind('<');
        if (split == Split::AtEachClose && open != std::string_view::npos && open > 0 &&
            piece.ends_with('>'))
            aliases_.emplace(piece.substr(open));
        Keep(std::string(piece));
        start = end;
    }
}

void IdSet::Keep(std::string id) {
    if (id.empty()) return;
    bytes_ += id.size();
    index_[id].push_back(ids_.size());
    ids_.push_back(std::move(id));
}

bool IdSet::Contains(std::string_view id) const {
    if (id.empty()) return false;
    const std::string key = Bracketed(id);
    auto it = index_.find(key);
    return (it != index_.end() && !it->second.empty()) || aliases_.count(key) != 0;
}

bool IdSet::Add(std::string_view id) {
    if (id.empty() || Contains(id)) return false;
    Keep(Bracketed(id));
    return true;
}

void IdSet::Remove(const std::string& id) {
    auto it = index_.find(id);
    if (it == index_.end() || it->second.empty()) return;
    bytes_ -= ids_[it->second.front()].size();
    ids_[it->second.front()].clear();
    it->second.erase(it->second.begin());
}

void IdSet::Prune(std::string_view suffix, const std::unordered_set<std::string>& keep) {
    for (std::string& id : ids_) {
        if (id.size() < suffix.size() ||
            id.compare(id.size() - suffix.size(), suffix.size(), suffix.data(), suffix.size()) != 0)
            continue;
        if (keep.count(id)) continue;
        auto it = index_.find(id);
        if (it != index_.end() && !it->second.empty()) it->second.erase(it->second.begin());
        bytes_ -= id.size();
        id.clear();
    }
}

std::string IdSet::Text(std::size_t limit) const {
    std::string text;
    text.reserve(bytes_);
    for (const std::string& id : ids_)
        text += id;
    if (limit > 0) TrimIdText(text, limit);
    return text;
}

} // namespace brix
