#pragma once
// Files of the host reader's tree on a case-sensitive file system, and the
// writing helpers that keep every stored message and state file whole.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brix {

// The exact name when it exists; otherwise the first entry (byte order) of
// its directory whose name equals the last component without regard to ASCII
// case; otherwise the name unchanged.
std::string ResolveName(const std::string& path);

// A directory entry of that exact name exists (of any type).
bool EntryExists(const std::string& path);
// FileExists of the design: the (case-resolved) file can be opened for reading.
bool FileExists(const std::string& path);
// Names (without directory) of the regular files matching the wildcard
// pattern's last component, ignoring ASCII case, sorted by byte order.
std::vector<std::string> FindFiles(const std::string& pattern);
bool FileMatchExists(const std::string& pattern);
// Names in a directory (not "." and ".."), sorted by byte order; none when
// it cannot be read.
std::vector<std::string> ListDirectory(const std::string& dir);
// A directory that can be entered; one trailing "/" is ignored.
bool DirExists(const std::string& path);
// Directory part of a path including its final "/" ("" when none).
std::string DirName(const std::string& path);

// Whole file as bytes; raises EInOutError when it cannot be read.
std::string ReadFileBytes(const std::string& path);
// The file's bytes in pieces of up to 64 KiB, each passed to sink in order;
// raises EInOutError when it cannot be read.
void ReadFileChunks(const std::string& path, const std::function<void(std::string_view)>& sink);
// Splits text into lines at LF, dropping one CR before it; a last line
// without line end counts; lines are never cut.
std::vector<std::string> SplitLines(std::string_view text);
// ReadFileBytes + SplitLines of the case-resolved name.
std::vector<std::string> ReadLines(const std::string& path);

// Appends data with O_APPEND, creating the file; never truncates what was
// there. On a failed write the file is cut back to its previous length and
// EInOutError is raised.
void AppendWhole(const std::string& path, std::string_view data);

// Replaces a state file atomically: an exclusive temporary file in the same
// directory, written, flushed to disk, renamed over the old one with its
// permissions, and the directory flushed so that the rename is durable.
void ReplaceFile(const std::string& path, std::string_view data);

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

// fsync of a file's directory, so that a rename or new name is durable.
void SyncDirectory(const std::string& dir);
// Flushes the file system that holds dir, then dir itself: one call makes
// every file written there since durable, where an fsync per file would cost
// a journal commit each.
void SyncFileSystem(const std::string& dir);

// A new file written under a temporary name and moved to its final name only
// when complete, never replacing an existing file. Removes itself unless
// committed.
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
    // Flushes to disk (used where a server deletion depends on the file).
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

// Directory of the running executable, with "/" at the end.
std::string ProgramDirectory();

} // namespace brix
