#include "support/language.h"

#include <algorithm>
#include <vector>

namespace brix {

namespace {

TLanguage current = TLanguage::Design;

bool Set(const char* value) {
    return value && *value;
}

// "de", "de_DE.UTF-8", "de@euro": the language part is "de".
bool IsGerman(std::string_view locale) {
    return locale.starts_with("de") &&
           (locale.size() == 2 || locale[2] == '_' || locale[2] == '.' || locale[2] == '@');
}

bool IsPlain(std::string_view locale) {
    return locale == "C" || locale == "POSIX" || locale.starts_with("C.");
}

const TCatalogEntry* Find(std::string_view msgid) {
    if (current != TLanguage::English) return nullptr;
    const auto catalog = EnglishCatalog();
    const auto it = std::find_if(catalog.begin(), catalog.end(),
                                 [&](const TCatalogEntry& e) { return e.msgid == msgid; });
    return it != catalog.end() ? &*it : nullptr;
}

// Each "%s" of text replaced by the next of args.
std::string Fill(std::string_view text, std::span<const std::string_view> args) {
    std::string out;
    out.reserve(text.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 's' && next < args.size()) {
            out += args[next++];
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

TLanguage ChooseLanguage(const char* language, const char* lcAll, const char* lcMessages,
                         const char* lang) {
    const char* locale = Set(lcAll) ? lcAll : Set(lcMessages) ? lcMessages : Set(lang) ? lang : "";
    const std::string_view name = locale;
    if (name.empty() || IsPlain(name)) return TLanguage::Design;
    std::string_view chosen = name;
    if (Set(language)) {
        const std::string_view list = language;
        chosen = list.substr(0, list.find(':'));
        if (chosen.empty()) chosen = name;
    }
    return IsGerman(chosen) ? TLanguage::Design : TLanguage::English;
}

void SetLanguage(TLanguage language) {
    current = language;
}

TLanguage CurrentLanguage() {
    return current;
}

std::string Tr(std::string_view msgid, std::initializer_list<std::string_view> args) {
    const TCatalogEntry* e = Find(msgid);
    return Fill(e ? e->msgstr : msgid, {args.begin(), args.size()});
}

std::string TrCount(std::int64_t count, std::string_view msgid,
                    std::initializer_list<std::string_view> args) {
    const TCatalogEntry* e = Find(msgid);
    std::string_view text = msgid;
    if (e) text = count == 1 || e->msgstrPlural.empty() ? e->msgstr : e->msgstrPlural;
    const std::string n = std::to_string(count);
    std::vector<std::string_view> all{n};
    all.insert(all.end(), args.begin(), args.end());
    return Fill(text, all);
}

} // namespace brix
