#include "news/group_pointers.h"

#include "platform/durable.h"
#include "platform/files.h"
#include "platform/textfile.h"
#include "support/text.h"

#include <charconv>

namespace brix {

bool IsGroupLine(const std::string& line) {
    return !line.empty() && line[0] != '#';
}

namespace {

bool ParseInt64(const std::string& word, std::int64_t& value) {
    const char* begin = word.data();
    const char* end = begin + word.size();
    if (begin != end && *begin == '+') ++begin;
    auto [ptr, ec] = std::from_chars(begin, end, value);
    return ec == std::errc() && ptr == end && begin != end;
}

bool IsTrimChar(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

GroupLine ParseGroupLine(const std::string& line, const std::string& fileName) {
    GroupLine g;
    const int words = WordCount(line);
    // A pointer that is no number ends the job like a missing one, with the
    // line left as it is, instead of a conversion error that ends the run.
    if (words < 2 || !ParseInt64(ExtractWord(2, line), g.pointer))
        throw ebrix_nntp("Error in RC-file " + fileName + ": " + line);
    g.group = ExtractWord(1, line);
    // Tabs after the word are no part of it: the line is written back
    // without them, and must still say the same.
    std::string third = words > 2 ? ExtractWord(3, line) : std::string();
    while (!third.empty() && IsTrimChar(third.back()))
        third.pop_back();
    g.headerOnly = UpperAscii(third) == "HDRONLY";
    // What follows the pointer is kept as it stands. It is found with the
    // words' own rule (blanks part them), so that a line that starts with a
    // tab cannot lose its "hdronly" when the pointer is written back.
    std::size_t at = 0;
    for (int word = 0; word < 2; ++word) {
        at = line.find_first_not_of(' ', at);
        at = line.find(' ', at);
    }
    std::string rest = at == std::string::npos ? std::string() : line.substr(at);
    while (!rest.empty() && IsTrimChar(rest.back()))
        rest.pop_back();
    g.rest = rest;
    return g;
}

std::string RebuildGroupLine(const GroupLine& g) {
    return g.group + " " + std::to_string(g.pointer) + g.rest;
}

void SaveGroupPointerFile(const std::string& path, const std::vector<std::string>& lines) {
    ReplaceFile(path, JoinLines(lines, false));
}

} // namespace brix
