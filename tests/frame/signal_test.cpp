// Interrupt signals during a real run: the first acts like ESC (the job
// stops at its next safe point and keeps what it finished), a second one
// ends the program at once.

#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace brix {
namespace {

using testing::Script;
using testing::ScriptServer;

pid_t StartBrix(const std::vector<std::string>& args, const std::string& qv) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::setenv("QV", qv.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(BRIX_BINARY)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(BRIX_BINARY, argv.data());
        ::_exit(127);
    }
    return pid;
}

int WaitExit(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A mailbox of two messages whose first RETR answer comes late.
Script SlowMailbox(bool endsWithQuit) {
    Script s;
    s.Send("+OK ready")
        .Expect("USER joe")
        .Send("+OK")
        .Expect("PASS pw")
        .Send("+OK")
        .Expect("STAT")
        .Send("+OK 2 40")
        .Expect("UIDL")
        .SendLines({"+OK", "1 a", "2 b", "."})
        .Expect("RETR 1")
        .Pause(800)
        .SendLines({"+OK", "Subject: one", "", "body", "."});
    if (endsWithQuit) s.Expect("QUIT").Send("+OK bye");
    return s;
}

// Waits until the run log shows that the first message is being fetched, so
// that the signal reaches the job and not the start-up.
bool WaitForFetch(const testing::TempTree& t) {
    for (int i = 0; i < 300; ++i) {
        if (t.Read("qv-ppp.log").find("fetching mail #1") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void WriteTree(const testing::TempTree& t, const ScriptServer& server) {
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + server.PortText() +
                            "\nPOP3USER=joe\nPOP3PASS=pw\n");
}

TEST(Signals, FirstSignalStopsTheJobAtItsNextSafePoint) {
    ScriptServer server(SlowMailbox(true));
    testing::TempTree t;
    WriteTree(t, server);
    pid_t pid = StartBrix({"box1.bfg", "-v", "-debug"}, t.Path());
    ASSERT_TRUE(WaitForFetch(t));
    ::kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid), 0);
    EXPECT_NE(t.Read("qv-ppp.log").find(" aborted by user ...\r\n"), std::string::npos);
    // The signal met the job just before or during the first RETR: the
    // message is then either whole in the spool and recorded, or neither.
    // The second message is never asked for, and QUIT is sent either way.
    EXPECT_EQ(t.Exists("spool/m0000.msg"), t.Read("e-mail.uid") == "<a@joe.127.0.0.1>");
    EXPECT_EQ(server.Received().find("RETR 2"), std::string::npos);
    std::string received = server.Received();
    EXPECT_EQ(received.substr(received.size() - 6), "QUIT\r\n") << received;
}

TEST(Signals, SecondSignalEndsTheProgramAtOnce) {
    ScriptServer server(SlowMailbox(false));
    testing::TempTree t;
    WriteTree(t, server);
    pid_t pid = StartBrix({"box1.bfg", "-v", "-debug"}, t.Path());
    ASSERT_TRUE(WaitForFetch(t));
    auto start = std::chrono::steady_clock::now();
    ::kill(pid, SIGINT);
    // Two signals sent at once would merge into one pending signal.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(pid, SIGINT);
    EXPECT_EQ(WaitExit(pid), 128 + SIGINT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_FALSE(t.Exists("spool/m0000.msg"));
}

} // namespace
} // namespace brix
