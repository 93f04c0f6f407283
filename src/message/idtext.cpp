#include "message/idtext.h"

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

IdSet::IdSet(std::string_view text) {
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
            if (end == text.size() || text[end] == '<') break;
        }
        Add(std::string(text.substr(start, end - start)));
        start = end;
    }
}

bool IdSet::Contains(const std::string& id) const {
    auto it = index_.find(id);
    return !id.empty() && it != index_.end() && !it->second.empty();
}

void IdSet::Add(const std::string& id) {
    if (id.empty()) return;
    index_[id].push_back(ids_.size());
    ids_.push_back(id);
    bytes_ += id.size();
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
