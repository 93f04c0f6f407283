// A scorefile error ends the process, so these tests load in a child: the
// test executable starts itself again with a hidden test that loads the file
// named in its environment. A fresh process (not a bare fork) matters: the
// console and keyboard decide once whether they talk to a terminal.

#include "filter/scorefile.h"
#include "filter/scorefile_test_util.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/terminal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace brix {
namespace {

using testing::ScoreTempDir;

constexpr const char* kChildFileVar = "BRIX_SCOREFILE_CHILD";
constexpr const char* kChildTtyVar = "BRIX_SCOREFILE_CHILD_TTY";
// The child writes its console to this descriptor; its standard output
// belongs to the test framework and goes nowhere.
constexpr int kChildConsoleFd = 3;

// ---- the child side -------------------------------------------------------

class ScorefileChild : public ::testing::Test {
  public:
    void TestBody() override {
        const char* path = std::getenv(kChildFileVar);
        bool tty = std::getenv(kChildTtyVar) != nullptr;
        std::fflush(stdout);
        ::dup2(kChildConsoleFd, STDOUT_FILENO);
        if (tty) ::dup2(kChildConsoleFd, STDIN_FILENO);
        ::close(kChildConsoleFd);
        // As the program does at start-up.
        std::setlocale(LC_ALL, "");
        InstallTerminalGuards();
        EnterRawKeyboard();
        tbrix_scorefile sf;
        sf.Load(path);
        TheConsole().WriteLine("loaded");
        ExitProgram(0);
    }
};

// Registered only in the child, so that it never shows up in a normal run.
const bool kChildRegistered = [] {
    if (std::getenv(kChildFileVar) == nullptr) return false;
    ::testing::RegisterTest("ScorefileChild", "Load", nullptr, nullptr, __FILE__, __LINE__,
                            []() -> ::testing::Test* { return new ScorefileChild; });
    return true;
}();

// ---- the parent side ------------------------------------------------------

struct ChildRun {
    int exitCode = -1;
    std::string output;
    bool timedOut = false;
};

std::vector<std::string> ChildEnvironment(const std::string& path, bool tty) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("GTEST_", 0) == 0 || v.rfind("LC_ALL=", 0) == 0 ||
            v.rfind(std::string(kChildFileVar) + "=", 0) == 0 ||
            v.rfind(std::string(kChildTtyVar) + "=", 0) == 0)
            continue;
        env.push_back(v);
    }
    env.push_back(std::string(kChildFileVar) + "=" + path);
    env.push_back("LC_ALL=C.UTF-8");
    if (tty) env.push_back(std::string(kChildTtyVar) + "=1");
    return env;
}

// Starts the child with `consoleFd` as its console; returns its pid.
pid_t StartChild(const std::string& path, int consoleFd, int closeFd, bool tty) {
    std::vector<std::string> env = ChildEnvironment(path, tty);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string name = "brix_tests", filter = "--gtest_filter=ScorefileChild.Load";
    char* argv[] = {name.data(), filter.data(), nullptr};
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    // Child: only async-signal-safe calls up to exec.
    if (closeFd >= 0 && closeFd != consoleFd) ::close(closeFd);
    if (consoleFd != kChildConsoleFd) {
        ::dup2(consoleFd, kChildConsoleFd);
        ::close(consoleFd);
    } else {
        ::fcntl(kChildConsoleFd, F_SETFD, 0);
    }
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    if (null > kChildConsoleFd) ::close(null);
    ::execve(self.c_str(), argv, envp.data());
    ::_exit(127);
}

// Reads fd until it closes or the deadline passes; `onData` may answer.
template <class OnData> bool ReadUntilClosed(int fd, std::string& out, int seconds, OnData onData) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true; // EOF, or EIO from a pty whose child is gone
        out.append(buf, static_cast<std::size_t>(n));
        onData(out);
    }
}

int Reap(pid_t pid, bool kill) {
    if (kill) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ChildRun LoadInChildWithPipe(const std::string& path) {
    int fds[2];
    ChildRun run;
    if (::pipe2(fds, O_CLOEXEC) != 0) return run;
    pid_t pid = StartChild(path, fds[1], fds[0], false);
    ::close(fds[1]);
    run.timedOut = !ReadUntilClosed(fds[0], run.output, 20, [](const std::string&) {});
    ::close(fds[0]);
    run.exitCode = Reap(pid, run.timedOut);
    return run;
}

// The child runs under C.UTF-8; without it the console shows "?" for
// anything beyond ASCII.
std::string AsConsoleShowsIt(const std::string& cp850) {
    locale_t utf8 = ::newlocale(LC_ALL_MASK, "C.UTF-8", nullptr);
    if (utf8 != nullptr) {
        ::freelocale(utf8);
        return Cp850ToUtf8(cp850);
    }
    std::string out = cp850;
    for (char& c : out)
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    return out;
}

// What the console shows for an error.
std::string ExpectedReport(const std::string& path, const tscloaderror& e) {
    return AsConsoleShowsIt("\n\nFehler in Zeile " + std::to_string(e.line) + ":\n" + e.rawLine +
                            "\n\n" + e.Message(path) + "\n") +
           "\rWeiter mit Return ... [00:30] \n";
}

struct ProcessCase {
    const char* file;
    int exitCode;
};

const ProcessCase kProcessCases[] = {
    {"0 10\n", 11},
    {"x 10 KILL\n", 11},
    {"10 0 KILL\n", 11},
    {"0 10 KAPUTT\n", 11},
    {"[ ]\nscore 1\n", 7},
    {"[de.*\nscore 1\n", 7},
    {"0 10 KILL\n", 7},
    {"[*]\nFrom=x\n", 8},
    {"[*]\nscore x\n", 8},
    {"[*]\nscore 1\nFrom=x\nNAME late\n", 10},
    {"[*]\nscore 1\n  From x\n", 9},
    {"[*]\nscore 1 expires 2001/12/31\n", 4},
    {"[*]\nscore 1 expires 31.02.2030\n", 4},
};

TEST(ScorefileProcess, LoadErrorEndsWithReportPromptAndExitCode) {
    ScoreTempDir dir;
    for (const ProcessCase& c : kProcessCases) {
        std::string path = dir.Write("QVSCORE.SC", c.file);
        tbrix_scorefile probe;
        std::optional<tscloaderror> err = probe.Parse(SplitLines(c.file), 0);
        ASSERT_TRUE(err) << c.file;
        ChildRun run = LoadInChildWithPipe(path);
        ASSERT_FALSE(run.timedOut) << c.file;
        EXPECT_EQ(run.exitCode, c.exitCode) << c.file;
        EXPECT_EQ(run.output, ExpectedReport(path, *err)) << c.file;
    }
}

TEST(ScorefileProcess, GoodFileLoadsAndTheProgramGoesOn) {
    ScoreTempDir dir;
    std::string path = dir.Write("qvscore.sc", "-999 -1 KILL\n[*]\nscore -5\nFrom=*x*\n");
    ChildRun run = LoadInChildWithPipe(dir.Path() + "QVSCORE.SC");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "loaded\n");
}

TEST(ScorefileProcess, ReturnAtTheTerminalPromptEndsWithTheExitCode) {
    ScoreTempDir dir;
    std::string path = dir.Write("QVSCORE.SC", "[*]\nscore 1\nNAME a\nNAME b\n");
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0) << std::strerror(errno);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    pid_t pid = StartChild(path, slave, master, true);
    ::close(slave);
    std::string out;
    bool answered = false;
    bool closed = ReadUntilClosed(master, out, 20, [&](const std::string& o) {
        if (!answered && o.find("Weiter mit Return ... [00:30] ") != std::string::npos) {
            answered = true;
            ASSERT_EQ(::write(master, "\r", 1), 1);
        }
    });
    ::close(master);
    int code = Reap(pid, !closed);
    ASSERT_TRUE(closed) << "child still running; output so far: " << out;
    EXPECT_TRUE(answered);
    EXPECT_EQ(code, 10);
    // The terminal turns each line end into CR LF.
    EXPECT_NE(out.find("\r\nFehler in Zeile 4:\r\nNAME b\r\n\r\nFehler in " + path + " bei "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(": Name ohne vorheriges SCORE.\r\n\rWeiter mit Return ... [00:30] "),
              std::string::npos)
        << out;
    // Return ended the count-down long before it ran out.
    EXPECT_EQ(out.find("[00:25]"), std::string::npos) << out;
}

} // namespace
} // namespace brix
