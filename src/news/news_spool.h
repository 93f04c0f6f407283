#pragma once
// What the news jobs leave for the host reader: "#! rnews" batch files in the
// news spool, the duplicate list "e-news.idx" and the request file
// "request.id" of the host reader's directory.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace brix {

constexpr const char* kDupeFileName = "e-news.idx";
constexpr const char* kRequestFileName = "request.id";

// Numbers the batch files for the whole program run, across groups, jobs and
// boxes.
std::uint32_t& NewsBatchCounter();

// spool + "n" + at least four upper-case hexadecimal digits + ".msg".
std::string BatchFileName(const std::string& spool, std::uint32_t counter);

// Inserts line before the first empty line of the article (at its start when
// there is none).
void InsertHeaderMark(std::vector<std::string>& article, const std::string& line);
// Header only: the first "Lines: " line becomes "Lines: 0", then
// "X-QV-Mode: HdrOnly" and an empty line are appended.
void MakeHeaderOnly(std::vector<std::string>& header);

// Byte count of an entry: the article's lines, each with its LF.
std::int64_t ArticleSize(const std::vector<std::string>& article);
// "#! rnews " + size + LF, then every line + LF.
std::string BatchEntry(const std::vector<std::string>& article);
// Length of the longest start of a batch file that consists of whole entries.
std::size_t WholeEntriesLength(std::string_view bytes);
// Reads a batch file entry by entry without holding it: passes the header of
// each whole entry (its lines up to the first empty line, at most 64 KiB) to
// onHeader, and returns the length of the start that consists of whole
// entries. Raises EInOutError when the file cannot be read.
std::uint64_t ScanBatch(const std::string& path,
                        const std::function<void(std::string_view header)>& onHeader);
// The "Message-ID:" value of an entry's header, as the fetch job reads it
// from the article ("" when there is none).
std::string EntryMessageId(std::string_view header);

// Appends entries to batch files, each with one write; a failed write cuts
// the file back, so an entry is whole or absent. The first time a run appends
// to a file that exists, a torn tail left by a killed run is cut off first.
class BatchWriter {
  public:
    BatchWriter() = default;
    ~BatchWriter();
    BatchWriter(const BatchWriter&) = delete;
    BatchWriter& operator=(const BatchWriter&) = delete;

    // Returns the entry's byte count. Raises EStringListError
    // "Error: Savetofile: " + the cause when it cannot be written.
    std::int64_t Append(const std::string& file, const std::vector<std::string>& article);
    // Flushes the files written since the last call, and their directories,
    // to disk. Raises EInOutError.
    void Sync();
    // Closes the open file (without a flush).
    void Close();

  private:
    void Open(const std::string& file);
    std::string name_;
    int fd_ = -1;
    std::vector<std::string> unsynced_;
};

// The duplicate list: Message-IDs one after another, no separators. Looked up
// in a hash set, so that the test costs the same however long the list is;
// the size limit applies only to the text that is saved. An id without its
// angle brackets (a broken header) is kept and looked up with them, since
// the list has no other way to tell where it ends.
class NewsDupes {
  public:
    // The list file's text ("" when there is none).
    void Load(const std::string& path);
    void SetText(std::string text);
    // An empty id is never contained.
    bool Contains(std::string_view id) const;
    // Adds an id that is not yet contained; true when it was new.
    bool Add(std::string_view id);
    // The text to save: everything loaded and added, trimmed to limit.
    std::string SavedText(std::size_t limit) const;
    // At most the size of SavedText(limit).
    std::size_t SavedSize(std::size_t limit) const { return std::min(text_.size(), limit); }
    // Replaces the file atomically with SavedText(limit).
    void Save(const std::string& path, std::size_t limit) const;

  private:
    std::string text_;
    std::unordered_set<std::string> ids_;
};

// A Message-ID as the client's commands take it: without its angle brackets.
std::string WithoutBrackets(std::string id);

// One record of "request.id": 267 bytes.
constexpr std::size_t kRequestRecordSize = 267;
struct RequestRecord {
    std::uint8_t kind = 0;  // 1, 2: by Message-ID; 3: own article again
    std::uint8_t state = 0; // failed attempts; 199..254 given up; 255 done
    std::string box;        // up to 8 characters; "*" for every box
    std::string messageId;  // up to 255 characters
};
// Length bytes larger than their fields are clamped to the field.
RequestRecord ParseRequestRecord(std::string_view bytes);
// Spare bytes of the string fields are zero; longer strings are cut.
std::string FormatRequestRecord(const RequestRecord& record);
// Appends one record (for the post job's requests).
void AppendRequestRecord(const std::string& path, const RequestRecord& record);

// The request file opened for reading records and rewriting their states in
// place. Only whole records count; a torn last record is ignored. New states
// are held until Commit, so that the caller writes them after the batch
// that holds their articles is on disk.
class RequestFile {
  public:
    // Raises EInOutError when the file cannot be opened for reading and
    // writing.
    explicit RequestFile(const std::string& path);
    ~RequestFile();
    RequestFile(const RequestFile&) = delete;
    RequestFile& operator=(const RequestFile&) = delete;

    std::int64_t Count() const { return count_; }
    RequestRecord Read(std::int64_t index) const;
    // Holds a new state for the record until Commit.
    void SetState(std::int64_t index, std::uint8_t state);
    // Writes the held states in place and flushes the file. Raises
    // EInOutError.
    void Commit();

  private:
    void WriteState(std::int64_t index, std::uint8_t state);
    std::string path_;
    int fd_ = -1;
    std::int64_t count_ = 0;
    std::vector<std::pair<std::int64_t, std::uint8_t>> held_;
};

} // namespace brix
