#include "news/batch.h"

#include "context/log.h"
#include "message/msg.h"
#include "platform/durable.h"
#include "platform/files.h"
#include "support/errors.h"
#include "support/text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace brix {

std::uint32_t& NewsBatchCounter() {
    static std::uint32_t counter = 0;
    return counter;
}

std::string BatchFileName(const std::string& spool, std::uint32_t counter) {
    return spool + "n" + IntToBase(counter, 16, 4) + ".msg";
}

namespace {

std::size_t HeaderEnd(const std::vector<std::string>& article) {
    auto empty = std::find_if(article.begin(), article.end(),
                              [](const std::string& line) { return line.empty(); });
    return empty == article.end() ? 0 : static_cast<std::size_t>(empty - article.begin());
}

constexpr std::string_view kCountLine = "#! rnews ";

// Files already checked for a torn tail in this run; later appends are ours.
std::unordered_set<std::string>& CheckedBatches() {
    static std::unordered_set<std::string> checked;
    return checked;
}

} // namespace

void InsertHeaderMark(std::vector<std::string>& article, const std::string& line) {
    article.insert(article.begin() + static_cast<std::ptrdiff_t>(HeaderEnd(article)), line);
}

void MakeHeaderOnly(std::vector<std::string>& header) {
    for (std::string& line : header)
        if (line.starts_with("Lines: ")) {
            line = "Lines: 0";
            break;
        }
    header.push_back("X-QV-Mode: HdrOnly");
    header.push_back("");
}

std::int64_t ArticleSize(const std::vector<std::string>& article) {
    std::int64_t size = 0;
    for (const std::string& line : article)
        size += static_cast<std::int64_t>(line.size()) + 1;
    return size;
}

std::string BatchEntry(const std::vector<std::string>& article) {
    std::string entry(kCountLine);
    entry += std::to_string(ArticleSize(article));
    entry += '\n';
    entry.reserve(entry.size() + static_cast<std::size_t>(ArticleSize(article)));
    for (const std::string& line : article) {
        entry += line;
        entry += '\n';
    }
    return entry;
}

namespace {

// Reads a batch as it comes, in pieces of any size: entry by entry, each
// header to the hook, up to the first byte that is no whole entry.
class BatchScanner {
  public:
    explicit BatchScanner(const std::function<void(std::string_view)>& onHeader)
        : onHeader_(onHeader) {}

    void Feed(std::string_view chunk) {
        std::size_t i = 0;
        while (i < chunk.size() && !broken_) {
            if (!inEntry_ && !CountLine(chunk, i)) break;
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(left_, chunk.size() - i));
            if (!headerDone_) Header(chunk.substr(i, take));
            i += take;
            left_ -= take;
            if (left_ == 0) {
                inEntry_ = false;
                whole_ = offset_ + i;
                onHeader_(header_);
            }
        }
        offset_ += chunk.size();
    }
    std::uint64_t Whole() const { return whole_; }

  private:
    // Reads "#! rnews N" up to its LF; false when it is not whole yet.
    bool CountLine(std::string_view chunk, std::size_t& i) {
        const std::size_t lf = chunk.find('\n', i);
        countLine_.append(chunk.substr(i, lf == std::string_view::npos ? lf : lf - i));
        i = lf == std::string_view::npos ? chunk.size() : lf + 1;
        std::int64_t count = 0;
        const std::string_view digits =
            std::string_view(countLine_).substr(std::min(countLine_.size(), kCountLine.size()));
        if (countLine_.size() > 64 ||
            (lf != std::string_view::npos &&
             (!countLine_.starts_with(kCountLine) || !LeadingInt64(digits, count) ||
              std::to_string(count) != digits)))
            broken_ = true;
        if (lf == std::string_view::npos || broken_) return false;
        countLine_.clear();
        header_.clear();
        left_ = static_cast<std::uint64_t>(count);
        inEntry_ = true;
        headerDone_ = false;
        return true;
    }
    void Header(std::string_view part) {
        constexpr std::size_t kMaxHeader = 64 * 1024;
        const std::size_t from = header_.empty() ? 0 : header_.size() - 1;
        header_.append(part.substr(0, kMaxHeader - header_.size()));
        const std::size_t blank = header_.starts_with('\n') ? 0 : header_.find("\n\n", from);
        if (blank != std::string::npos) header_.resize(blank == 0 ? 0 : blank + 1);
        headerDone_ = blank != std::string::npos || header_.size() >= kMaxHeader;
    }

    const std::function<void(std::string_view)>& onHeader_;
    std::string countLine_, header_;
    std::uint64_t offset_ = 0, whole_ = 0, left_ = 0;
    bool inEntry_ = false, headerDone_ = false, broken_ = false;
};

} // namespace

std::size_t WholeEntriesLength(std::string_view bytes) {
    const std::function<void(std::string_view)> none = [](std::string_view) {};
    BatchScanner scanner(none);
    scanner.Feed(bytes);
    return static_cast<std::size_t>(scanner.Whole());
}

std::uint64_t ScanBatch(const std::string& path,
                        const std::function<void(std::string_view header)>& onHeader) {
    BatchScanner scanner(onHeader);
    ReadFileChunks(path, [&](std::string_view chunk) { scanner.Feed(chunk); });
    return scanner.Whole();
}

std::string EntryMessageId(std::string_view header) {
    return tbrix_msg(SplitLines(header)).HeaderValue("Message-ID:");
}

BatchWriter::BatchWriter(DataBeforeState& written) : written_(written) {}

BatchWriter::~BatchWriter() = default;

void BatchWriter::Close() {
    file_.reset();
    name_.clear();
}

void BatchWriter::Open(const std::string& file) {
    Close();
    std::string path = ResolveName(file);
    struct stat st {};
    if (CheckedBatches().insert(path).second && ::stat(path.c_str(), &st) == 0) {
        const std::uint64_t whole = ScanBatch(path, [](std::string_view) {});
        const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
        if (whole != size) {
            if (::truncate(path.c_str(), static_cast<off_t>(whole)) != 0)
                ThrowInOutError(path, errno);
            WriteLog("torn batch entry cut off: " + path + " (" + std::to_string(size - whole) +
                         " bytes)",
                     3);
        }
    }
    file_ = std::make_unique<AppendFile>(path);
    name_ = file;
}

std::int64_t BatchWriter::Append(const std::string& file, const std::vector<std::string>& article) {
    try {
        if (!file_ || file != name_) Open(file);
        file_->Append(BatchEntry(article));
        written_.Written(file_->Path());
    } catch (const EInOutError& e) {
        Close();
        throw EStringListError("Error: Savetofile: " + e.Message());
    }
    return ArticleSize(article);
}

} // namespace brix
