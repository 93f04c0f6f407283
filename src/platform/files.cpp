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

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    // close() reports late write errors (NFS, quota): its result matters.
    int Close() {
        int r = ::close(fd);
        fd = -1;
        return r;
    }
};

std::pair<std::string, std::string> SplitPath(const std::string& path) {
    auto pos = path.rfind('/');
    if (pos == std::string::npos) return {"", path};
    return {path.substr(0, pos + 1), path.substr(pos + 1)};
}

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

void WriteFd(int fd, std::string_view data, const std::string& path) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowInOutError(path, errno);
        }
        if (n == 0) ThrowInOutError(path, ENOSPC);
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

} // namespace

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
    Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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

void AppendWhole(const std::string& path, std::string_view data) {
    Fd f(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (f.fd < 0) ThrowInOutError(path, errno);
    struct stat st {};
    off_t before = ::fstat(f.fd, &st) == 0 ? st.st_size : -1;
    try {
        WriteFd(f.fd, data, path);
    } catch (...) {
        // Leave no half entry behind for the reader to trip over.
        if (before >= 0 && ::ftruncate(f.fd, before) != 0) { /* nothing more to do */
        }
        throw;
    }
    if (f.Close() != 0) {
        int err = errno;
        if (before >= 0) ::truncate(path.c_str(), before);
        ThrowInOutError(path, err);
    }
}

void SyncDirectory(const std::string& dir) {
    Fd d(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd < 0) ThrowInOutError(dir, errno);
    if (::fsync(d.fd) != 0 && errno != EINVAL) ThrowInOutError(dir, errno);
}

void SyncFileSystem(const std::string& dir) {
    Fd d(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd < 0) ThrowInOutError(dir, errno);
    if (::syncfs(d.fd) != 0) ThrowInOutError(dir, errno);
    if (::fsync(d.fd) != 0 && errno != EINVAL) ThrowInOutError(dir, errno);
}

void ReplaceFile(const std::string& path, std::string_view data) {
    auto [dir, name] = SplitPath(path);
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
    std::string tmp = dir + "." + name + ".tmp" + std::to_string(::getpid());
    // Exclusive: the name must not lead anywhere but to a file of our own
    // (a symbolic link planted there would otherwise be written through).
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST && ::unlink(tmp.c_str()) == 0)
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); // a killed run's
    if (fd < 0) ThrowInOutError(tmp, errno);
    Fd f(fd);
    try {
        WriteFd(f.fd, data, tmp);
        if (::fchmod(f.fd, mode) != 0) ThrowInOutError(tmp, errno);
        if (::fsync(f.fd) != 0) ThrowInOutError(tmp, errno);
        if (f.Close() != 0) ThrowInOutError(tmp, errno);
        if (::rename(tmp.c_str(), path.c_str()) != 0) ThrowInOutError(path, errno);
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    SyncDirectory(dir);
}

void RequireSpace(const std::vector<SpaceNeed>& needs, const std::string& purpose) {
    struct FileSystem {
        dev_t dev;
        std::string dir;
        std::uint64_t need, free;
    };
    std::vector<FileSystem> systems;
    for (const SpaceNeed& n : needs) {
        const std::string dir = n.dir.empty() ? "." : n.dir;
        struct stat st {};
        struct statvfs vfs {};
        // A directory we cannot look at is reported by the write itself.
        if (::stat(dir.c_str(), &st) != 0 || ::statvfs(dir.c_str(), &vfs) != 0) continue;
        const std::uint64_t block = vfs.f_frsize ? vfs.f_frsize : 4096;
        const std::uint64_t need = ((n.bytes + block - 1) / block + 1) * block;
        auto fs = std::find_if(systems.begin(), systems.end(),
                               [&](const FileSystem& f) { return f.dev == st.st_dev; });
        if (fs == systems.end())
            systems.push_back({st.st_dev, dir, need, std::uint64_t(vfs.f_bavail) * block});
        else
            fs->need += need;
    }
    for (const FileSystem& fs : systems)
        if (fs.free < fs.need)
            throw ebrix_diskfull("No space left on device in " + fs.dir + " for " + purpose + " (" +
                                 std::to_string(fs.free) + " bytes free, " +
                                 std::to_string(fs.need) + " needed)");
}

NewFile::NewFile(std::string tempPath) : temp_(std::move(tempPath)) {
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) ThrowInOutError(temp_, errno);
}

std::unique_ptr<NewFile> NewFile::CreateExclusive(std::string tempPath) {
    int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) return nullptr;
    if (fd < 0) ThrowInOutError(tempPath, errno);
    return std::unique_ptr<NewFile>(new NewFile(std::move(tempPath), fd));
}

NewFile::~NewFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(temp_.c_str());
}

void NewFile::Write(std::string_view data) {
    WriteFd(fd_, data, temp_);
}

void NewFile::Sync() {
    if (fd_ >= 0 && ::fsync(fd_) != 0) ThrowInOutError(temp_, errno);
}

void NewFile::Close() {
    if (fd_ < 0) return;
    int r = ::close(fd_);
    fd_ = -1;
    if (r != 0) ThrowInOutError(temp_, errno);
}

bool NewFile::CommitAs(const std::string& finalPath) {
    Close();
    // link() never replaces an existing name, unlike rename().
    if (::link(temp_.c_str(), finalPath.c_str()) == 0) {
        committed_ = true;
        ::unlink(temp_.c_str());
        return true;
    }
    if (errno == EEXIST) return false;
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EXDEV)
        ThrowInOutError(finalPath, errno);
    // File systems without hard links: a rename that refuses to replace.
    if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, finalPath.c_str(), RENAME_NOREPLACE) == 0) {
        committed_ = true;
        return true;
    }
    if (errno == EEXIST) return false;
    ThrowInOutError(finalPath, errno);
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
