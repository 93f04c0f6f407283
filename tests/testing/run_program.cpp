#include "testing/run_program.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

namespace brix::testing {

namespace {
// In the child: environment, working folder, then the program.
[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env, const std::string& workDir) {
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) ::_exit(126);
    ::unsetenv("QV");
    // The design's texts, shown in UTF-8, unless a test asks for a language.
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_CTYPE"})
        ::unsetenv(name);
    ::setenv("LANG", "C.UTF-8", 1);
    for (const std::string& e : env)
        ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

int ExitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads fd to its end, or until `child` (when given) has ended, or for at
// most `seconds`; types Return once `prompt` has appeared. The exit code
// when the child's end was seen here, else -1.
int ReadAll(int fd, std::string& out, int seconds, pid_t child = -1,
            const std::string& prompt = "") {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool answered = prompt.empty();
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        int status = 0;
        if (::poll(&p, 1, 100) <= 0) {
            if (child > 0 && ::waitpid(child, &status, WNOHANG) == child) return ExitCodeOf(status);
            continue;
        }
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (!answered && out.find(prompt) != std::string::npos)
            answered = ::write(fd, "\r", 1) == 1;
    }
    return -1;
}
} // namespace

int WaitExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return ExitCodeOf(status);
}

pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& env, const std::string& workDir, int out, int err) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(out < 0 ? null : out, 1);
        ::dup2(err == -2 ? (out < 0 ? null : out) : err < 0 ? null : err, 2);
        Exec(program, args, env, workDir);
    }
    return pid;
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::string& workDir,
                         bool errorsApart) {
    ProgramResult result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return result;
    // Standard error apart goes to a file, read when the program has ended.
    FILE* err = errorsApart ? std::tmpfile() : nullptr;
    pid_t pid = Spawn(program, args, env, workDir, fds[1], err ? ::fileno(err) : -2);
    ::close(fds[1]);
    ReadAll(fds[0], result.output, 600);
    ::close(fds[0]);
    result.exitCode = WaitExit(pid);
    if (err) {
        std::rewind(err);
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, err)) > 0;)
            result.errors.append(buf, n);
        std::fclose(err);
    }
    return result;
}

TerminalRun RunBrixOnTerminal(const std::vector<std::string>& args,
                              const std::vector<std::string>& env, const std::string& prompt) {
    TerminalRun run;
    int master = -1, slave = -1;
    winsize ws{};
    ws.ws_row = 25;
    ws.ws_col = 80;
    if (::openpty(&master, &slave, nullptr, nullptr, &ws) != 0) return run;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(master);
        ::login_tty(slave);
        Exec(BRIX_BINARY, args, env, "");
    }
    // The slave stays open here, so that its modes can be read at the end.
    run.exitCode = ReadAll(master, run.output, 10, pid, prompt);
    if (run.exitCode < 0) {
        ::kill(pid, SIGKILL);
        WaitExit(pid);
    }
    termios after{};
    ::tcgetattr(slave, &after);
    run.echoAfter = (after.c_lflag & ECHO) && (after.c_lflag & ICANON);
    ::close(master);
    ::close(slave);
    return run;
}

} // namespace brix::testing
