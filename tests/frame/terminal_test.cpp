// The real binary under a pseudo-terminal: the status window is drawn and
// the terminal is handed back as it was found.

#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

namespace brix {
namespace {

struct PtyRun {
    int exitCode = -1;
    std::string output;
    termios after{};
};

PtyRun RunUnderPty(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    PtyRun run;
    int master = -1, slave = -1;
    winsize ws{};
    ws.ws_row = 25;
    ws.ws_col = 80;
    if (::openpty(&master, &slave, nullptr, nullptr, &ws) != 0) return run;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(master);
        ::login_tty(slave);
        for (const std::string& e : env)
            ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv{const_cast<char*>(BRIX_BINARY)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(BRIX_BINARY, argv.data());
        ::_exit(127);
    }
    // Keep the slave open, so that its modes can be read after the child ends.
    for (int rounds = 0; rounds < 100; ++rounds) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buf[4096];
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) run.output.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid = -1;
            break;
        }
    }
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ::tcgetattr(slave, &run.after);
    ::close(master);
    ::close(slave);
    return run;
}

TEST(Terminal, StatusWindowIsDrawnAndTheTerminalRestored) {
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("qvdesk.col", "MAILER=31 30 28\r\n");
    t.Write("BOX1.bfg", "");
    PtyRun run = RunUnderPty({"box1.bfg"}, {"QV=" + t.Path(), "LC_ALL=C.UTF-8", "TERM=xterm"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string& out = run.output;
    // Screen cleared, cursor hidden, frame corners at their places.
    EXPECT_NE(out.find("\x1b[2J"), std::string::npos);
    EXPECT_NE(out.find("\x1b[?25l"), std::string::npos);
    EXPECT_NE(out.find("\x1b[4;3H\u250C\u2500\u2500"), std::string::npos) << out;
    EXPECT_NE(out.find("\x1b[23;3H\u2514"), std::string::npos);
    // Colour 1 = 31: bright white on blue.
    EXPECT_NE(out.find("\x1b[0;97;44m"), std::string::npos);
    // Cursor below the frame, shown again, colours reset.
    auto end = out.rfind("\x1b[25;1H");
    ASSERT_NE(end, std::string::npos);
    EXPECT_NE(out.find("\x1b[?25h", end), std::string::npos);
    EXPECT_NE(out.find("\x1b[0m"), std::string::npos);
    // Echo and line editing are back on.
    EXPECT_TRUE(run.after.c_lflag & ECHO);
    EXPECT_TRUE(run.after.c_lflag & ICANON);
}

TEST(Terminal, ErrorExitAlsoShowsTheCursor) {
    PtyRun run = RunUnderPty({"box1"}, {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(run.exitCode, 102);
    auto hide = run.output.find("\x1b[?25l");
    ASSERT_NE(hide, std::string::npos);
    EXPECT_NE(run.output.find("\x1b[?25h", hide), std::string::npos);
    EXPECT_NE(run.output.find("ung\xC3\xBCltiger Parameter: BOX1"), std::string::npos);
}

} // namespace
} // namespace brix
