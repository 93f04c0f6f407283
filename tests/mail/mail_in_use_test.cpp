// The mail jobs as users run them, through the real program: the sender
// filter, a poison message in the middle of the queue, large messages in
// little memory.

#include "get_mail_fixture.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace brix {
namespace {

using testing::Id;
using testing::Listed;
using testing::Script;
using testing::ScriptServer;
using testing::SendBody;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Smtp(const std::string& to, const std::string& text) {
    return "HELO r\r\nMAIL FROM:<me@x>\r\nRCPT TO:<" + to + ">\r\nDATA\r\n" + text +
           ".\r\nQUIT\r\n";
}

// The SMTP server's side up to the reply to RCPT TO for `to`.
Script& MailTo(Script& s, const std::string& to, const std::string& reply = "250 ok") {
    return s.Expect("MAIL FROM: <me@x>").Send("250 ok").Expect("RCPT TO: <" + to + ">").Send(reply);
}

// A host tree whose box fetches from `pop` and sends through `smtp`.
void WriteBox(testing::TempTree& t, const ScriptServer& pop, const ScriptServer& smtp,
              const std::string& more = "") {
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + pop.PortText() +
                            "\nPOP3USER=joe\nPOP3PASS=secret\nSMTPSERVER=127.0.0.1\nSMTPPORT=" +
                            smtp.PortText() + "\n" + more);
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
    MailTo(smtp, "a@x").Expect("DATA").Send("354 go").ExpectBody().Send("250 queued");
    MailTo(smtp, "typo@x", "550 no such user").Expect("RSET").Send("250 reset");
    MailTo(smtp, "c@x").Expect("DATA").Send("354 go").ExpectBody().Send("2501 strange");
    ScriptServer popServer(pop), smtpServer(smtp);

    testing::TempTree t;
    t.Write("filter.pho", "brix-pho: spam@example.org\n");
    WriteBox(t, popServer, smtpServer, "PPP_KILLFILE=" + t.Path() + "filter.pho\n");
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
    MailTo(smtp, "a@x").Expect("DATA").Send("354 go").ExpectBody().Send("250 queued");
    // 64 MiB each way: more time than a dialogue's usual deadline.
    ScriptServer popServer(pop, std::chrono::seconds(60)),
        smtpServer(smtp, std::chrono::seconds(60));
    WriteBox(t, popServer, smtpServer);
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
