#include "platform/command.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace brix {

namespace {

// Output beyond this is read and dropped: only the first line counts, and
// the command must not block on a full pipe.
constexpr std::size_t kKeptOutput = 64 * 1024;

// The command's process group: killed and reaped on every way out, so no
// helper outlives the run or stays a zombie.
class Child {
  public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGKILL);
        Wait();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    void Wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    // Reaped already.
    void Forget() { pid_ = -1; }

  private:
    pid_t pid_;
};

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

} // namespace

CommandLine FirstLineOf(const std::string& Command, const std::vector<std::string>& Environment,
                        std::int32_t TimeoutMs, const std::function<void()>& Poll) {
    CommandLine result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.error = std::string("no pipe: ") + std::strerror(errno);
        return result;
    }
    Fd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

    // Ours replace the caller's of the same name: a shell may take either
    // of two entries.
    std::vector<std::string> envText(Environment);
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(Environment.begin(), Environment.end(),
                         [&](const std::string& ours) { return ours.starts_with(name); }))
            envText.emplace_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
    // Its own process group: a time-out kills the helpers it started too.
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    std::string shell = "/bin/sh", dashC = "-c", command = Command;
    char* argv[] = {shell.data(), dashC.data(), command.data(), nullptr};
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        result.error = std::string("cannot start /bin/sh: ") + std::strerror(spawned);
        return result;
    }
    Child child(pid);
    writeEnd.reset();

    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    auto timedOut = [&] {
        result.error = "no answer within " + std::to_string(TimeoutMs / 1000) + " s";
        return result; // Child kills it
    };
    bool eof = false, exited = false;
    int status = 0;
    // A command that has exited may have left a child of its own holding
    // the output open (an agent it started): what it printed by then
    // counts, and that child is not waited for.
    std::optional<std::chrono::steady_clock::time_point> lingerUntil;
    for (;;) {
        Poll();
        if (!exited && ::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            child.Forget();
        }
        const auto now = std::chrono::steady_clock::now();
        if (exited && (eof || output.find('\n') != std::string::npos)) break;
        if (exited && !lingerUntil) lingerUntil = now + std::chrono::milliseconds(200);
        if (lingerUntil && now >= *lingerUntil) break;
        if (now >= deadline) return timedOut();
        if (eof) {
            ::usleep(10'000);
            continue;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        pollfd p{readEnd.get(), POLLIN, 0};
        const int ready =
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left, exited ? 10 : 100)));
        if (ready < 0 && errno != EINTR) {
            result.error = std::string("poll: ") + std::strerror(errno);
            return result;
        }
        if (ready <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            eof = true;
            continue;
        }
        if (output.size() < kKeptOutput) output.append(buf, static_cast<std::size_t>(n));
    }
    if (WIFSIGNALED(status)) {
        result.error = "ended by signal " + std::to_string(WTERMSIG(status));
        return result;
    }
    if (WEXITSTATUS(status) != 0) {
        result.error = "exit code " + std::to_string(WEXITSTATUS(status));
        return result;
    }
    const std::size_t end = output.find('\n');
    if (output.empty()) {
        result.error = "no output";
        return result;
    }
    // Without its line end the output may be cut anywhere (a full pipe, a
    // command killed half-way): it is never taken for the secret.
    if (end == std::string::npos) {
        result.error = output.size() >= kKeptOutput
                           ? "no line end in the first " + std::to_string(kKeptOutput / 1024) +
                                 " KiB of its output"
                           : "its output has no line end (the secret must end with a newline)";
        return result;
    }
    result.line = output.substr(0, end);
    if (!result.line.empty() && result.line.back() == '\r') result.line.pop_back();
    if (result.line.empty()) {
        result.error = "no output";
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace brix
