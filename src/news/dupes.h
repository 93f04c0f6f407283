#pragma once
// The duplicate list "e-news.idx" of the host reader's directory: the
// Message-IDs of the articles taken (fetched or posted), one after another,
// no separators. NNTPDUPESIZE limits only the text that is saved, so that
// the ids added in a run are known to the end of it.

#include "message/idtext.h"

#include <cstdint>
#include <string>

namespace brix {

constexpr const char* kDupeFileName = "e-news.idx";

// The list file's ids ("" when there is none).
IdSet LoadDupes(const std::string& path);
// Replaces the file atomically with the newest ids, at most limit bytes.
void SaveDupes(const std::string& path, const IdSet& dupes, std::int64_t limit);
// What SaveDupes writes at most.
std::size_t SavedDupesSize(const IdSet& dupes, std::int64_t limit);

} // namespace brix
