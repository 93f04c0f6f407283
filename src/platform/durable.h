#pragma once
// Writing files so that they survive a crash, a full disk and a power loss
// whole: every spool file and state file of the program goes through here,
// in one order (data flushed, then the state that names it).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brix {

// A new file (readable by its owner only) written under a temporary name and
// moved to its final name only when complete, never replacing an existing
// file. Removes itself unless committed.
class NewFile {
  public:
    // Creates tempPath exclusively; raises EInOutError on failure.
    explicit NewFile(std::string tempPath);
    // The same, but nullptr when tempPath exists already.
    static std::unique_ptr<NewFile> CreateExclusive(std::string tempPath);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    void Write(std::string_view data);
    // Flushes to disk.
    void Sync();
    // Closes and links the file under finalPath. Returns false (and keeps the
    // temporary file) when finalPath exists; raises EInOutError on failure.
    bool CommitAs(const std::string& finalPath);
    const std::string& TempPath() const { return temp_; }

  private:
    NewFile(std::string tempPath, int fd) : temp_(std::move(tempPath)), fd_(fd) {}
    void Close();
    std::string temp_;
    int fd_ = -1;
    bool committed_ = false;
};

// Replaces a state file atomically: an exclusive temporary file in the same
// directory, written, flushed to disk, renamed over the old one with its
// permissions (a new file is its owner's only), and the directory flushed so
// that the rename is durable.
void ReplaceFile(const std::string& path, std::string_view data);

// Takes the bytes of a file being written, piece by piece.
using ByteSink = std::function<void(std::string_view bytes)>;
// ReplaceFile with the new bytes handed to `write` by `fill` in pieces, so
// that a large file is never held whole. When fill raises, the old file
// stays as it was.
void ReplaceFileWith(const std::string& path,
                     const std::function<void(const ByteSink& write)>& fill);

// Removes a file for good: the name is unlinked and its directory flushed,
// so that a file the program has reported done (a sent message, a posted
// article) does not come back after a crash or a power loss. Call it before
// anything tells that the file is done. Raises EInOutError naming the path
// when either step fails (a file that is gone already included); the file
// may then be gone or not.
void RemoveFile(const std::string& path);

// A file that grows by whole entries (news batches, request records, logs):
// opened with O_APPEND, never truncated; each Append is one write, and one
// that fails is cut back, so the file holds whole entries only.
class AppendFile {
  public:
    // Opens or creates path; raises EInOutError.
    explicit AppendFile(std::string path, unsigned mode = 0600);
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Raises EInOutError, the file cut back to where the entry began.
    void Append(std::string_view entry);
    // Closes, reporting a late write error (the file cut back as above).
    void Close();
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    int fd_ = -1;
    std::int64_t before_ = -1; // the length before the last entry
};

// Appends data to the file, creating it (with Mode): AppendFile for one entry.
void AppendWhole(const std::string& path, std::string_view data, unsigned Mode = 0600);

// The order that keeps the state on disk from running ahead of the data:
// the files written since the last flush (new spool files, appended
// batches) are flushed with their directories before the state that names
// them is written.
class DataBeforeState {
  public:
    // A file whose bytes and name must be on disk before the next state.
    void Written(const std::string& path);
    bool Pending() const { return !dirs_.empty(); }
    // Flushes what was written: a few files one by one, many through their
    // file system at once (one journal commit, not one per file). Raises
    // EInOutError; the files stay pending then.
    void Flush();
    // Flush, then save: the state is written only over flushed data.
    void FlushThenSave(const std::function<void()>& save);

  private:
    std::vector<std::string> files_, dirs_;
    bool many_ = false; // files_ holds only the first few
};

// fsync of a file's directory, so that a rename or new name is durable.
void SyncDirectory(const std::string& dir);

// Bytes about to be written into a directory: a file of that size (a new
// one, or one replaced through a temporary copy).
struct SpaceNeed {
    std::string dir;
    std::uint64_t bytes = 0;
};
// Raises ebrix_diskfull naming the directory and the cause when the file
// system of any of the directories has less room than the files it is to
// take (each rounded up to whole blocks, plus one), summed over the
// directories that share a file system. `purpose` says what they are for.
void RequireSpace(const std::vector<SpaceNeed>& needs, const std::string& purpose);

// ------------------------------------------------------------------------
// Files changed in place.

// A file of fixed-size records whose bytes change in place (the states of
// "request.id"): opened for reading and writing, never created, never
// truncated; a write becomes durable with Sync. Errors raise EInOutError
// naming the file.
class InPlaceFile {
  public:
    explicit InPlaceFile(std::string path);
    ~InPlaceFile();
    InPlaceFile(const InPlaceFile&) = delete;
    InPlaceFile& operator=(const InPlaceFile&) = delete;

    std::int64_t Size() const;
    // Fills bytes from offset; the end of the file before it is full raises
    // (EIO).
    void ReadAt(std::int64_t offset, std::string& bytes) const;
    void WriteAt(std::int64_t offset, std::string_view bytes);
    // Flushes the writes to disk.
    void Sync();
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    int fd_ = -1;
};

} // namespace brix
