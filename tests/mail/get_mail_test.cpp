// The mail fetch job against the scripted server: the dialogue byte for
// byte where the generated break-point dialogues do not go (LIST outside
// verbose mode), the spool and state files it leaves, its log lines, and a
// run killed mid-message.

#include "get_mail_fixture.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace brix {
namespace {

using testing::GetMailTest;
using testing::Id;
using testing::Listed;
using testing::Script;
using testing::ScriptServer;
using Lines = std::vector<std::string>;

// Known messages are skipped; a spool name taken under another case is
// passed over; identifiers of this account that the server no longer lists
// leave the text, those of other accounts stay, however many there are.
TEST_F(GetMailTest, KeepModeSkipsKnownAndFetchesNewBesideTakenSpoolNames) {
    Settings().VerboseMode = false;
    std::string other;
    for (int i = 0; i < 2000; ++i) // beyond any limit of the identifier file
        other += "<" + std::to_string(i) + "@joe.other.server>";
    tree.Write("e-mail.uid", Id("old") + other + Id("aaa"));
    tree.Write("spool/M0000.MSG", "old"); // the host reader does not tell case apart
    Script s = Listed(2);
    s.Expect("LIST 1").Send("+OK 1 120").Expect("LIST 2").Send("+OK 2 200");
    s.Expect("RETR 2").SendData("+OK", {"From: bob@example.org", "", ".dotted", "end"});
    ScriptServer server(s.Expect("QUIT").Send("+OK bye"));
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spool(), (Lines{"M0000.MSG", "m0001.msg"}));
    EXPECT_EQ(Spooled("M0000.MSG"), "old");
    EXPECT_EQ(Spooled("m0001.msg"), "From joe@localhost\nFrom: bob@example.org\n\n.dotted\nend\n");
    EXPECT_EQ(Uids(), other + Id("aaa") + Id("bbb"));
    EXPECT_EQ(RunLog(), (Lines{"POP3: 127.0.0.1:" + server.PortText(), "2 mails, 320 bytes",
                               "1 mails skipped"}));
}

// A run killed in the middle of a message has recorded what it wrote before
// (the identifiers are saved as the run goes) and nothing more.
TEST_F(GetMailTest, KilledRunKeepsWhatItRecorded) {
    Script s = Listed(3);
    s.Expect("RETR 1").SendData("+OK", {"Subject: 1", "", "one"});
    s.Expect("RETR 2").SendData("+OK", {"Subject: 2", "", "two"});
    ScriptServer server(s.Expect("RETR 3").Send("+OK").Send("Subject: 3").Pause(4000));
    box.POP3PORT = server.PortText();
    pid_t child = ::fork();
    if (child == 0) {
        clock.step = 11000;
        GetMail(box, false);
        ::_exit(0);
    }
    for (int i = 0; i < 300 && !tree.Exists("spool/m0002.tmp"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(tree.Exists("spool/m0002.tmp"));
    EXPECT_EQ(Uids(), Id("aaa") + Id("bbb"));
}

} // namespace
} // namespace brix
