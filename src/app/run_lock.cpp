#include "app/run_lock.h"

#include "context/abort.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/terminal.h"
#include "support/language.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace brix {

namespace {
// Held for the life of the process; closing it would drop the lock.
int lockFd = -1;

[[noreturn]] void EndLocked(const std::string& why) {
    ShowFatal(why);
    ExitProgram(kLockedExitCode);
}
} // namespace

int LockWaitSeconds() {
    const char* text = std::getenv("BRIX_LOCK_WAIT");
    if (text == nullptr || *text == '\0') return 60;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > 86'400) return 60;
    return static_cast<int>(value);
}

void LockReaderTree(const std::string& Dir, int WaitSeconds) {
    std::string name = Dir + kLockFileName;
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        ShowFatal("brix: " + name + ": " + std::strerror(errno));
        ExitProgram(2);
    }
    const std::int64_t start = TheClock().MonotonicMs();
    bool told = false;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            ShowFatal("brix: " + name + ": " + std::strerror(errno));
            ExitProgram(2);
        }
        if (!told) {
            TheConsole().WriteLine(
                Tr("Warte auf einen anderen Lauf in %s (%s) ...", {Dir, kLockFileName}));
            told = true;
        }
        try {
            CheckUserAbort();
        } catch (const ebrix_break&) {
            EndLocked(Tr("Fehler: Warten auf %s abgebrochen.", {name}));
        }
        if (TheClock().MonotonicMs() - start >= std::int64_t{WaitSeconds} * 1000)
            EndLocked(Tr("Fehler: %s wird von einem anderen Lauf benutzt (%s); nach %s Sekunden "
                         "aufgegeben.",
                         {Dir, name, std::to_string(WaitSeconds)}));
        TheClock().Sleep(100);
    }
    lockFd = fd;
}

} // namespace brix
