#include "news/group_pointers.h"

#include "platform/files.h"
#include "support/text.h"
#include "support/textfile.h"

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

std::string TrimmedBoth(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsTrimChar(s[b]))
        ++b;
    while (e > b && IsTrimChar(s[e - 1]))
        --e;
    return s.substr(b, e - b);
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
    g.headerOnly = words > 2 && UpperAscii(ExtractWord(3, line)) == "HDRONLY";
    std::string rest = TrimmedBoth(line);
    std::size_t blank = rest.find(' ');
    rest = blank == std::string::npos ? std::string() : TrimmedBoth(rest.substr(blank + 1));
    blank = rest.find(' ');
    g.rest = blank == std::string::npos ? std::string() : rest.substr(blank);
    return g;
}

std::string RebuildGroupLine(const GroupLine& g) {
    return g.group + " " + std::to_string(g.pointer) + g.rest;
}

void SaveGroupPointerFile(const std::string& path, const std::vector<std::string>& lines) {
    ReplaceFile(path, JoinLines(lines, false));
}

} // namespace brix
