// One run at a time on a reader's tree, and signals in the middle of a run:
// the first stops even a wait for a silent server, the second ends the
// program at once. All through the real program.

#include "testing/run_program.h"
#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

namespace brix {
namespace {

using namespace std::chrono_literals;
using testing::RunBrix;
using testing::Script;
using testing::ScriptServer;

// A mailbox of one message whose RETR gets no answer for four seconds; the
// run would wait a minute for it.
Script SilentAtRetr(bool endsWithQuit) {
    Script s = Script().Send("+OK ready").Expect("USER joe").Send("+OK").Expect("PASS pw");
    s.Send("+OK").Expect("STAT").Send("+OK 1 20").Expect("UIDL").SendLines({"+OK", "1 a", "."});
    s.Expect("RETR 1").Pause(4000);
    if (endsWithQuit) s.Expect("QUIT").Send("+OK bye");
    return s;
}

// A reader's tree whose box fetches from `server`.
struct Host {
    explicit Host(const ScriptServer& server) {
        t.MakeDir("spool");
        t.Write("qvdesk.cfg", "");
        t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + server.PortText() +
                                "\nPOP3USER=joe\nPOP3PASS=pw\nPOP3TIMEOUT=60\n");
    }
    // Starts a fetch and waits until it sent RETR, so that a signal reaches
    // the job and not the start-up.
    pid_t StartFetch() {
        pid_t pid = testing::Spawn(BRIX_BINARY, {"box1.bfg", "-v", "-debug"}, {Env()}, "", -1);
        for (int i = 0; i < 500 && t.Read("BOX1.log").find("RETR 1") == std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
        return pid;
    }
    // The tree is free: a run that may not wait for the lock goes ahead.
    bool Free() {
        t.Write("BOX1.bfg", "");
        return RunBrix({"box1.bfg"}, {Env(), "BRIX_LOCK_WAIT=0"}).exitCode == 0;
    }
    std::string Env() const { return "QV=" + t.Path(); }
    testing::TempTree t;
};

TEST(RunControl, SecondRunIsRefusedAndASignalStopsTheWaitForAServer) {
    ScriptServer server(SilentAtRetr(true), 20s);
    Host host(server);
    pid_t first = host.StartFetch();
    auto second = RunBrix({"box1.bfg", "-v"}, {host.Env(), "BRIX_LOCK_WAIT=1"});
    EXPECT_EQ(second.exitCode, 104) << second.output;
    EXPECT_NE(second.output.find("brix.lock"), std::string::npos) << second.output;

    auto start = std::chrono::steady_clock::now();
    ::kill(first, SIGTERM);
    EXPECT_EQ(testing::WaitExit(first), 0);
    // The job stopped waiting at once and ended its dialogue with QUIT,
    // which the server read after its pause.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_NE(host.t.Read("qv-ppp.log").find(" aborted by user ...\r\n"), std::string::npos);
    EXPECT_TRUE(server.Received().ends_with("RETR 1\r\nQUIT\r\n")) << server.Received();
    EXPECT_FALSE(host.t.Exists("spool/m0000.msg"));
    EXPECT_TRUE(host.Free());
}

// A program ended by a signal leaves no lock that would block the next run.
TEST(RunControl, SecondSignalEndsTheProgramAtOnce) {
    ScriptServer server(SilentAtRetr(false), 20s);
    Host host(server);
    pid_t pid = host.StartFetch();
    auto start = std::chrono::steady_clock::now();
    ::kill(pid, SIGINT);
    // Two signals sent at once would merge into one pending signal.
    std::this_thread::sleep_for(50ms);
    ::kill(pid, SIGINT);
    EXPECT_EQ(testing::WaitExit(pid), 128 + SIGINT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
    EXPECT_FALSE(host.t.Exists("spool/m0000.msg"));
    EXPECT_TRUE(host.Free());
}

} // namespace
} // namespace brix
