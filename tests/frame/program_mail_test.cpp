// Whole runs of the real binary: mail through a real Exim and Dovecot on
// loopback, and interrupt signals in the middle of a fetch.

#include "testing/dovecot_server.h"
#include "testing/exim_server.h"
#include "testing/run_program.h"
#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace brix {
namespace {

using testing::RunBrix;
using testing::TempTree;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A host reader tree with the box BOX1.
struct Host {
    TempTree t;
    explicit Host(const std::string& bfg) {
        t.MakeDir("spool");
        t.Write("qvdesk.cfg", "");
        t.Write("BOX1.bfg", bfg);
    }
    testing::ProgramResult Run(const std::vector<std::string>& args = {}) {
        std::vector<std::string> all{"box1.bfg"};
        all.insert(all.end(), args.begin(), args.end());
        return RunBrix(all, {"QV=" + t.Path()});
    }
};

std::string Outgoing(const std::string& to, const std::string& subject) {
    return "HELO client.example\r\nMAIL FROM:<anna@client.example>\r\nRCPT TO:<" + to +
           ">\r\nDATA\r\nFrom: anna@client.example\r\nSubject: " + subject +
           "\r\nX-Mailer: QV 3.1\r\n\r\n..one dot leads this line\r\n...two dots lead this "
           "one\r\nX-Mailer: body text\r\n.\r\nQUIT\r\n";
}

TEST(ProgramMail, QueuedMailLeavesThroughExim) {
    testing::EximServer exim;
    std::string why;
    if (!exim.Start(why)) GTEST_SKIP() << why;
    Host host("SMTPSERVER=127.0.0.1\nSMTPPORT=" + exim.PortText() +
              "\nSMTPAUTH=LOGIN\nSMTPUSER=user\nSMTPPASS=secret\n");
    host.t.Write("spool/m0001.out", Outgoing("bert@brix.test", "first"));
    host.t.Write("spool/m0002.out", Outgoing("eva@auth.test", "second")); // needs the login
    host.t.Write("spool/m0003.out", Outgoing("refuse@brix.test", "third"));
    auto r = host.Run({"-debug"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_FALSE(host.t.Exists("spool/m0001.out"));
    EXPECT_FALSE(host.t.Exists("spool/m0002.out"));
    EXPECT_TRUE(host.t.Exists("spool/m0003.out")); // refused: kept for the next run
    // Batched SMTP: the envelope as sent, then the text, stuffed again by Exim
    // exactly as it arrived stuffed.
    std::vector<std::string> delivered = exim.Delivered(2);
    ASSERT_EQ(delivered.size(), 2u);
    for (std::string m : delivered) {
        std::erase(m, '\r');
        for (const char* part :
             {"MAIL FROM:<anna@client.example>\n", "\nX-Mailer: QV 3.1, via Brix/W v0.4.2l\n",
              "\nX-Mailer: body text\n", "\n..one dot leads this line\n",
              "\n...two dots lead this one\n"})
            EXPECT_TRUE(Has(m, part)) << part << " in " << m;
        EXPECT_TRUE(m.ends_with("\n.\n")) << m;
    }
    EXPECT_TRUE(Has(delivered[0] + delivered[1], "RCPT TO:<eva@auth.test>"));
    const std::string log = host.t.Read("qv-ppp.log");
    EXPECT_TRUE(Has(log, " SMTP: 127.0.0.1:" + exim.PortText() + "\r\n")) << log;
    EXPECT_TRUE(Has(log, " 3 mails to send, ")) << log;
    EXPECT_TRUE(Has(log, " Error (sendmail): Rcpt. (Error=550 ")) << log;
    EXPECT_TRUE(Has(host.t.Read("BOX1.log"), "<MAIL FROM: <anna@client.example>\r\n>250 "));
}

const std::vector<testing::MaildirMessage> kSeed = {
    {"1000000001.M1P1.brixtest", "From: a@b\nSubject: one\nMessage-ID: <one@b>\n\nhello\n"},
    {"1000000002.M2P1.brixtest", "From: c@d\nSubject: two\n\n.starts with a dot\n..two\n.\n" +
                                     std::string(3000, 'x') + "\nend\n"},
    {"1000000003.M3P1.brixtest", "From: e@f\nSubject: three\n\n"},
};

// Keep mode twice (the second time with APOP: nothing new), SMTP after POP,
// then delete mode: the known messages go unread, a late one is fetched, and
// the mailbox is empty.
TEST(ProgramMail, DovecotKeepTwiceThenDeleteWithSmtpAfterPop) {
    testing::DovecotServer pop;
    if (std::string why = pop.Start(kSeed); !why.empty()) GTEST_SKIP() << why;
    testing::EximServer exim;
    if (std::string why; !exim.Start(why)) GTEST_SKIP() << why;
    const std::string bfg = "POP3SERVER=127.0.0.1\nPOP3PORT=" + pop.PortText() +
                            "\nPOP3USER=joe\nPOP3PASS=tanstaaf\nPOP3TIMEOUT=10\n";
    Host host(bfg + "SMTPSERVER=127.0.0.1\nSMTPPORT=" + exim.PortText() +
              "\nSMTPAFTERPOP=J\nSMTPAFTERPOPDELAY=1\n");
    host.t.Write("spool/m0001.out", Outgoing("bert@brix.test", "first"));
    auto r = host.Run();
    EXPECT_EQ(r.exitCode, 0) << r.output;
    for (std::size_t i = 0; i < kSeed.size(); ++i)
        EXPECT_EQ(host.t.Read("spool/m000" + std::to_string(i) + ".msg"),
                  "From joe@localhost\n" + kSeed[i].text)
            << pop.Log();
    std::string ids;
    for (const auto& m : kSeed)
        ids += "<" + m.name + "@joe.127.0.0.1>";
    EXPECT_EQ(host.t.Read("e-mail.uid"), ids);
    EXPECT_FALSE(host.t.Exists("spool/m0001.out"));
    EXPECT_EQ(exim.Delivered(1).size(), 1u);
    std::string log = host.t.Read("qv-ppp.log");
    EXPECT_LT(log.find(" POP3: 127.0.0.1:"), log.find(" SMTP: 127.0.0.1:")) << log;

    host.t.Write("BOX1.bfg", bfg + "POP3AUTH=J\n");
    EXPECT_EQ(host.Run().exitCode, 0);
    EXPECT_FALSE(host.t.Exists("spool/m0003.msg"));
    EXPECT_TRUE(Has(host.t.Read("qv-ppp.log"), " 3 mails skipped\r\n"));
    EXPECT_EQ(pop.MailboxNames().size(), 3u);

    pop.Add({"1000000004.M4P1.brixtest", "From: g@h\nSubject: four\n\nlate\n"});
    host.t.Write("BOX1.bfg", bfg + "POP3KEEP=N\n");
    EXPECT_EQ(host.Run().exitCode, 0);
    EXPECT_EQ(host.t.Read("spool/m0003.msg"),
              "From joe@localhost\nFrom: g@h\nSubject: four\n\nlate\n");
    EXPECT_FALSE(host.t.Exists("spool/m0004.msg"));
    EXPECT_EQ(host.t.Read("e-mail.uid"), "");
    EXPECT_TRUE(pop.MailboxNames().empty()) << pop.Log();
    EXPECT_FALSE(Has(host.t.Read("qv-ppp.log"), "Error")) << host.t.Read("qv-ppp.log");
}

// A mailbox of two messages whose first RETR answer comes late.
testing::Script SlowMailbox(bool endsWithQuit) {
    testing::Script s;
    s.Send("+OK ready").Expect("USER joe").Send("+OK").Expect("PASS pw").Send("+OK");
    s.Expect("STAT").Send("+OK 2 40").Expect("UIDL").SendLines({"+OK", "1 a", "2 b", "."});
    s.Expect("RETR 1").Pause(800).SendLines({"+OK", "Subject: one", "", "body", "."});
    if (endsWithQuit) s.Expect("QUIT").Send("+OK bye");
    return s;
}

// Starts a fetch from the scripted server and waits until the first message
// is being fetched, so that a signal reaches the job and not the start-up.
pid_t StartFetch(Host& host, testing::ScriptServer& server) {
    host.t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + server.PortText() +
                                 "\nPOP3USER=joe\nPOP3PASS=pw\n");
    pid_t pid = testing::StartBrix({"box1.bfg", "-v", "-debug"}, {"QV=" + host.t.Path()});
    for (int i = 0; i < 300 && !Has(host.t.Read("qv-ppp.log"), "fetching mail #1"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pid;
}

// The first signal acts like ESC: the job stops at its next safe point and
// keeps what it finished; QUIT is sent either way.
TEST(Signals, FirstSignalStopsTheJobAtItsNextSafePoint) {
    testing::ScriptServer server(SlowMailbox(true));
    Host host("");
    pid_t pid = StartFetch(host, server);
    ::kill(pid, SIGTERM);
    EXPECT_EQ(testing::WaitExit(pid), 0);
    EXPECT_TRUE(Has(host.t.Read("qv-ppp.log"), " aborted by user ...\r\n"));
    // Before or during the first RETR: the message is whole and recorded, or neither.
    EXPECT_EQ(host.t.Exists("spool/m0000.msg"), host.t.Read("e-mail.uid") == "<a@joe.127.0.0.1>");
    std::string received = server.Received();
    EXPECT_FALSE(Has(received, "RETR 2"));
    EXPECT_TRUE(received.ends_with("QUIT\r\n")) << received;
}

TEST(Signals, SecondSignalEndsTheProgramAtOnce) {
    testing::ScriptServer server(SlowMailbox(false));
    Host host("");
    pid_t pid = StartFetch(host, server);
    auto start = std::chrono::steady_clock::now();
    ::kill(pid, SIGINT);
    // Two signals sent at once would merge into one pending signal.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(pid, SIGINT);
    EXPECT_EQ(testing::WaitExit(pid), 128 + SIGINT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_FALSE(host.t.Exists("spool/m0000.msg"));
}

} // namespace
} // namespace brix
