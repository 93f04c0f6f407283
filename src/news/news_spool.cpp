#include "news/news_spool.h"

#include "context/log.h"
#include "message/idtext.h"
#include "message/msg.h"
#include "platform/files.h"
#include "support/errors.h"
#include "support/text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

void WriteAll(int fd, std::string_view data, const std::string& path) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ThrowInOutError(path, n < 0 ? errno : EIO);
        data.remove_prefix(static_cast<std::size_t>(n));
    }
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
    tbrix_msg lines;
    for (std::string& line : SplitLines(header))
        lines.push_back(std::move(line));
    return lines.HeaderValue("Message-ID:");
}

BatchWriter::~BatchWriter() {
    Close();
}

void BatchWriter::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
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
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) ThrowInOutError(path, errno);
    name_ = file;
    if (std::find(unsynced_.begin(), unsynced_.end(), path) == unsynced_.end())
        unsynced_.push_back(path);
}

std::int64_t BatchWriter::Append(const std::string& file, const std::vector<std::string>& article) {
    try {
        if (fd_ < 0 || file != name_) Open(file);
        std::string entry = BatchEntry(article);
        struct stat st {};
        off_t before = ::fstat(fd_, &st) == 0 ? st.st_size : -1;
        try {
            WriteAll(fd_, entry, file);
        } catch (...) {
            // The reader must never meet half an entry.
            if (before >= 0 && ::ftruncate(fd_, before) != 0) { /* reported by the write */
            }
            throw;
        }
    } catch (const EInOutError& e) {
        Close();
        throw EStringListError("Error: Savetofile: " + e.Message());
    }
    return ArticleSize(article);
}

void BatchWriter::Sync() {
    std::vector<std::string> dirs;
    for (const std::string& path : unsynced_) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) ThrowInOutError(path, errno);
        int rc = ::fsync(fd);
        int err = errno;
        ::close(fd);
        if (rc != 0) ThrowInOutError(path, err);
        std::string dir = DirName(path);
        if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
    }
    for (const std::string& dir : dirs)
        SyncDirectory(dir);
    unsynced_.clear();
    if (!name_.empty()) unsynced_.push_back(ResolveName(name_));
}

void NewsDupes::Load(const std::string& path) {
    SetText(ReadWholeFile(path));
}

namespace {
// The form an id has in the list: in angle brackets.
std::string Bracketed(std::string_view id) {
    if (id.starts_with('<') && id.ends_with('>')) return std::string(id);
    return "<" + std::string(id) + ">";
}
} // namespace

void NewsDupes::SetText(std::string text) {
    text_ = std::move(text);
    ids_.clear();
    // Every id ends with ">"; a piece before it that does not start with "<"
    // (a cut id, stray bytes) is also known from its last "<" on.
    std::size_t pos = 0;
    while (pos < text_.size()) {
        std::size_t close = text_.find('>', pos);
        if (close == std::string::npos) break;
        std::string_view piece(text_.data() + pos, close + 1 - pos);
        ids_.emplace(piece);
        std::size_t open = piece.rfind('<');
        if (open != std::string_view::npos && open > 0) ids_.emplace(piece.substr(open));
        pos = close + 1;
    }
}

bool NewsDupes::Contains(std::string_view id) const {
    return !id.empty() && ids_.count(Bracketed(id)) != 0;
}

bool NewsDupes::Add(std::string_view id) {
    if (id.empty()) return false;
    std::string entry = Bracketed(id);
    if (!ids_.insert(entry).second) return false;
    text_ += entry;
    return true;
}

std::string NewsDupes::SavedText(std::size_t limit) const {
    std::size_t from = text_.size() > limit ? text_.size() - limit : 0;
    std::string saved = text_.substr(from);
    TrimIdText(saved, limit);
    return saved;
}

void NewsDupes::Save(const std::string& path, std::size_t limit) const {
    WriteWholeFile(path, SavedText(limit));
}

std::string WithoutBrackets(std::string id) {
    if (!id.empty() && id.front() == '<') id.erase(0, 1);
    if (!id.empty() && id.back() == '>') id.pop_back();
    return id;
}

namespace {

std::string ShortField(std::string_view bytes, std::size_t size) {
    std::size_t length = static_cast<unsigned char>(bytes[0]);
    return std::string(bytes.substr(1, std::min(length, size - 1)));
}

void PutField(std::string& out, std::size_t offset, std::size_t size, const std::string& value) {
    std::size_t length = std::min(value.size(), size - 1);
    out[offset] = static_cast<char>(length);
    out.replace(offset + 1, length, value, 0, length);
}

} // namespace

RequestRecord ParseRequestRecord(std::string_view bytes) {
    RequestRecord r;
    if (bytes.size() < kRequestRecordSize) return r;
    r.kind = static_cast<std::uint8_t>(bytes[0]);
    r.state = static_cast<std::uint8_t>(bytes[1]);
    r.box = ShortField(bytes.substr(2, 9), 9);
    r.messageId = ShortField(bytes.substr(11, 256), 256);
    return r;
}

std::string FormatRequestRecord(const RequestRecord& record) {
    std::string out(kRequestRecordSize, '\0');
    out[0] = static_cast<char>(record.kind);
    out[1] = static_cast<char>(record.state);
    PutField(out, 2, 9, record.box);
    PutField(out, 11, 256, record.messageId);
    return out;
}

void AppendRequestRecord(const std::string& path, const RequestRecord& record) {
    std::string real = ResolveName(path);
    // A torn record left by a crash would shift every later record.
    struct stat st {};
    if (::stat(real.c_str(), &st) == 0 && st.st_size % kRequestRecordSize != 0)
        if (::truncate(real.c_str(), st.st_size - st.st_size % kRequestRecordSize) != 0)
            ThrowInOutError(real, errno);
    AppendWhole(real, FormatRequestRecord(record));
}

RequestFile::RequestFile(const std::string& path) : path_(ResolveName(path)) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) ThrowInOutError(path_, errno);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        int err = errno;
        ::close(fd_);
        ThrowInOutError(path_, err);
    }
    count_ = static_cast<std::int64_t>(st.st_size) / static_cast<std::int64_t>(kRequestRecordSize);
}

RequestFile::~RequestFile() {
    if (fd_ >= 0) ::close(fd_);
}

RequestRecord RequestFile::Read(std::int64_t index) const {
    std::string bytes(kRequestRecordSize, '\0');
    std::size_t done = 0;
    const off_t base = static_cast<off_t>(index) * static_cast<off_t>(kRequestRecordSize);
    while (done < bytes.size()) {
        ssize_t n =
            ::pread(fd_, bytes.data() + done, bytes.size() - done, base + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ThrowInOutError(path_, n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    return ParseRequestRecord(bytes);
}

void RequestFile::SetState(std::int64_t index, std::uint8_t state) {
    held_.emplace_back(index, state);
}

void RequestFile::Commit() {
    if (held_.empty()) return;
    for (const auto& [index, state] : held_)
        WriteState(index, state);
    held_.clear();
    if (::fsync(fd_) != 0) ThrowInOutError(path_, errno);
}

void RequestFile::WriteState(std::int64_t index, std::uint8_t state) {
    const off_t at = static_cast<off_t>(index) * static_cast<off_t>(kRequestRecordSize) + 1;
    char byte = static_cast<char>(state);
    for (;;) {
        ssize_t n = ::pwrite(fd_, &byte, 1, at);
        if (n == 1) return;
        if (n < 0 && errno == EINTR) continue;
        ThrowInOutError(path_, n < 0 ? errno : EIO);
    }
}

} // namespace brix
