// One run at a time on a reader's tree, and a run waiting for a hanging
// server stops on a signal like any other: both through the real program.

#include "testing/run_program.h"
#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace brix {
namespace {

using namespace std::chrono_literals;
using testing::Script;
using testing::ScriptServer;

pid_t StartBrix(const std::string& qv) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::setenv("QV", qv.c_str(), 1);
        ::execl(BRIX_BINARY, BRIX_BINARY, "box1.bfg", "-v", "-debug", nullptr);
        ::_exit(127);
    }
    return pid;
}

int WaitExit(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool WaitForText(const testing::TempTree& t, const std::string& file, const std::string& text) {
    for (int i = 0; i < 500; ++i) {
        if (t.Read(file).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(RunLock, SecondRunWaitsThenEndsAndASignalStopsTheWaitForAServer) {
    // The server takes RETR and then says nothing for four seconds; the run
    // would wait a minute for it.
    ScriptServer server(Script()
                            .Send("+OK ready")
                            .Expect("USER joe")
                            .Send("+OK")
                            .Expect("PASS pw")
                            .Send("+OK")
                            .Expect("STAT")
                            .Send("+OK 1 20")
                            .Expect("UIDL")
                            .SendLines({"+OK", "1 a", "."})
                            .Expect("RETR 1")
                            .Pause(4000)
                            .Expect("QUIT")
                            .Send("+OK bye"),
                        20s);
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + server.PortText() +
                            "\nPOP3USER=joe\nPOP3PASS=pw\nPOP3TIMEOUT=60\n");
    pid_t first = StartBrix(t.Path());
    ASSERT_TRUE(WaitForText(t, "BOX1.log", "RETR 1"));

    auto second = testing::RunBrix({"box1.bfg", "-v"}, {"QV=" + t.Path(), "BRIX_LOCK_WAIT=1"});
    EXPECT_EQ(second.exitCode, 104) << second.output;
    EXPECT_NE(second.output.find("brix.lock"), std::string::npos) << second.output;

    auto start = std::chrono::steady_clock::now();
    ::kill(first, SIGTERM);
    EXPECT_EQ(WaitExit(first), 0);
    // The job stopped waiting at once and ended its dialogue with QUIT,
    // which the server read after its pause.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_NE(t.Read("qv-ppp.log").find(" aborted by user ...\r\n"), std::string::npos);
    std::string received = server.Received();
    EXPECT_TRUE(received.ends_with("RETR 1\r\nQUIT\r\n")) << received;
    EXPECT_FALSE(t.Exists("spool/m0000.msg"));

    // The first run is over: the tree is free again.
    t.Write("BOX1.bfg", "");
    EXPECT_EQ(testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path(), "BRIX_LOCK_WAIT=0"}).exitCode, 0);
}

TEST(RunLock, ALockLeftByAKilledRunNeverBlocks) {
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", "");
    pid_t holder = ::fork();
    if (holder == 0) {
        int fd = ::open((t.Path() + "brix.lock").c_str(), O_RDWR | O_CREAT, 0644);
        ::flock(fd, LOCK_EX);
        ::pause();
        ::_exit(0);
    }
    std::this_thread::sleep_for(100ms);
    auto blocked = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path(), "BRIX_LOCK_WAIT=0"});
    EXPECT_EQ(blocked.exitCode, 104) << blocked.output;
    ::kill(holder, SIGKILL);
    EXPECT_EQ(WaitExit(holder), 128 + SIGKILL);
    auto r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path(), "BRIX_LOCK_WAIT=0"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
}

} // namespace
} // namespace brix
