// The mail jobs as users run them: the sender filter in a real run, a poison
// message in the middle of the queue, large kept mailboxes, a killed run, a
// full disk, large messages in little memory.

#include "get_mail_fixture.h"
#include "mail/idtext.h"
#include "platform/clock.h"
#include "testing/dovecot_server.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
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
using testing::SendBody;
using Lines = std::vector<std::string>;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Smtp(const std::string& to, const std::string& text) {
    return "HELO r\r\nMAIL FROM:<me@x>\r\nRCPT TO:<" + to + ">\r\nDATA\r\n" + text +
           ".\r\nQUIT\r\n";
}

// One run of the real program: the sender filter passes over a message, a
// lone CR stays in its line, and one refused message neither stops the queue
// nor is deleted; a "." answered "2501" is no acceptance.
TEST(MailInUse, FilterAndPoisonMessageInOneRun) {
    Script pop = Listed(3);
    for (int n = 1; n <= 3; ++n) {
        const std::string from = n == 2 ? "Spam@Example.ORG" : "friend@x";
        pop.Expect("TOP " + std::to_string(n) + " 0");
        SendBody(pop, {"From: " + from, ""});
        pop.Expect("LIST " + std::to_string(n)).Send("+OK " + std::to_string(n) + " 160");
        if (n != 2)
            SendBody(pop.Expect("RETR " + std::to_string(n)), {"From: " + from, "", "a\rb"});
    }
    pop.Expect("QUIT").Send("+OK");
    Script smtp = Script().Send("220 mx").Expect("HELO r").Send("250 hi");
    smtp.Expect("MAIL FROM: <me@x>").Send("250 ok").Expect("RCPT TO: <a@x>").Send("250 ok");
    smtp.Expect("DATA").Send("354 go").ExpectBody().Send("250 queued");
    smtp.Expect("MAIL FROM: <me@x>").Send("250 ok").Expect("RCPT TO: <typo@x>");
    smtp.Send("550 no such user").Expect("RSET").Send("250 reset");
    smtp.Expect("MAIL FROM: <me@x>").Send("250 ok").Expect("RCPT TO: <c@x>").Send("250 ok");
    smtp.Expect("DATA").Send("354 go").ExpectBody().Send("2501 strange");
    ScriptServer popServer(pop), smtpServer(smtp);

    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("filter.pho", "brix-pho: spam@example.org\n");
    t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + popServer.PortText() +
                            "\nPOP3USER=joe\nPOP3PASS=secret\nPPP_KILLFILE=" + t.Path() +
                            "filter.pho\nSMTPSERVER=127.0.0.1\nSMTPPORT=" + smtpServer.PortText() +
                            "\n");
    t.Write("spool/m0001.out", Smtp("a@x", "Subject: 1\r\n\r\none\r\n"));
    t.Write("spool/m0002.out", Smtp("typo@x", "Subject: 2\r\n\r\ntwo\r\n"));
    t.Write("spool/m0003.out", Smtp("c@x", "Subject: 3\r\n\r\nthree\r\n"));
    auto r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(popServer.Passed()) << popServer.Report();
    EXPECT_TRUE(smtpServer.Passed()) << smtpServer.Report();

    const std::string log = t.Read("qv-ppp.log");
    EXPECT_TRUE(Has(log, " Reading PHO-Filter...\r\n")) << log;
    EXPECT_TRUE(Has(log, " Error (sendmail): Rcpt. (Error=550 no such user)\r\n")) << log;
    EXPECT_TRUE(Has(log, " Error (sendmail): Data: After transfer. (Error=2501 strange)\r\n"));
    EXPECT_FALSE(t.Exists("spool/m0001.out"));
    EXPECT_TRUE(t.Exists("spool/m0002.out"));
    EXPECT_TRUE(t.Exists("spool/m0003.out"));
    EXPECT_EQ(t.Read("spool/m0000.msg"), "From joe@localhost\nFrom: friend@x\n\na\rb\n");
    EXPECT_TRUE(t.Exists("spool/m0001.msg"));
    EXPECT_FALSE(t.Exists("spool/m0002.msg"));
    EXPECT_EQ(t.Read("e-mail.uid"), Id("aaa") + Id("bbb") + Id("ccc"));
}

// Keep mode over a mailbox far beyond the old byte limit of the identifier
// text: the second run fetches nothing.
TEST(MailInUse, LargeKeptMailboxIsFetchedOnce) {
    if (std::string why = testing::DovecotServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    std::vector<testing::MaildirMessage> seed;
    for (int i = 0; i < 1200; ++i)
        seed.push_back({std::to_string(1000000000 + i) + ".M" + std::to_string(i) + "P1.test",
                        "From: a@b\nSubject: " + std::to_string(i) + "\n\nbody\n"});
    testing::DovecotServer pop;
    std::string why = pop.Start(seed);
    ASSERT_TRUE(why.empty()) << why;
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + pop.PortText() +
                            "\nPOP3USER=joe\nPOP3PASS=tanstaaf\n");
    for (int run = 0; run < 2; ++run) {
        auto r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path()});
        EXPECT_EQ(r.exitCode, 0) << r.output;
    }
    EXPECT_EQ(testing::DirNames(t.Path() + "spool").size(), 1200u);
    EXPECT_TRUE(Has(t.Read("qv-ppp.log"), " 1200 mails skipped\r\n"));
    EXPECT_GT(t.Read("e-mail.uid").size(), 32767u);
}

// Identifiers of this account that the server no longer lists leave the
// text; those of other accounts stay.
TEST_F(GetMailTest, GoneMessagesLeaveTheIdentifierText) {
    const std::string other = "<zzz@joe.other.server>";
    tree.Write("e-mail.uid", Id("old") + other + Id("aaa"));
    Script s = Listed(1);
    ScriptServer server(s.Expect("QUIT").Send("+OK"));
    Settings().VerboseMode = true;
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Uids(), other + Id("aaa"));
}

// A clock for which every look is eleven seconds later.
class HurryingClock final : public Clock {
  public:
    HurryingClock() { SetClock(this); }
    ~HurryingClock() override { SetClock(nullptr); }
    std::uint32_t TickCount() override { return static_cast<std::uint32_t>(MonotonicMs()); }
    std::int64_t MonotonicMs() override { return now_ += 11000; }
    LocalTime Now() override { return {}; }
    std::int64_t UnixNow() override { return 0; }
    void Sleep(std::uint32_t) override {}

  private:
    std::int64_t now_ = 0;
};

// A run killed in the middle of a message has recorded what it wrote before;
// the next run removes the unfinished file and fetches only the rest.
TEST_F(GetMailTest, KilledRunKeepsWhatItRecorded) {
    Settings().VerboseMode = true;
    Script s = Listed(3);
    SendBody(s.Expect("RETR 1"), {"Subject: 1", "", "one"});
    SendBody(s.Expect("RETR 2"), {"Subject: 2", "", "two"});
    s.Expect("RETR 3").Send("+OK").Send("Subject: 3").Pause(4000);
    ScriptServer server(s);
    box.POP3PORT = server.PortText();
    pid_t child = ::fork();
    if (child == 0) {
        HurryingClock clock;
        GetMail(box, false);
        ::_exit(0);
    }
    const std::string temp = SpoolDir() + "m0002.tmp";
    for (int i = 0; i < 300 && !tree.Exists("spool/m0002.tmp"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(tree.Exists("spool/m0002.tmp"));
    EXPECT_EQ(Uids(), Id("aaa") + Id("bbb"));

    Script again = Listed(3);
    SendBody(again.Expect("RETR 3"), {"Subject: 3", "", "three"});
    ScriptServer second(again.Expect("QUIT").Send("+OK"));
    Run(second);
    EXPECT_TRUE(second.Passed()) << second.Report();
    EXPECT_EQ(Spool(), (Lines{"m0000.msg", "m0001.msg", "m0002.msg"}));
    EXPECT_EQ(Spooled("m0002.msg"), "From joe@localhost\nSubject: 3\n\nthree\n");
    EXPECT_EQ(Uids(), Id("aaa") + Id("bbb") + Id("ccc"));
}

// The identifier text cannot be written (a full disk), yet every spool file
// is whole: QUIT still commits the deletions, and the failure is raised.
TEST_F(GetMailTest, FullDiskForTheStateFileStillEndsTheDialogue) {
    Settings().VerboseMode = true;
    box.POP3KEEP = "N";
    tree.Write("e-mail.uid", std::string(300, 'x'));
    Script s = Listed(1);
    SendBody(s.Expect("RETR 1"), {"Subject: 1", "", "one"});
    ScriptServer server(s.Expect("DELE 1").Send("+OK").Expect("QUIT").Send("+OK"));
    box.POP3PORT = server.PortText();
    {
        testing::FileSizeLimit fullDisk(200);
        EXPECT_THROW(GetMail(box, false), EInOutError);
    }
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spooled("m0000.msg"), "From joe@localhost\nSubject: 1\n\none\n");
}

// After a lost connection the log names what broke, not the QUIT after it.
TEST_F(GetMailTest, LostConnectionIsTheLoggedError) {
    Settings().VerboseMode = true;
    Script s = Listed(1);
    ScriptServer server(s.Expect("RETR 1").Send("+OK").Send("Subject: cut").Close());
    Run(server);
    EXPECT_EQ(RunLog().back(), "Error (getmail): ReadLn. (Error=104)");
    EXPECT_TRUE(Spool().empty());
    EXPECT_EQ(Uids(), "");
}

// Peak memory of a whole run that fetches and sends one 64 MiB message each:
// neither is held whole.
TEST(MailInUse, LargeMessagesNeedLittleMemory) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's own memory and pace would be measured";
#endif
    // The program starts (held at a shell's "read") while this process is
    // still small: a child's peak memory counts what it had before exec.
    testing::TempTree t;
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(go[0], 0);
        ::close(go[1]);
        ::setenv("QV", t.Path().c_str(), 1);
        ::execl("/bin/sh", "sh", "-c", "read x && exec \"$0\" box1.bfg -v >/dev/null", BRIX_BINARY,
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(go[0]);

    const std::string line(1000, 'x');
    std::string body;
    for (int i = 0; i < 64 * 1024; ++i)
        body += line + "\r\n";
    Script pop = Listed(1);
    pop.Expect("RETR 1").Send("+OK").SendRaw("Subject: big\r\n\r\n" + body + ".\r\n");
    pop.Expect("QUIT").Send("+OK");
    Script smtp = Script().Send("220 mx").Expect("HELO r").Send("250 hi");
    smtp.Expect("MAIL FROM: <me@x>").Send("250 ok").Expect("RCPT TO: <a@x>").Send("250 ok");
    smtp.Expect("DATA").Send("354 go").ExpectBody().Send("250 queued");
    // 64 MiB each way: more time than a dialogue's usual deadline.
    ScriptServer popServer(pop, std::chrono::seconds(60)),
        smtpServer(smtp, std::chrono::seconds(60));
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + popServer.PortText() +
                            "\nPOP3USER=joe\nPOP3PASS=secret\nSMTPSERVER=127.0.0.1\nSMTPPORT=" +
                            smtpServer.PortText() + "\n");
    t.Write("spool/m0001.out", Smtp("a@x", "Subject: big\r\n\r\n" + body));
    body.clear();
    ASSERT_EQ(::write(go[1], "\n", 1), 1);
    ::close(go[1]);

    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(popServer.Passed()) << popServer.Report();
    EXPECT_TRUE(smtpServer.Passed()) << smtpServer.Report();
    EXPECT_FALSE(t.Exists("spool/m0001.out"));
    EXPECT_GT(t.Read("spool/m0000.msg").size(), 64'000'000u);
    EXPECT_LT(usage.ru_maxrss, 32 * 1024) << "KiB";
}

} // namespace
} // namespace brix
