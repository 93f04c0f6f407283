#pragma once
// The group pointer file (box name + ".rc"): one line per newsgroup with the
// number of the last article fetched, an optional "HDRONLY" word and any
// remark behind it. Only the pointers are ever changed; comments, empty lines
// and everything behind the pointer stay as the user wrote them.

#include "support/errors.h"

#include <cstdint>
#include <string>
#include <vector>

namespace brix {

// Errors of the news fetch job that are no client or socket errors.
BRIX_EXCEPTION_CLASS(ebrix_nntp, ebrix_joberror);

struct GroupLine {
    std::string group;
    // Last article fetched; a negative -k asks for the last k articles.
    std::int64_t pointer = 0;
    bool headerOnly = false;
    // "" or a blank, the flag word and whatever follows, spacing kept.
    std::string rest;
};

// Empty lines and lines beginning with "#" are kept unchanged.
bool IsGroupLine(const std::string& line);

// Words are separated by blanks only (a TAB belongs to its word). A line with
// fewer than two words, or whose second word is not a 64-bit integer, raises
// ebrix_nntp "Error in RC-file " + fileName + ": " + line.
GroupLine ParseGroupLine(const std::string& line, const std::string& fileName);

// group + " " + pointer + rest.
std::string RebuildGroupLine(const GroupLine& g);

// Writes the lines back with CR LF, replacing the file atomically.
void SaveGroupPointerFile(const std::string& path, const std::vector<std::string>& lines);

} // namespace brix
