#pragma once
// The "#! rnews" batches the news jobs leave in the news spool for the host
// reader: their names, the entries' form, and the writer that appends them
// whole.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brix {

class AppendFile;
class DataBeforeState;

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
    // Each file it writes to is reported to `written`, whose flush comes
    // before the state that points past the entries.
    explicit BatchWriter(DataBeforeState& written);
    ~BatchWriter();
    BatchWriter(const BatchWriter&) = delete;
    BatchWriter& operator=(const BatchWriter&) = delete;

    // Returns the entry's byte count. Raises EStringListError
    // "Error: Savetofile: " + the cause when it cannot be written.
    std::int64_t Append(const std::string& file, const std::vector<std::string>& article);
    // Closes the open file (without a flush).
    void Close();

  private:
    void Open(const std::string& file);
    DataBeforeState& written_;
    std::string name_;
    std::unique_ptr<AppendFile> file_;
};

} // namespace brix
