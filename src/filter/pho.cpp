#include "filter/pho.h"

#include "platform/files.h"
#include "support/errors.h"
#include "support/text.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace brix {

namespace {

constexpr std::string_view kTag = "brix-pho:";

std::uint64_t MemAvailableFromProc() {
    std::string info;
    try {
        info = ReadFileBytes("/proc/meminfo");
    } catch (const EInOutError&) {
        return 0;
    }
    for (const std::string& line : SplitLines(info)) {
        if (line.rfind("MemAvailable:", 0) != 0) continue;
        std::int64_t kb = 0;
        std::string rest = Trimmed(std::string_view(line).substr(13));
        if (LeadingInt64(rest, kb)) return static_cast<std::uint64_t>(kb) * 1024;
    }
    return 0;
}

} // namespace

std::uint64_t AvailableMemoryBytes() {
    if (std::uint64_t bytes = MemAvailableFromProc()) return bytes;
    long pages = ::sysconf(_SC_AVPHYS_PAGES);
    long size = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && size > 0)
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
    // Nothing to go by: better a working filter than a silently missing one.
    return std::numeric_limits<std::uint64_t>::max();
}

PhoFilter::PhoFilter(MemoryProbe probe) : probe_(std::move(probe)) {}

PhoFilter::~PhoFilter() {
    CloseFile();
}

void PhoFilter::CloseFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool PhoFilter::Open(const std::string& fileName) {
    Free();
    fileName_ = ResolveName(fileName);
    int fd = ::open(fileName_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void PhoFilter::Load() {
    if (fd_ < 0) return;
    if (probe_ && probe_() < kMinFreeMemory) {
        CloseFile();
        return;
    }
    std::string data;
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            CloseFile();
            ThrowInOutError(fileName_, err);
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    CloseFile();

    entries_.clear();
    for (std::string line : SplitLines(data)) {
        // The file is read as short text lines, like every text file of ours.
        CutTo(line, kShortText);
        TrimBlanks(line);
        line = LowerAscii(line);
        if (std::string_view(line).substr(0, kTag.size()) != kTag) continue;
        std::string entry = Trimmed(std::string_view(line).substr(kTag.size()));
        // An empty entry would match every sender that begins with a blank,
        // is empty or holds "<>": a slip of the pen, not a wish.
        if (entry.empty()) continue;
        entries_.push_front(std::move(entry));
    }
    enabled_ = true;
}

bool PhoFilter::Test(const std::string& sender) const {
    if (!enabled_) return false;
    for (const std::string& e : entries_) {
        if (sender.find("<" + e + ">") != std::string::npos) return true;
        if (sender.size() > e.size() && sender.compare(0, e.size(), e) == 0 &&
            sender[e.size()] == ' ')
            return true;
        if (sender == e) return true;
    }
    return false;
}

void PhoFilter::Free() {
    CloseFile();
    entries_.clear();
    enabled_ = false;
}

PhoFilter& ThePhoFilter() {
    static PhoFilter filter;
    return filter;
}

bool PhoOpen(const std::string& fileName) {
    return ThePhoFilter().Open(fileName);
}

void PhoLoad() {
    ThePhoFilter().Load();
}

bool PhoTest(const std::string& sender) {
    return ThePhoFilter().Test(sender);
}

void PhoFree() {
    ThePhoFilter().Free();
}

} // namespace brix
