#include "platform/files.h"

#include "support/errors.h"
#include "support/text.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace brix {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, DirCloser> d(opendir(dir.empty() ? "." : dir.c_str()));
    if (!d) return names;
    while (dirent* e = readdir(d.get())) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(std::move(n));
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

FileHandle::~FileHandle() {
    if (fd >= 0) ::close(fd);
}

int FileHandle::Close() {
    int r = ::close(fd);
    fd = -1;
    return r;
}

std::pair<std::string, std::string> SplitPath(const std::string& path) {
    auto pos = path.rfind('/');
    if (pos == std::string::npos) return {"", path};
    return {path.substr(0, pos + 1), path.substr(pos + 1)};
}

std::vector<std::string> ListDirectory(const std::string& dir) {
    return ListDir(dir);
}

bool EntryExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string ResolveName(const std::string& path) {
    if (path.empty() || EntryExists(path)) return path;
    auto [dir, name] = SplitPath(path);
    if (name.empty()) return path;
    for (const std::string& n : ListDir(dir))
        if (EqualsNoCase(n, name)) return dir + n;
    return path;
}

bool FileExists(const std::string& path) {
    std::string real = ResolveName(path);
    int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    ::close(fd);
    return ok;
}

std::vector<std::string> FindFiles(const std::string& pattern) {
    auto [dir, mask] = SplitPath(pattern);
    std::vector<std::string> found;
    for (const std::string& n : ListDir(dir)) {
        if (!WildcardMatch(mask, n, 0)) continue;
        struct stat st {};
        if (::stat((dir + n).c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(n);
    }
    return found; // ListDir sorted already
}

bool FileMatchExists(const std::string& pattern) {
    return !FindFiles(pattern).empty();
}

bool ReadableByOthers(const std::string& path) {
    struct stat st {};
    return ::stat(ResolveName(path).c_str(), &st) == 0 && (st.st_mode & 044) != 0;
}

bool DirExists(const std::string& path) {
    std::string p = path;
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p.empty()) return false;
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
}

std::string DirName(const std::string& path) {
    return SplitPath(path).first;
}

void ReadFileChunks(const std::string& path, const std::function<void(std::string_view)>& sink) {
    FileHandle f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0) ThrowInOutError(path, errno);
    std::vector<char> buf(65536);
    for (;;) {
        ssize_t n = ::read(f.fd, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowInOutError(path, errno);
        }
        if (n == 0) break;
        sink(std::string_view(buf.data(), static_cast<std::size_t>(n)));
    }
}

std::string ReadFileBytes(const std::string& path) {
    std::string data;
    ReadFileChunks(path, [&](std::string_view chunk) { data.append(chunk); });
    return data;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        std::size_t end = lf == std::string_view::npos ? text.size() : lf;
        std::size_t e = end;
        if (e > start && text[e - 1] == '\r') --e;
        lines.emplace_back(text.substr(start, e - start));
        if (lf == std::string_view::npos) break;
        start = lf + 1;
    }
    return lines;
}

std::vector<std::string> ReadLines(const std::string& path) {
    return SplitLines(ReadFileBytes(ResolveName(path)));
}

std::string ProgramDirectory() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./";
    std::string p(buf, static_cast<std::size_t>(n));
    auto pos = p.rfind('/');
    return pos == std::string::npos ? "./" : p.substr(0, pos + 1);
}

} // namespace brix
