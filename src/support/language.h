#pragma once
// The language of what the program says. Its own texts are those of the
// design (German where the design is German); they stay as they are for a
// German locale and where no locale is set (C or POSIX: cron, the tests).
// Every other language gets the English texts of the catalog (po/en.po),
// built into the program so that a locale need not be generated on the
// machine for it to work.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace brix {

enum class TLanguage { Design, English };

// The language POSIX and gettext would choose from these variables (null or
// empty when not set): the locale is the first set of LC_ALL, LC_MESSAGES
// and LANG; LANGUAGE, a list such as "de:en", is heeded only when that
// locale is not C or POSIX (as gettext does), its first entry deciding.
// German ("de", "de_AT.UTF-8", ...) and C or POSIX are the design's texts.
TLanguage ChooseLanguage(const char* language, const char* lcAll, const char* lcMessages,
                         const char* lang);

// Set once at start-up, from the environment.
void SetLanguage(TLanguage language);
TLanguage CurrentLanguage();

// The text of msgid in the run's language: msgid itself, or its English
// entry. Each "%s" of the text is replaced by the next of args, in order.
std::string Tr(std::string_view msgid, std::initializer_list<std::string_view> args = {});

// The same for a text that counts: "%s" is the count, then args. In English
// the entry's form for one or for any other number, so that the words agree
// with the count ("1 mail sent"); the design's text as it is otherwise.
std::string TrCount(std::int64_t count, std::string_view msgid,
                    std::initializer_list<std::string_view> args = {});

// The English catalog, for the tests that check it: msgid and msgstr pairs
// (msgstrPlural for a count other than one, when the entry has one).
struct TCatalogEntry {
    std::string_view msgid;
    std::string_view msgstr;
    std::string_view msgstrPlural;
};
std::span<const TCatalogEntry> EnglishCatalog();

} // namespace brix
