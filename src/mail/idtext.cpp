#include "mail/idtext.h"

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

bool ContainsId(std::string_view id, std::string_view text) {
    return !id.empty() && text.find(id) != std::string_view::npos;
}

void RemoveId(std::string_view id, std::string& text) {
    if (id.empty()) return;
    std::size_t pos = text.find(id);
    if (pos != std::string::npos) text.erase(pos, id.size());
}

void AppendId(std::string_view id, std::string& text, std::size_t limit) {
    text += id;
    TrimIdText(text, limit);
}

void TrimIdText(std::string& text, std::size_t limit) {
    if (text.size() > limit) text.erase(0, text.size() - limit);
    if (!text.empty() && text.front() != '<') {
        std::size_t close = text.find('>');
        if (close != std::string::npos) text.erase(0, close + 1);
    }
}

} // namespace brix
