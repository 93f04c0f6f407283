#pragma once
// Files of the host reader's tree on a case-sensitive file system: finding
// and reading them (writing them whole is platform/durable.h's part).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
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
// The file may be read by its group or by others (mode bits 044).
bool ReadableByOthers(const std::string& path);
// Directory part of a path including its final "/" ("" when none).
std::string DirName(const std::string& path);
// The directory part (with its "/") and the last component.
std::pair<std::string, std::string> SplitPath(const std::string& path);

// An open descriptor that closes itself. Close() says what close() says:
// late write errors (NFS, a quota) show there, so a writer checks it.
struct FileHandle {
    int fd = -1;
    explicit FileHandle(int f) : fd(f) {}
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int Close();
};

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

// Directory of the running executable, with "/" at the end.
std::string ProgramDirectory();

} // namespace brix
