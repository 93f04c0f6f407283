// The mail jobs as users run them, through the real program: the sender
// filter, a poison message in the middle of the queue, large messages in
// little memory.

#include "get_mail_fixture.h"
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
using Lines = std::vector<std::string>;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Smtp(const std::string& to, const std::string& text) {
    return "HELO r\r\nMAIL FROM:<me@x>\r\nRCPT TO:<" + to + ">\r\nDATA\r\n" + text +
           ".\r\nQUIT\r\n";
}

// The SMTP server's side of a message to `to` up to the reply to RCPT TO.
Script& MailTo(Script& s, const std::string& to, const std::string& reply = "250 ok") {
    return s.Expect("MAIL FROM: <me@x>").Send("250 ok").Expect("RCPT TO: <" + to + ">").Send(reply);
}

// One run of the real program: the sender filter passes over a message, a
// lone CR stays in its line, one refused message neither stops the queue nor
// is deleted, and a "." answered "2501" is no acceptance. A message of
// 64 MiB each way is held whole by neither job: the peak memory of the run
// stays small.
TEST(MailInUse, FilterPoisonMessageAndLargeMessagesInOneRun) {
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
        ::execl("/bin/sh", "sh", "-c", "read x && exec \"$0\" box1.bfg >/dev/null", BRIX_BINARY,
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(go[0]);

    std::string big;
    for (int i = 0; i < 64 * 1024; ++i)
        big += std::string(1000, 'x') + "\r\n";
    Script pop = Listed(4);
    for (int n = 1; n <= 4; ++n) {
        const std::string no = std::to_string(n), from = n == 2 ? "Spam@Example.ORG" : "friend@x";
        pop.Expect("TOP " + no + " 0").SendData("+OK", {"From: " + from, ""});
        pop.Expect("LIST " + no).Send("+OK " + no + " 160");
        if (n == 1 || n == 3)
            pop.Expect("RETR " + no).SendData("+OK", {"From: " + from, "", "a\rb"});
    }
    pop.Expect("RETR 4").Send("+OK").SendRaw("From: friend@x\r\n\r\n" + big + ".\r\n");
    pop.Expect("QUIT").Send("+OK");
    Script smtp = Script().Send("220 mx").Expect("HELO r").Send("250 hi");
    for (const char* to : {"big@x", "a@x"})
        MailTo(smtp, to).Expect("DATA").Send("354 go").ExpectBody().Send("250 queued");
    MailTo(smtp, "typo@x", "550 no such user").Expect("RSET").Send("250 reset");
    MailTo(smtp, "c@x").Expect("DATA").Send("354 go").ExpectBody().Send("2501 strange");
    // 64 MiB each way: more time than a dialogue's usual deadline.
    ScriptServer popServer(pop, std::chrono::seconds(60)),
        smtpServer(smtp, std::chrono::seconds(60));

    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("filter.pho", "brix-pho: spam@example.org\n");
    t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + popServer.PortText() +
                            "\nPOP3USER=joe\nPOP3PASS=secret\nPPP_KILLFILE=" + t.Path() +
                            "filter.pho\nSMTPSERVER=127.0.0.1\nSMTPPORT=" + smtpServer.PortText() +
                            "\n");
    t.Write("spool/m0000.out", Smtp("big@x", "Subject: big\r\n\r\n" + big));
    big.clear();
    t.Write("spool/m0001.out", Smtp("a@x", "Subject: 1\r\n\r\none\r\n"));
    t.Write("spool/m0002.out", Smtp("typo@x", "Subject: 2\r\n\r\ntwo\r\n"));
    t.Write("spool/m0003.out", Smtp("c@x", "Subject: 3\r\n\r\nthree\r\n"));
    ASSERT_EQ(::write(go[1], "\n", 1), 1);
    ::close(go[1]);

    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(popServer.Passed()) << popServer.Report();
    EXPECT_TRUE(smtpServer.Passed()) << smtpServer.Report();
    const std::string log = t.Read("qv-ppp.log");
    EXPECT_TRUE(Has(log, " Reading PHO-Filter...\r\n")) << log;
    EXPECT_TRUE(Has(log, " Error (sendmail): Rcpt. (Error=550 no such user)\r\n")) << log;
    EXPECT_TRUE(Has(log, " Error (sendmail): Data: After transfer. (Error=2501 strange)\r\n"));
    EXPECT_EQ(testing::DirNames(t.Path() + "spool"),
              (Lines{"m0000.msg", "m0001.msg", "m0002.msg", "m0002.out", "m0003.out"}));
    EXPECT_EQ(t.Read("spool/m0000.msg"), "From joe@localhost\nFrom: friend@x\n\na\rb\n");
    EXPECT_GT(t.Read("spool/m0002.msg").size(), 64'000'000u);
    EXPECT_EQ(t.Read("e-mail.uid"), Id("aaa") + Id("bbb") + Id("ccc") + Id("ddd"));
#ifndef __SANITIZE_ADDRESS__ // the sanitizer's own memory would be measured
    EXPECT_LT(usage.ru_maxrss, 32 * 1024) << "KiB";
#endif
}

} // namespace
} // namespace brix
