#include "news/dupes.h"

#include <algorithm>

namespace brix {

IdSet LoadDupes(const std::string& path) {
    return IdSet(ReadWholeFile(path), IdSet::Split::AtEachClose);
}

void SaveDupes(const std::string& path, const IdSet& dupes, std::int64_t limit) {
    WriteWholeFile(path, limit > 0 ? dupes.Text(static_cast<std::size_t>(limit)) : std::string());
}

std::size_t SavedDupesSize(const IdSet& dupes, std::int64_t limit) {
    return std::min(dupes.Size(), static_cast<std::size_t>(std::max<std::int64_t>(limit, 0)));
}

} // namespace brix
