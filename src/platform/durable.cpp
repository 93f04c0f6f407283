#include "platform/durable.h"

#include "platform/files.h"
#include "support/errors.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace brix {

namespace {

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

void SyncFd(int fd, const std::string& path) {
    if (::fsync(fd) != 0) ThrowInOutError(path, errno);
}

// Flushes the file system that holds dir: one call makes every file written
// there durable, where an fsync per file would cost a journal commit each.
void SyncFileSystem(const std::string& dir) {
    FileHandle d(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd < 0) ThrowInOutError(dir, errno);
    if (::syncfs(d.fd) != 0) ThrowInOutError(dir, errno);
}

// Beyond this many files a flush goes through their file systems at once.
constexpr std::size_t kFilesFlushedOneByOne = 4;

} // namespace

// Fetched mail and news and the state files are the user's alone: they may
// hold private mail, whatever the umask lets others read.
constexpr mode_t kOwnerOnly = 0600;

NewFile::NewFile(std::string tempPath) : temp_(std::move(tempPath)) {
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
    if (fd_ < 0) ThrowInOutError(temp_, errno);
}

std::unique_ptr<NewFile> NewFile::CreateExclusive(std::string tempPath) {
    int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
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
    if (fd_ >= 0) SyncFd(fd_, temp_);
}

void NewFile::Close() {
    if (fd_ < 0) return;
    int r = ::close(fd_);
    fd_ = -1;
    if (r != 0) ThrowInOutError(temp_, errno);
}

bool NewFile::CommitAs(const std::string& finalPath) {
    Close();
    // A rename that refuses to replace: the temporary name is gone exactly
    // when the final one is there, so that a killed run can tell from the
    // temporary name alone whether the file made it.
    if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, finalPath.c_str(), RENAME_NOREPLACE) == 0) {
        committed_ = true;
        return true;
    }
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP)
        ThrowInOutError(finalPath, errno);
    // File systems without that rename: link() never replaces a name either;
    // between it and the unlink both names hold the file (two links).
    if (::link(temp_.c_str(), finalPath.c_str()) == 0) {
        committed_ = true;
        ::unlink(temp_.c_str());
        return true;
    }
    if (errno == EEXIST) return false;
    ThrowInOutError(finalPath, errno);
}

void ReplaceFile(const std::string& path, std::string_view data) {
    ReplaceFileWith(path, [&](const ByteSink& write) { write(data); });
}

void ReplaceFileWith(const std::string& path,
                     const std::function<void(const ByteSink& write)>& fill) {
    auto [dir, name] = SplitPath(path);
    mode_t mode = kOwnerOnly;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
    std::string tmp = dir + "." + name + ".tmp" + std::to_string(::getpid());
    // Exclusive: the name must not lead anywhere but to a file of our own
    // (a symbolic link planted there would otherwise be written through).
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST && ::unlink(tmp.c_str()) == 0)
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); // a killed run's
    if (fd < 0) ThrowInOutError(tmp, errno);
    FileHandle f(fd);
    try {
        fill([&](std::string_view data) { WriteFd(f.fd, data, tmp); });
        if (::fchmod(f.fd, mode) != 0) ThrowInOutError(tmp, errno);
        SyncFd(f.fd, tmp);
        if (f.Close() != 0) ThrowInOutError(tmp, errno);
        if (::rename(tmp.c_str(), path.c_str()) != 0) ThrowInOutError(path, errno);
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    SyncDirectory(dir);
}

void RemoveFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0) ThrowInOutError(path, errno);
    SyncDirectory(DirName(path));
}

AppendFile::AppendFile(std::string path, unsigned mode) : path_(std::move(path)) {
    fd_ =
        ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd_ < 0) ThrowInOutError(path_, errno);
}

AppendFile::~AppendFile() {
    if (fd_ >= 0) ::close(fd_);
}

void AppendFile::Append(std::string_view entry) {
    struct stat st {};
    before_ = ::fstat(fd_, &st) == 0 ? st.st_size : -1;
    try {
        WriteFd(fd_, entry, path_);
    } catch (...) {
        // The reader must never meet half an entry.
        if (before_ >= 0 && ::ftruncate(fd_, before_) != 0) { /* reported by the write */
        }
        throw;
    }
}

void AppendFile::Close() {
    if (fd_ < 0) return;
    const int r = ::close(fd_);
    fd_ = -1;
    if (r == 0) return;
    const int err = errno;
    if (before_ >= 0 && ::truncate(path_.c_str(), before_) != 0) { /* reported below */
    }
    ThrowInOutError(path_, err);
}

void AppendWhole(const std::string& path, std::string_view data, unsigned Mode) {
    AppendFile file(path, Mode);
    file.Append(data);
    file.Close();
}

void DataBeforeState::Written(const std::string& path) {
    // Few directories and, until there are many, few files: the look-ups
    // stay short however many files a run writes.
    std::string dir = DirName(path);
    if (std::find(dirs_.begin(), dirs_.end(), dir) == dirs_.end()) dirs_.push_back(std::move(dir));
    if (many_ || std::find(files_.begin(), files_.end(), path) != files_.end()) return;
    files_.push_back(path);
    many_ = files_.size() > kFilesFlushedOneByOne;
}

void DataBeforeState::Flush() {
    if (many_) {
        for (const std::string& dir : dirs_)
            SyncFileSystem(dir);
    } else {
        for (const std::string& path : files_) {
            FileHandle f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            if (f.fd < 0) ThrowInOutError(path, errno);
            SyncFd(f.fd, path);
        }
    }
    // The names too: a file flushed under a name that is not is lost.
    for (const std::string& dir : dirs_)
        SyncDirectory(dir);
    files_.clear();
    dirs_.clear();
    many_ = false;
}

void DataBeforeState::FlushThenSave(const std::function<void()>& save) {
    Flush();
    save();
}

void SyncDirectory(const std::string& dir) {
    FileHandle d(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd < 0) ThrowInOutError(dir, errno);
    if (::fsync(d.fd) != 0 && errno != EINVAL) ThrowInOutError(dir, errno);
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

// ------------------------------------------------------------------------
// Files changed in place.

InPlaceFile::InPlaceFile(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) ThrowInOutError(path_, errno);
}

InPlaceFile::~InPlaceFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::int64_t InPlaceFile::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) ThrowInOutError(path_, errno);
    return static_cast<std::int64_t>(st.st_size);
}

void InPlaceFile::ReadAt(std::int64_t offset, std::string& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pread(fd_, bytes.data() + done, bytes.size() - done,
                                  static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ThrowInOutError(path_, n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
}

void InPlaceFile::WriteAt(std::int64_t offset, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ThrowInOutError(path_, n < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(n);
    }
}

void InPlaceFile::Sync() {
    SyncFd(fd_, path_);
}

} // namespace brix
