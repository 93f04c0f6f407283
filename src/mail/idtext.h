#pragma once
// The identifier texts: "e-mail.uid" and "e-mail.idx" of the mail fetch, and
// the duplicate list of the news fetch. Each is one string of identifiers
// "<...>" written one after another, no separators, no line ends.

#include <cstddef>
#include <string>
#include <string_view>

namespace brix {

// Size limit after each addition; the oldest identifiers go first.
constexpr std::size_t kIdTextLimit = 32767;

// The file's bytes (name resolved without regard to case); "" when it does
// not exist. A file that exists but cannot be read raises EInOutError, so
// that its identifiers are never silently replaced by an empty text.
std::string ReadWholeFile(const std::string& fileName);
// Replaces the file atomically with exactly these bytes, under the name it
// was found with (a new file gets the name as given).
void WriteWholeFile(const std::string& fileName, std::string_view text);

// Id occurs anywhere in text, exact case. An empty id is never contained.
bool ContainsId(std::string_view id, std::string_view text);
// Removes the first occurrence of id; no change when it does not occur.
void RemoveId(std::string_view id, std::string& text);
// text + id, then trimmed to limit.
void AppendId(std::string_view id, std::string& text, std::size_t limit = kIdTextLimit);
// Keeps the last limit characters; then, when the text does not begin with
// "<" but holds a ">", drops everything up to and including the first ">",
// so the text never starts with a cut identifier.
void TrimIdText(std::string& text, std::size_t limit = kIdTextLimit);

} // namespace brix
