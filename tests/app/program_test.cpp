// Whole runs of the real binary: the mail jobs against a real Dovecot and
// Exim, the news jobs against a real INN 2, all on loopback; then the demo
// on the bundled server, as a new user runs it.

#include "clients/abs_client.h"
#include "clients/base64.h"
#include "delay_relay.h"
#include "loopback_server.h"
#include "testing/job_test.h"
#include "testing/real_servers.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <malloc.h>
#include <map>
#include <random>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace brix {
namespace {

using namespace testing;

// How often part occurs in text.
std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string Outgoing(const std::string& to, const std::string& subject) {
    return "HELO client.example\r\nMAIL FROM:<anna@client.example>\r\nRCPT TO:<" + to +
           ">\r\nDATA\r\nFrom: anna@client.example\r\nSubject: " + subject +
           "\r\nX-Mailer: QV 3.1\r\n\r\n..one dot leads this line\r\n...two dots lead this "
           "one\r\nX-Mailer: body text\r\n.\r\nQUIT\r\n";
}

// The fetched ones, then one from a sender the filter names; a lone CR stays
// in its line.
const std::vector<testing::MaildirMessage> kSeed = {
    {"1000000001.M1P1.brixtest", "From: a@b\nSubject: one\nMessage-ID: <one@b>\n\nhel\rlo\n"},
    {"1000000002.M2P1.brixtest", "From: c@d\nSubject: two\n\n.starts with a dot\n..two\n.\n" +
                                     std::string(3000, 'x') + "\nend\n"},
    {"1000000003.M3P1.brixtest", "From: e@f\nSubject: three\n\n"},
    {"1000000004.M4P1.brixtest", "From: Spam <Spam@Example.ORG>\nSubject: buy\n\nnow\n"},
};

// 64 MiB in lines of 1000 bytes, with these line ends.
std::string Big(const std::string& eol) {
    std::string big;
    for (int i = 0; i < 64 * 1024; ++i)
        big += std::string(1000, 'x') + eol;
    return big;
}

// Over TLS (Dovecot's implicit-TLS port, Exim with STARTTLS; the CA file
// named relative to the host reader's folder): keep mode with SMTP after
// POP and the sender filter, where one queued message needs the login and
// one is refused; a message of 64 MiB each way is held whole by neither job.
// Then in plain text: keep mode again with APOP (nothing new); delete mode:
// the known messages go unread, a late one is fetched, and the mailbox is
// empty.
TEST(ProgramMail, DovecotKeepTwiceThenDeleteAndEximTakesTheQueue) {
    testing::TestPki pki;
    testing::DovecotServer pop;
    pop.UseTls(pki.Localhost().cert, pki.Localhost().key);
    if (std::string why = pop.Start(kSeed); !why.empty()) GTEST_SKIP() << why;
    const std::string bigText = "From: big@x\n\n";
    pop.Add({"1000000005.M5P1.brixtest", bigText + Big("\n")});
    testing::EximServer exim;
    exim.UseTls(pki.Localhost().cert, pki.Localhost().key);
    if (std::string why; !exim.Start(why)) GTEST_SKIP() << why;
    // The certificates name localhost, so the box does too.
    const std::string bfg =
        "POP3SERVER=localhost\nPOP3USER=joe\nPOP3PASS=tanstaaf\nPOP3TIMEOUT=10\n";
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("ca.pem", testing::TempTree::ReadAny(pki.CaFile()));
    // STARTTLS on the port the later runs take in plain text: the port is
    // part of the account (two ports may be two accounts).
    t.Write("BOX1.bfg",
            bfg + "POP3PORT=" + pop.PortText() +
                "\nPOP3TLS=STARTTLS\nTLSCAFILE=ca.pem\nSMTPSERVER=localhost\nSMTPPORT=" +
                exim.PortText() +
                "\nSMTPTLS=STARTTLS\nSMTPAUTH=LOGIN\nSMTPUSER=user\nSMTPPASS=secret\n"
                "SMTPAFTERPOP=J\nSMTPAFTERPOPDELAY=1\nPPP_KILLFILE=" +
                t.Path() + "filter.pho\n");
    t.Write("spool/m0001.out", Outgoing("bert@brix.test", "first"));
    t.Write("spool/m0002.out", Outgoing("eva@auth.test", "second")); // needs the login
    t.Write("spool/m0003.out", Outgoing("refuse@brix.test", "third"));
    t.Write("spool/m0004.out",
            "HELO r\r\nMAIL FROM:<a@x>\r\nRCPT TO:<big@brix.test>\r\nDATA\r\n\r\n" + Big("\r\n") +
                ".\r\nQUIT\r\n");
    t.Write("filter.pho", "brix-pho: spam@example.org\n");
    auto run = [&](const std::vector<std::string>& extra = {}, int exitCode = 0) {
        std::vector<std::string> args{"box1.bfg"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto r = testing::RunBrix(args, {"QV=" + t.Path()});
        EXPECT_EQ(r.exitCode, exitCode) << r.output;
    };
    // A child's peak memory counts what it shared with this process before
    // its exec: the big texts made here go back first.
    ::malloc_trim(0);
    run({"-debug"}, 105); // the refused recipient
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
#ifndef __SANITIZE_ADDRESS__ // the sanitizer's own memory would be measured
    EXPECT_LT(usage.ru_maxrss, 32 * 1024) << "KiB";
#endif
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(t.Read("spool/m000" + std::to_string(i) + ".msg"),
                  "From joe@localhost\n" + kSeed[i].text)
            << pop.Log();
    EXPECT_EQ(t.Read("spool/m0003.msg").size(), 19 + bigText.size() + (1001u << 16));
    std::vector<std::string> ids;
    for (const auto& name : pop.MailboxNames()) // the filtered one is known too
        ids.push_back("<" + name + "@joe.localhost:" + pop.PortText() + ">");
    std::vector<std::string> uids;
    for (std::string rest = t.Read("e-mail.uid"); !rest.empty();) {
        uids.push_back(rest.substr(0, rest.find('>') + 1));
        rest.erase(0, uids.back().size());
    }
    std::sort(ids.begin(), ids.end());
    std::sort(uids.begin(), uids.end());
    EXPECT_EQ(uids, ids);
    EXPECT_EQ(testing::DirNames(t.Path() + "spool"), // the refused one is kept
              (std::vector<std::string>{"m0000.msg", "m0001.msg", "m0002.msg", "m0003.msg",
                                        "m0003.out"}));
    // Batched SMTP: the envelope as sent, then the text, stuffed again by Exim
    // exactly as it arrived stuffed.
    std::vector<std::string> delivered = exim.Delivered(3);
    ASSERT_EQ(delivered.size(), 3u);
    std::erase_if(delivered, [](const std::string& m) { return m.size() > 64'000'000; });
    ASSERT_EQ(delivered.size(), 2u);
    for (std::string m : delivered) {
        std::erase(m, '\r');
        for (const char* part :
             {"MAIL FROM:<anna@client.example>\n", "\nX-Mailer: QV 3.1, via Brix/W v0.4.2l\n",
              "\nX-Mailer: body text\n", "\n..one dot leads this line\n",
              "\n...two dots lead this one\n"})
            EXPECT_TRUE(Count(m, part)) << part << " in " << m;
        EXPECT_TRUE(m.ends_with("\n.\n")) << m;
    }
    EXPECT_TRUE(Count(delivered[0] + delivered[1], "RCPT TO:<eva@auth.test>"));
    const std::string log = t.Read("qv-ppp.log");
    EXPECT_LT(log.find(" POP3: localhost:"), log.find(" 4 mails to send, ")) << log;
    EXPECT_TRUE(Count(log, " Reading PHO-Filter...\r\n")) << log;
    EXPECT_TRUE(Count(log, " Error (sendmail): Rcpt. (Error=550 ")) << log;
    // The password went only after the upgrade.
    const std::string debug = t.Read("BOX1.log");
    EXPECT_LT(debug.find("<STARTTLS"), debug.find("<AUTH LOGIN")) << debug;
    // Exim announces PIPELINING: a message's commands go out in one write.
    EXPECT_TRUE(Count(debug, "<MAIL FROM: <anna@client.example>\r\n<RCPT TO: <")) << debug;
    // Dovecot announces PIPELINING: the TOPs go out together, then each
    // message's RETR and the next message's LIST, before the answers are in.
    EXPECT_TRUE(Count(debug, "<TOP 1 0\r\n<TOP 2 0\r\n")) << debug;
    EXPECT_TRUE(Count(debug, "<RETR 1\r\n<LIST 2\r\n")) << debug;
    // CAPA is asked once, before the login (after STLS).
    EXPECT_LT(debug.find("<STLS"), debug.find("<CAPA")) << debug;
    EXPECT_LT(debug.find("<CAPA"), debug.find("<USER")) << debug;

    const std::string plain = bfg + "POP3PORT=" + pop.PortText() + "\n";
    t.Write("BOX1.bfg", plain + "POP3AUTH=J\n");
    run();
    EXPECT_FALSE(t.Exists("spool/m0004.msg"));
    EXPECT_TRUE(Count(t.Read("qv-ppp.log"), " 5 mails skipped\r\n"));
    EXPECT_EQ(pop.MailboxNames().size(), 5u);

    pop.Add({"1000000006.M6P1.brixtest", "From: g@h\nSubject: four\n\nlate\n"});
    t.Write("BOX1.bfg", plain + "POP3KEEP=N\n");
    run();
    EXPECT_EQ(t.Read("spool/m0004.msg"), "From joe@localhost\nFrom: g@h\nSubject: four\n\nlate\n");
    EXPECT_FALSE(t.Exists("spool/m0005.msg"));
    EXPECT_EQ(t.Read("e-mail.uid"), "");
    EXPECT_TRUE(pop.MailboxNames().empty()) << pop.Log();
    EXPECT_FALSE(Count(t.Read("qv-ppp.log"), "Error (getmail)")) << t.Read("qv-ppp.log");
}

// Every login method of the real servers in one run, the secret from a
// command that sees which server and user it is asked for: POP3 PLAIN,
// CRAM-MD5, SCRAM-SHA-256 and USER/PASS on Dovecot, SMTP PLAIN and CRAM-MD5 on Exim
// (whose domain auth.test takes only logged-in senders). No secret, plain
// or encoded, reaches a log at the deepest debug level, and the box log is
// its owner's alone.
TEST(ProgramMail, EveryLoginMethodWithTheSecretFromACommand) {
    testing::DovecotServer pop;
    if (std::string why = pop.Start({kSeed[0]}); !why.empty()) GTEST_SKIP() << why;
    testing::EximServer exim;
    if (std::string why; !exim.Start(why)) GTEST_SKIP() << why;
    testing::TempTree t;
    for (const char* dir : {"spool", "out1", "out2"})
        t.MakeDir(dir);
    t.Write("qvdesk.cfg", "");
    t.Write("pop.secret", "tanstaaf\nsecond line\n");
    t.Write("smtp.secret", "secret\n");
    const std::string ask = "test \"$BRIX_SERVER:$BRIX_PORT\" = 127.0.0.1:";
    const std::string port = pop.PortText();
    t.Write("BOX1.bfg", "POP3SERVER=127.0.0.1 127.0.0.1 127.0.0.1 127.0.0.1\nPOP3PORT=" + port +
                            " " + port + " " + port + " " + port +
                            "\nPOP3USER=joe joe joe joe\nPOP3AUTH=PLAIN CRAM-MD5 SCRAM-SHA-256 N\n"
                            "POP3PASSCMD=" +
                            ask + pop.PortText() + " && test \"$BRIX_USER\" = joe && cat " +
                            t.Path() + "pop.secret\nSMTPSERVER=127.0.0.1 127.0.0.1\nSMTPPORT=" +
                            exim.PortText() + " " + exim.PortText() +
                            "\nSMTPUSER=user user\nSMTPAUTH=PLAIN CRAM-MD5\nSMTPSPOOL=" + t.Path() +
                            "out1/ " + t.Path() + "out2/\nSMTPPASSCMD=" + ask + exim.PortText() +
                            " && cat " + t.Path() + "smtp.secret\n");
    ::chmod((t.Path() + "BOX1.bfg").c_str(), 0600);
    t.Write("out1/m0001.out", Outgoing("eva@auth.test", "plain"));
    t.Write("out2/m0001.out", Outgoing("eva@auth.test", "cram"));
    auto r = testing::RunBrix({"box1.bfg", "-v", "-debug9"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output << t.Read("qv-ppp.log") << pop.Log();
    EXPECT_EQ(t.Read("spool/m0000.msg"), "From joe@localhost\n" + kSeed[0].text);
    EXPECT_FALSE(t.Exists("spool/m0001.msg")); // known by the second and third login
    EXPECT_EQ(exim.Delivered(2).size(), 2u);
    EXPECT_EQ(testing::DirNames(t.Path() + "out1").size() +
                  testing::DirNames(t.Path() + "out2").size(),
              0u);
    const std::string logs = t.Read("qv-ppp.log") + t.Read("BOX1.log") + r.output;
    for (const std::string method :
         {"<AUTH PLAIN ****", "<AUTH CRAM-MD5", "<AUTH SCRAM-SHA-256 ****", "<PASS ****"})
        EXPECT_EQ(Count(t.Read("BOX1.log"), method),
                  method.starts_with("<AUTH SCRAM") || method == "<PASS ****" ? 1u : 2u)
            << method << logs;
    for (const std::string& secret : {std::string("tanstaaf"), std::string("secret"),
                                      Base64Encode(std::string("\0joe\0tanstaaf", 13)),
                                      Base64Encode(std::string("\0user\0secret", 12))})
        EXPECT_EQ(logs.find(secret), std::string::npos) << secret;
    struct stat st {};
    ASSERT_EQ(::stat((t.Path() + "BOX1.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// The IMAP fetch against the real Dovecot, through the program. Over TLS
// with SCRAM-SHA-256 in keep mode with the sender filter, two folders (one
// named in UTF-8) and a message of 64 MiB held whole nowhere: byte for byte
// what was put in, and not a flag changed on the server. Again with
// STARTTLS and PLAIN: nothing new. After the server gave the INBOX a new
// UIDVALIDITY, with CRAM-MD5: only the one new message, matched by
// Message-ID. Then delete mode with LOGIN: the known ones go unread, a late
// one is fetched, the two folders end empty and a third is not touched.
TEST(ProgramImap, DovecotKeepTwiceNewUidValidityThenDelete) {
    testing::TestPki pki;
    testing::DovecotServer imap;
    imap.UseTls(pki.Localhost().cert, pki.Localhost().key);
    imap.AddToFolder("Entwürfe", {"1000000010.M10P1.brixtest", "From: k@l\nSubject: draft\n\nd\n"});
    imap.AddToFolder("Other", {"1000000011.M11P1.brixtest", "From: m@n\n\nkept\n"});
    if (std::string why = imap.Start(kSeed); !why.empty()) GTEST_SKIP() << why;
    const std::string bigText = "From: big@x\nMessage-ID: <big@x>\n\n";
    imap.Add({"1000000005.M5P1.brixtest", bigText + Big("\n")});
    const std::vector<std::string> filesBefore = imap.FolderFiles("INBOX");
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("ca.pem", testing::TempTree::ReadAny(pki.CaFile()));
    t.Write("filter.pho", "brix-pho: spam@example.org\n");
    const std::string bfg = "IMAPSERVER=localhost\nIMAPUSER=joe\nIMAPPASS=tanstaaf\n"
                            "IMAPFOLDERS=INBOX,Entw%C3%BCrfe\nIMAPTIMEOUT=10\n"
                            "TLSCAFILE=ca.pem\nPPP_KILLFILE=" +
                            t.Path() + "filter.pho\n";
    auto run = [&](const std::string& keys) {
        t.Write("BOX1.bfg", bfg + keys);
        auto r = testing::RunBrix({"box1.bfg", "-debug"}, {"QV=" + t.Path()});
        EXPECT_EQ(r.exitCode, 0) << r.output << t.Read("qv-ppp.log") << t.Read("BOX1.log");
        return t.Read("BOX1.log");
    };
    ::malloc_trim(0);
    const std::string port = "IMAPPORT=" + imap.ImapPortText() + "\n";
    std::string debug = run(port + "IMAPTLS=STARTTLS\nIMAPAUTH=SCRAM-SHA-256\n");
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(usage.ru_maxrss, 32 * 1024) << "KiB";
#endif
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(t.Read("spool/m000" + std::to_string(i) + ".msg"),
                  "From joe@localhost\n" + kSeed[i].text);
    EXPECT_EQ(t.Read("spool/m0003.msg").size(), 19 + bigText.size() + (1001u << 16));
    EXPECT_EQ(t.Read("spool/m0004.msg"), "From joe@localhost\nFrom: k@l\nSubject: draft\n\nd\n");
    EXPECT_FALSE(t.Exists("spool/m0005.msg"));
    // Keep mode read everything with a peek, in a mailbox opened read-only.
    EXPECT_EQ(imap.FolderFiles("INBOX"), filesBefore);
    EXPECT_TRUE(Count(debug, " EXAMINE \"Entw&APw-rfe\"")) << debug;
    EXPECT_FALSE(Count(debug, " LOGIN joe")) << debug;
    EXPECT_FALSE(Count(debug, "tanstaaf")) << debug;
    // The messages' fetches go out before the first body is in.
    EXPECT_TRUE(Count(debug, "<F1 UID FETCH 1:3 BODY.PEEK[]\r\n<F5 UID FETCH 5 BODY.PEEK[]"))
        << debug;
    EXPECT_LT(debug.find("STARTTLS"), debug.find("AUTHENTICATE SCRAM")) << debug;
    const std::string state = t.Read("e-mail.imap");
    EXPECT_TRUE(Count(state, " joe@localhost:" + imap.ImapPortText() + " INBOX\n")) << state;

    // Plain text from here on.
    const std::string plain = port;
    run(plain + "IMAPAUTH=PLAIN\n");
    EXPECT_EQ(testing::DirNames(t.Path() + "spool").size(), 5u);
    EXPECT_EQ(imap.SetUidValidity("INBOX", 4242), "");
    imap.Add({"1000000006.M6P1.brixtest", "From: g@h\nSubject: four\n\nlate\n"});
    run(plain + "IMAPAUTH=CRAM-MD5\n");
    EXPECT_EQ(t.Read("spool/m0005.msg"), "From joe@localhost\nFrom: g@h\nSubject: four\n\nlate\n");
    EXPECT_FALSE(t.Exists("spool/m0006.msg"));
    EXPECT_TRUE(Count(t.Read("qv-ppp.log"), "UIDVALIDITY of INBOX changed"))
        << t.Read("qv-ppp.log");
    EXPECT_TRUE(Count(t.Read("e-mail.imap"), "F 4242 ")) << t.Read("e-mail.imap");

    imap.Add({"1000000007.M7P1.brixtest", "From: o@p\nSubject: five\n\nlater\n"});
    debug = run(plain + "IMAPKEEP=N\n");
    EXPECT_EQ(t.Read("spool/m0006.msg"), "From joe@localhost\nFrom: o@p\nSubject: five\n\nlater\n");
    EXPECT_FALSE(t.Exists("spool/m0007.msg"));
    EXPECT_TRUE(Count(debug, " SELECT \"INBOX\"")) << debug;
    EXPECT_TRUE(Count(debug, " UID EXPUNGE ")) << debug;
    EXPECT_TRUE(imap.FolderNames("INBOX").empty()) << imap.Log();
    EXPECT_TRUE(imap.FolderNames("Entwürfe").empty());
    EXPECT_EQ(imap.FolderNames("Other").size(), 1u);
    EXPECT_FALSE(Count(t.Read("qv-ppp.log"), "Error (getimap)")) << t.Read("qv-ppp.log");
    EXPECT_FALSE(t.Exists("e-mail.ijn"));

    // Through a link of 10 ms each way (another port: another account, whose
    // folders hold one message now) the session is compressed.
    imap.Add({"1000000008.M8P1.brixtest", "From: q@r\nSubject: six\n\nfar\n"});
    relay::DelayRelay relay(imap.ImapPort(), std::chrono::milliseconds(10));
    debug = run("IMAPPORT=" + std::to_string(relay.Port()) + "\n");
    EXPECT_EQ(t.Read("spool/m0007.msg"), "From joe@localhost\nFrom: q@r\nSubject: six\n\nfar\n");
    EXPECT_FALSE(t.Exists("spool/m0008.msg"));
    EXPECT_TRUE(Count(debug, "COMPRESS DEFLATE asked for: shortest round trip ")) << debug;
    EXPECT_TRUE(Count(debug, "\nCOMPRESS DEFLATE: ")) << debug;
}

// A queued file that cannot be sent is named and kept; the files around it
// go out over one pipelined connection that ends with QUIT, and the run ends
// 105. Each sent file's removal is flushed (its directory synced) before the
// next one and before the run tells how many were sent: watched with strace
// where it is installed.
TEST(ProgramMail, BadQueueFileIsKeptAndTheOthersLeaveForGood) {
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("spool/m0001.out", Outgoing("bert@brix.test", "first"));
    t.Write("spool/m0002.out", "HELO client.example\r\nMAIL FROM:<anna@client.example>\r\n"
                               "RCPT TO:<bert@brix.test>\r\nQUIT\r\n");
    t.Write("spool/m0003.out", Outgoing("carl@brix.test", "third"));
    Script s = Script().Send("220 mx").Expect("EHLO client.example");
    s.SendLines({"250-mx", "250 PIPELINING"});
    for (const std::string to : {"bert@brix.test", "carl@brix.test"}) {
        s.Expect("MAIL FROM: <anna@client.example>").Send("250 ok");
        s.Expect("RCPT TO: <" + to + ">").Send("250 ok").Expect("DATA").Send("354 go");
        s.ExpectBody().Send("250 queued");
    }
    ScriptServer server(s.Expect("QUIT").Send("221 bye"));
    t.Write("BOX1.bfg", "SMTPSERVER=127.0.0.1\nSMTPPORT=" + server.PortText() + "\n");
    const std::string strace = "/usr/bin/strace";
    const bool traced = ::access(strace.c_str(), X_OK) == 0;
    // LeakSanitizer cannot work under ptrace (a sanitized build).
    const std::vector<std::string> env{"QV=" + t.Path(), "ASAN_OPTIONS=detect_leaks=0"};
    const auto r = traced ? testing::RunProgram(strace,
                                                {"-f", "-qq", "-y", "-s", "200", "-o", t / "trace",
                                                 "-e", "trace=unlink,unlinkat,fsync,write",
                                                 BRIX_BINARY, "box1.bfg", "-v"},
                                                env)
                          : testing::RunBrix({"box1.bfg", "-v"}, env);
    EXPECT_EQ(r.exitCode, 105) << r.output;
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(testing::DirNames(t / "spool"), std::vector<std::string>{"m0002.out"});
    const std::string log = t.Read("qv-ppp.log");
    EXPECT_TRUE(Count(log, " Error (sendmail): Mail file " + t.Path() +
                               "spool/m0002.out: the message of line 2 has no DATA line; kept for "
                               "the next run\r\n"))
        << log;
    EXPECT_TRUE(Count(log, " 2 mails sent\r\n")) << log;
    if (!traced) GTEST_SKIP() << "without strace the flushes go unwatched";

    // Each unlink of a queue file is followed by an fsync of the spool
    // directory before anything else is removed or reported.
    const std::string spool = "<" + t.Path() + "spool>)";
    std::string unflushed;
    std::size_t removed = 0;
    std::istringstream trace(t.Read("trace"));
    for (std::string line; std::getline(trace, line);) {
        if (line.find("unlink") != std::string::npos && line.find(".out\"") != std::string::npos) {
            EXPECT_EQ(unflushed, "") << "removed before the last removal was flushed: " << line;
            unflushed = line;
            ++removed;
        } else if (line.find(" fsync(") != std::string::npos &&
                   line.find(spool) != std::string::npos) {
            unflushed.clear();
        } else if (line.find("mails sent") != std::string::npos) {
            EXPECT_EQ(unflushed, "") << "reported before the removal was flushed";
        }
    }
    EXPECT_EQ(removed, 2u);
    EXPECT_EQ(unflushed, "");
}

// A failure spoils only what it touches: a box whose spool path runs
// through a file ends its fetch with one line naming the file (no exception
// report), and the next box still runs; there the first server of the list
// cannot be reached, and the second still gets its turn.
TEST(ProgramMail, AFailureSpoilsOnlyWhatItTouches) {
    auto oneMessage = [](const std::string& subject) {
        Script s = Script().Send("+OK ready").Expect("CAPA").Send("-ERR").Expect("USER joe");
        s.Send("+OK").Expect("PASS pw").Send("+OK").Expect("STAT").Send("+OK 1 20");
        s.Expect("UIDL").SendData("+OK", {"1 " + subject}).Expect("RETR 1");
        return s.SendData("+OK", {"Subject: " + subject, "", "text"}).Expect("QUIT").Send("+OK");
    };
    ScriptServer first(oneMessage("lost")), second(oneMessage("kept"));
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("afile", "");
    const std::string login = "POP3USER=joe\nPOP3PASS=pw\n";
    const std::string closed = std::to_string(testing::FreeLoopbackPort());
    t.Write("BOX1.bfg", login + "POP3SERVER=127.0.0.1\nPOP3PORT=" + first.PortText() +
                            "\nPOP3SPOOL=" + t.Path() + "afile/\n");
    t.Write("BOX2.bfg", login + "POP3SERVER=127.0.0.1 127.0.0.1\nPOP3PORT=" + closed + " " +
                            second.PortText() + "\n");
    auto r = testing::RunBrix({"box1.bfg", "box2.bfg", "-v"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 105) << r.output;
    const std::string log = t.Read("qv-ppp.log");
    EXPECT_TRUE(Count(log, " Error (getmail): I/O error 20: " + t.Path() +
                               "afile/m0000.tmp: Not a directory\r\n"))
        << log;
    EXPECT_FALSE(Count(log, "Exception")) << log;
    EXPECT_TRUE(Count(log, " Error (getmail): Connect: Cannot connect to 127.0.0.1:" + closed))
        << log;
    EXPECT_EQ(t.Read("spool/m0000.msg"), "From joe@localhost\nSubject: kept\n\ntext\n");
    EXPECT_TRUE(first.Passed()) << first.Report();
    EXPECT_TRUE(second.Passed()) << second.Report();
}

// A pipelined fetch in delete mode from a real Dovecot, killed with SIGKILL
// at ten moments while messages arrive (a few more each time, drawn from a
// fixed seed), then run to its end: every message is in the spool exactly
// once, and the mailbox is empty. (Before the journal, a kill between a
// spool file's link and the next save of the identifiers fetched it again.)
// POP3, and IMAP over TLS from the first byte.
class KilledFetch : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Protocols, KilledFetch, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Imap" : "Pop3"; });

TEST_P(KilledFetch, TenTimesInAPipelinedDeleteFetchNothingIsLostOrTwice) {
    const bool imap = GetParam();
    testing::TestPki pki;
    constexpr int kMessages = 400;
    std::vector<testing::MaildirMessage> mailbox;
    for (int i = 0; i < kMessages; ++i)
        mailbox.push_back({std::to_string(1000000000 + i) + ".M" + std::to_string(i) + "P1.kill",
                           "Message-ID: <" + std::to_string(i) + "@kill>\nSubject: " +
                               std::to_string(i) + "\n\n" + std::string(3000, 'k') + "\n"});
    testing::DovecotServer pop;
    pop.UseTls(pki.Localhost().cert, pki.Localhost().key);
    if (std::string why = pop.Start(mailbox); !why.empty()) GTEST_SKIP() << why;
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("ca.pem", testing::TempTree::ReadAny(pki.CaFile()));
    t.Write("BOX1.bfg", imap ? "IMAPSERVER=localhost\nIMAPPORT=" + pop.ImapTlsPortText() +
                                   "\nIMAPTLS=TLS\nTLSCAFILE=ca.pem\nIMAPUSER=joe\n"
                                   "IMAPPASS=tanstaaf\nIMAPKEEP=N\n"
                             : "POP3SERVER=127.0.0.1\nPOP3PORT=" + pop.PortText() +
                                   "\nPOP3USER=joe\nPOP3PASS=tanstaaf\nPOP3KEEP=N\n");
    auto spooled = [&] {
        std::size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(t.Path() + "spool"))
            n += e.path().extension() == ".msg";
        return n;
    };
    std::mt19937 draw(20261207);
    for (int kill = 0; kill < 10; ++kill) {
        const std::size_t target = spooled() + 1 + draw() % 25;
        pid_t pid = testing::Spawn(BRIX_BINARY, {"box1.bfg"}, {"QV=" + t.Path()}, "", -1);
        for (int i = 0; i < 20'000 && spooled() < target; ++i)
            ::usleep(200);
        ::kill(pid, SIGKILL);
        testing::WaitExit(pid);
    }
    auto r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output << t.Read("qv-ppp.log");
    std::map<std::string, int> seen;
    for (const auto& e : std::filesystem::directory_iterator(t.Path() + "spool")) {
        const std::string text = testing::TempTree::ReadAny(e.path().string());
        const std::size_t at = text.find("Message-ID: <");
        ASSERT_NE(at, std::string::npos) << e.path();
        ++seen[text.substr(at + 13, text.find('>', at) - at - 13)];
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kMessages));
    for (const auto& [id, times] : seen)
        EXPECT_EQ(times, 1) << id;
    EXPECT_TRUE(pop.MailboxNames().empty());
    EXPECT_FALSE(t.Exists(imap ? "e-mail.ijn" : "e-mail.jnl"));
    // Fetched mail is its owner's alone, whatever the umask.
    struct stat st {};
    ASSERT_EQ(::stat((t.Path() + "spool/m0000.msg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// ----------------------------------------------------------------------
// The news jobs end to end: the real brix binary against a real INN 2 on
// loopback, in plain text and over TLS (from the first byte and upgraded).
// Batches are checked byte for byte. Skipped when INN is not installed.

Lines Article(const std::string& id, const std::string& groups, const Lines& body) {
    Lines a = {"Path: brix.test!not-for-mail",
               "From: Poster <poster@example.org>",
               "Newsgroups: " + groups,
               "Subject: about " + id,
               "Message-ID: <" + id + ">",
               "Date: Tue, 01 Dec 2026 10:00:00 +0000",
               ""};
    a.insert(a.end(), body.begin(), body.end());
    return a;
}

// The article as the reader gets it: innd adds Xref: as the last header line.
Lines Served(Lines a, const std::string& xref) {
    a.insert(a.begin() + 6, "Xref: brix.test " + xref);
    return a;
}

std::string Queued(const std::string& id) {
    return "From: <own@client.example>\r\nNewsgroups: de.test\r\nSubject: mine\r\nMessage-ID: <" +
           id + ">\r\nX-Newsreader: QV 3.1\r\n\r\n.dot\r\n";
}

struct Mode {
    const char* tls; // the box's NNTPTLS; "" for none
    bool implicit;   // the second nnrpd's port rather than the plain one
};
void PrintTo(const Mode& mode, std::ostream* out) {
    *out << mode.tls;
}
class NewsJobsInn : public ::testing::TestWithParam<Mode> {};

// All three news jobs of a box in one run: the list, posting, then fetching
// (whole articles, a group header-only from the overview, a crosspost and
// the own posting known already, requests by Message-ID).
TEST_P(NewsJobsInn, ListPostAndFetchInOneRun) {
    if (std::string why = InnServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    const bool tls = *GetParam().tls;
    testing::TestPki pki;
    InnServer inn;
    if (tls) inn.UseTls(pki.Localhost().cert, pki.Localhost().key);
    ASSERT_EQ(inn.Start({"de.test", "de.other"}), "");
    const Lines a1 = Article("a1@brix.test", "de.test", {"first", ".", "..two", ".x"});
    const Lines a2 = Article("a2@brix.test", "de.test",
                             {std::string(3000, 'l'), "8-bit: \xe4\xf6\xfc\xdf", "end"});
    const Lines a3 = Article("a3@brix.test", "de.other", {"other group"});
    const Lines a4 = Article("a4@brix.test", "de.test,de.other", {"crossposted"});
    ASSERT_EQ(inn.Inject({a1, a2, a3, a4}), Lines(4, "235 Article transferred OK")) << inn.Log();
    testing::TempTree t;
    // The certificate names localhost, so the box does too.
    const std::string box =
        std::string("NNTPSERVER=") + (tls ? "localhost" : "127.0.0.1") +
        "\nNNTPPORT=" + (GetParam().implicit ? inn.TlsReaderPortText() : inn.ReaderPortText()) +
        "\nNNTPLIST=J\nNNTPTIMEOUT=10\nNNTPCOMPRESS=J\nNNTPTLS=" + GetParam().tls +
        "\nTLSCAFILE=" + pki.CaFile() + "\n";
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", box);
    t.Write("BOX1.rc", "# my groups\r\nde.test   0\r\nde.other -10 hdronly\r\nde.missing 5\r\n");
    t.Write("request.id", FormatRequestRecord({1, 0, "*", "<a1@brix.test>"}) +
                              FormatRequestRecord({1, 0, "OTHERBOX", "<a2@brix.test>"}));
    t.Write("spool/n0001.out", Queued("own1@client.example"));

    auto r = testing::RunBrix({"box1.bfg", "-debug2"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const std::string log = t.Read("qv-ppp.log");
    EXPECT_EQ(Count(log, "Error"), 0u) << log << inn.Log();
    const std::string list = t.Read("BOX1.bl");
    EXPECT_EQ(list.rfind("!new_groups:", 0), 0u) << list;
    EXPECT_EQ(Count(list, "\r\nde.test "), 1u) << list;
    EXPECT_FALSE(t.Exists("spool/n0001.out")) << log;
    EXPECT_EQ(Count(log, " 1 articles posted\r\n"), 1u) << log;
    // The own posting (de.test:4) is known and skipped.
    EXPECT_EQ(t.Read("spool/n0000.msg"), Entries({Served(a1, "de.test:1"), Served(a2, "de.test:2"),
                                                  Served(a4, "de.test:3 de.other:2")}))
        << log;
    // Header only, from the overview; the crosspost is known and skipped.
    std::string other = t.Read("spool/n0001.msg");
    EXPECT_EQ(other.rfind("#! rnews ", 0), 0u) << other;
    EXPECT_EQ(Count(other, "\nNewsgroups: de.other\nSubject: about a3@brix.test\n"), 1u) << other;
    EXPECT_EQ(Count(other, "\nLines: 0\nX-QV-Mode: HdrOnly\n\n"), 1u) << other;
    EXPECT_EQ(Count(other, "a4@brix.test"), 0u);
    Lines requested = Served(a1, "de.test:1");
    requested.insert(requested.begin() + 7, "X-QV-Mode: Message-ID Request");
    EXPECT_EQ(t.Read("spool/n0002.msg"), Entries({requested}));
    EXPECT_EQ(t.Read("BOX1.rc"),
              "# my groups\r\nde.test 4\r\nde.other 2 hdronly\r\nde.missing 5\r\n");
    EXPECT_EQ(t.Read("e-news.idx"),
              "<own1@client.example><a1@brix.test><a2@brix.test><a4@brix.test><a3@brix.test>");
    const std::string requests = t.Read("request.id");
    EXPECT_EQ(requests[1], '\xff');
    EXPECT_EQ(requests[kRequestRecordSize + 1], '\0');
    EXPECT_EQ(Count(log, " no such newsgroup: de.missing\r\n"), 1u) << log;
    EXPECT_EQ(Count(log, " total: 4 articles received, 2 articles skipped\r\n"), 1u) << log;
    // INN speaks RFC 3977: the articles' commands go out ahead of the
    // answers, deflated (COMPRESS DEFLATE).
    const std::string transcript = t.Read("BOX1.log");
    EXPECT_TRUE(Count(transcript, "<ARTICLE 1\r\n<ARTICLE 2\r\n<ARTICLE 3\r\n"));
    // Every group is asked for before the first one's articles, which
    // follow a GROUP of their own: the range of de.test waited for GROUP's
    // answer, the one of de.missing went ahead.
    EXPECT_TRUE(Count(transcript, "<GROUP de.test\r\n<GROUP de.other\r\n<GROUP de.missing\r\n"
                                  "<XOVER 6-\r\n"))
        << transcript;
    EXPECT_TRUE(Count(transcript, "<GROUP de.test\r\n<XOVER 1-4\r\n")) << transcript;
    EXPECT_LT(transcript.find("<GROUP de.missing\r\n"), transcript.find("<ARTICLE 1\r\n"));
    EXPECT_LT(transcript.find("\r\n<COMPRESS DEFLATE\r\n"), transcript.find("\r\n>206 "));
    EXPECT_TRUE(Count(transcript, "\r\nCOMPRESS DEFLATE: ")) << transcript;
    // Three sessions, each verified against the test CA.
    EXPECT_EQ(Count(t.Read("BOX1.log"), ", peer /CN=localhost\r\n"), tls ? 3u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, NewsJobsInn,
                         ::testing::Values(Mode{"", false}, Mode{"TLS", true},
                                           Mode{"STARTTLS", false}),
                         [](const auto& info) {
                             return *info.param.tls ? std::string(info.param.tls) : "plain";
                         });

// The three protocols through a real SOCKS5 proxy: microsocks with a login
// (the password from PROXYPASSCMD), Dante without one. Dovecot over TLS
// from the first byte, Exim with STARTTLS, INN with TLS from the first byte
// as well, each named
// "localhost", which the proxy resolves; the certificates are checked
// against that name. What arrives is what the direct runs get.
class ProgramProxy : public ::testing::TestWithParam<SocksProxyServer::Kind> {};

TEST_P(ProgramProxy, MailAndNewsThroughARealProxyArriveAsTheyDoDirectly) {
    if (std::string why = InnServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    const bool login = GetParam() == SocksProxyServer::Kind::Microsocks;
    SocksProxyServer proxy(GetParam());
    if (std::string why = login ? proxy.Start("brix", "pr0xy") : proxy.Start(); !why.empty())
        GTEST_SKIP() << why;
    testing::TestPki pki;
    testing::DovecotServer pop;
    pop.UseTls(pki.Localhost().cert, pki.Localhost().key);
    if (std::string why = pop.Start(kSeed); !why.empty()) GTEST_SKIP() << why;
    testing::EximServer exim;
    exim.UseTls(pki.Localhost().cert, pki.Localhost().key);
    if (std::string why; !exim.Start(why)) GTEST_SKIP() << why;
    InnServer inn;
    inn.UseTls(pki.Localhost().cert, pki.Localhost().key);
    ASSERT_EQ(inn.Start({"de.test"}), "");
    const Lines a1 = Article("a1@brix.test", "de.test", {"first", ".", "..two", ".x"});
    ASSERT_EQ(inn.Inject({a1}), Lines(1, "235 Article transferred OK")) << inn.Log();

    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("ca.pem", testing::TempTree::ReadAny(pki.CaFile()));
    t.Write("BOX1.bfg",
            "POP3SERVER=localhost\nPOP3PORT=" + pop.TlsPortText() +
                "\nPOP3TLS=TLS\nPOP3USER=joe\nPOP3PASS=tanstaaf\nPOP3TIMEOUT=10\n"
                "SMTPSERVER=localhost\nSMTPPORT=" +
                exim.PortText() +
                "\nSMTPTLS=STARTTLS\nNNTPSERVER=localhost\nNNTPPORT=" + inn.TlsReaderPortText() +
                "\nNNTPTLS=TLS\nNNTPTIMEOUT=10\nTLSCAFILE=ca.pem\nPROXY=socks5h://" +
                (login ? "brix@" : "") + "127.0.0.1:" + proxy.PortText() + "\n" +
                (login ? "PROXYPASSCMD=echo pr0xy\n" : ""));
    t.Write("BOX1.rc", "de.test 0\r\n");
    t.Write("spool/m0001.out", Outgoing("bert@brix.test", "proxied"));
    auto r = testing::RunBrix({"box1.bfg", "-debug2"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output << t.Read("qv-ppp.log") << proxy.Log();
    for (std::size_t i = 0; i < kSeed.size(); ++i)
        EXPECT_EQ(t.Read("spool/m000" + std::to_string(i) + ".msg"),
                  "From joe@localhost\n" + kSeed[i].text)
            << pop.Log();
    std::vector<std::string> delivered = exim.Delivered(1);
    ASSERT_EQ(delivered.size(), 1u);
    std::string m = delivered[0];
    std::erase(m, '\r');
    for (const char* part : {"MAIL FROM:<anna@client.example>\n", "\nSubject: proxied\n",
                             "\n..one dot leads this line\n", "\n...two dots lead this one\n"})
        EXPECT_TRUE(Count(m, part)) << part << " in " << m;
    EXPECT_FALSE(t.Exists("spool/m0001.out"));
    EXPECT_EQ(t.Read("spool/n0000.msg"), Entries({Served(a1, "de.test:1")}));
    const std::string log = t.Read("qv-ppp.log");
    EXPECT_EQ(Count(log, "Error"), 0u) << log;
    const std::string via = " via SOCKS5 proxy 127.0.0.1:" + proxy.PortText() + "\r\n";
    EXPECT_TRUE(Count(log, " POP3: localhost:" + pop.TlsPortText() + via)) << log;
    EXPECT_TRUE(Count(log, " SMTP: localhost:" + exim.PortText() + via)) << log;
    EXPECT_TRUE(Count(log, " NNTP: localhost:" + inn.TlsReaderPortText() + via)) << log;
    // The name reached the proxy as a name.
    if (login) {
        EXPECT_TRUE(Count(proxy.Log(), "connected to localhost:" + pop.TlsPortText()))
            << proxy.Log();
    }
    // The three TLS sessions verified for the server's name, not the proxy's.
    const std::string transcript = t.Read("BOX1.log");
    EXPECT_EQ(Count(transcript, ", peer /CN=localhost\r\n"), 3u) << transcript;
    EXPECT_EQ(Count(transcript, " through the SOCKS5 proxy 127.0.0.1:" + proxy.PortText()), 3u)
        << transcript;
}

INSTANTIATE_TEST_SUITE_P(Proxies, ProgramProxy,
                         ::testing::Values(SocksProxyServer::Kind::Microsocks,
                                           SocksProxyServer::Kind::Dante),
                         [](const auto& info) {
                             return info.param == SocksProxyServer::Kind::Microsocks ? "Microsocks"
                                                                                     : "Dante";
                         });

// A group of `count` articles of about 2 KiB, a1 .. aN, in de.test.
std::vector<Lines> Bulk(int count) {
    std::vector<Lines> articles;
    for (int i = 1; i <= count; ++i)
        articles.push_back(Article("a" + std::to_string(i) + "@brix.test", "de.test",
                                   Lines(20, std::string(99, 'a' + i % 26))));
    return articles;
}

// Each article of `count` in the batches of the tree, exactly once; the
// group's pointer reached `count`.
void EachArticleOnce(const TempTree& t, int count) {
    std::string batches;
    for (const auto& e : std::filesystem::directory_iterator(t / "spool"))
        batches += TempTree::ReadAny(e.path().string());
    for (int i = 1; i <= count; ++i)
        ASSERT_EQ(Count(batches, "\nMessage-ID: <a" + std::to_string(i) + "@brix.test>\n"), 1u)
            << i;
    EXPECT_EQ(t.Read("BOX1.rc"), "de.test " + std::to_string(count) + "\r\n");
}

// The pointer of de.test in the group pointer file.
long Pointer(const TempTree& t) {
    const std::string rc = t.Read("BOX1.rc");
    return rc.starts_with("de.test ") ? std::atol(rc.c_str() + 8) : -1;
}

// kill -9 in the middle of a group on a slow link: the state saved as the
// run went has moved the pointer, and the next run fetches each article
// once (those written after the last save are known from their batch).
TEST(NewsInn, KilledInTheMiddleOfAGroupTheNextRunFetchesNothingTwice) {
    if (std::string why = InnServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    constexpr int kArticles = 600;
    InnServer inn;
    ASSERT_EQ(inn.Start({"de.test"}), "");
    ASSERT_EQ(inn.Inject(Bulk(kArticles)), Lines(kArticles, "235 Article transferred OK"));
    // Slow enough for the run to outlast a save, pipelined as it is: the
    // window grows on a long link, so the link is narrow too (1.3 MB at
    // 100 kB/s, uncompressed).
    relay::DelayRelay relay(inn.ReaderPort(), std::chrono::milliseconds(300), 100'000);
    TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.rc", "de.test 0\n");
    t.Write("BOX1.bfg", "NNTPSERVER=127.0.0.1\nNNTPPORT=" + std::to_string(relay.Port()) +
                            "\nNNTPCOMPRESS=N\n");
    pid_t pid = testing::Spawn(BRIX_BINARY, {"box1.bfg", "-v"}, {"QV=" + t.Path()}, "", -1);
    for (int i = 0; i < 3000 && Pointer(t) <= 0; ++i)
        ::usleep(10'000);
    // A few more articles, written after that save.
    ::usleep(150'000);
    ::kill(pid, SIGKILL);
    testing::WaitExit(pid);
    const long reached = Pointer(t);
    EXPECT_GT(reached, 0);
    EXPECT_LT(reached, kArticles);

    t.Write("BOX1.bfg", "NNTPSERVER=127.0.0.1\nNNTPPORT=" + inn.ReaderPortText() + "\n");
    auto r = testing::RunBrix({"box1.bfg", "-v"}, {"QV=" + t.Path()});
    EXPECT_EQ(Count(t.Read("qv-ppp.log"), "Error"), 0u) << t.Read("qv-ppp.log");
    EachArticleOnce(t, kArticles);
}

// The whole tree on a small file system: the job stops taking articles
// while the pointer and the duplicate list can still be saved, and says
// why; once there is room, the next run fetches the rest, nothing twice.
TEST(NewsInn, AFullDiskStopsTheFetchWhileItsStateCanBeSaved) {
    if (std::string why = InnServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    constexpr int kArticles = 200;
    InnServer inn;
    ASSERT_EQ(inn.Start({"de.test"}), "");
    ASSERT_EQ(inn.Inject(Bulk(kArticles)), Lines(kArticles, "235 Article transferred OK"));
    TempTree t;
    ASSERT_EQ(::mount("tmpfs", t.Path().c_str(), "tmpfs", 0, "size=256k"), 0);
    struct Unmount {
        std::string dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount{t.Path()};
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.rc", "de.test 0\n");
    t.Write("BOX1.bfg", "NNTPSERVER=127.0.0.1\nNNTPPORT=" + inn.ReaderPortText() + "\n");
    auto r = testing::RunBrix({"box1.bfg", "-v"}, {"QV=" + t.Path()});
    EXPECT_NE(r.output.find("Error (getnews): No space left on device in " + t.Path() +
                            "spool/ for the next article and the news state ("),
              std::string::npos)
        << r.output;
    const long reached = Pointer(t);
    EXPECT_GT(reached, 0);
    EXPECT_LT(reached, kArticles);
    EXPECT_EQ(Count(t.Read("e-news.idx"), "@brix.test>"), static_cast<std::size_t>(reached));

    ASSERT_EQ(::mount("tmpfs", t.Path().c_str(), "tmpfs", MS_REMOUNT, "size=8m"), 0);
    r = testing::RunBrix({"box1.bfg", "-v"}, {"QV=" + t.Path()});
    EXPECT_EQ(Count(r.output, "Error"), 0u) << r.output;
    EachArticleOnce(t, kArticles);
}

// On a link with a round trip of 50 ms the news fetch's pipeline window
// grows past where it starts, as the answers show what the link holds, and
// what goes ahead passes it by one article at most: the session's
// transcript says so, and every article arrives once.
TEST(NewsPipeline, OnASlowLinkTheWindowGrowsAndWhatGoesAheadStaysWithinIt) {
    constexpr int kArticles = 400;
    TempTree t;
    t.MakeDir("server/news/de.test");
    const std::vector<Lines> articles = Bulk(kArticles);
    for (std::size_t i = 0; i < articles.size(); ++i) {
        std::string text;
        for (const std::string& line : articles[i])
            text += line + "\n";
        t.Write("server/news/de.test/" + std::to_string(i + 1), text);
    }
    loopback::Options options;
    options.dir = t / "server/";
    loopback::Server server(options);
    std::atomic<bool> stop{false};
    std::thread serving([&] { server.Run(stop); });
    relay::DelayRelay relay(server.NntpPort(), std::chrono::milliseconds(25));
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.rc", "de.test 0\n");
    t.Write("BOX1.bfg", "NNTPSERVER=127.0.0.1\nNNTPPORT=" + std::to_string(relay.Port()) + "\n");
    auto r = testing::RunBrix({"box1.bfg", "-debug1"}, {"QV=" + t.Path()});
    stop = true;
    serving.join();
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EachArticleOnce(t, kArticles);
    const std::string transcript = t.Read("BOX1.log");
    const std::size_t at = transcript.find("\r\nPipelining: window ");
    ASSERT_NE(at, std::string::npos) << transcript;
    unsigned long long window = 0, most = 0;
    ASSERT_EQ(std::sscanf(transcript.c_str() + at,
                          "\r\nPipelining: window %llu bytes, at most "
                          "%llu bytes in flight",
                          &window, &most),
              2);
    const std::size_t start = TAbsClient::kMaxWindow / 64;
    EXPECT_GT(window, start);
    EXPECT_LE(window, TAbsClient::kMaxWindow);
    EXPECT_GT(most, start);
    EXPECT_LT(most, window + 4096);
}

// The first of two queued articles names a group the server does not carry
// (441): it stays queued and is the post job's error; the second is posted
// and removed, and only it is counted.
TEST(NewsPosting, ARefusedArticleStaysQueuedAndIsTheJobsError) {
    TempTree t;
    t.MakeDir("server/news/de.test");
    loopback::Options options;
    options.dir = t / "server/";
    loopback::Server server(options);
    std::atomic<bool> stop{false};
    std::thread serving([&] { server.Run(stop); });
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", "NNTPSERVER=127.0.0.1\nNNTPPORT=" + std::to_string(server.NntpPort()) +
                            "\nNNTPTIMEOUT=10\n");
    const std::string head = "From: <own@client.example>\r\nSubject: mine\r\nMessage-ID: <";
    t.Write("spool/n0001.out", head + "p1@x>\r\nNewsgroups: de.nowhere\r\n\r\none\r\n");
    t.Write("spool/n0002.out", head + "p2@x>\r\nNewsgroups: de.test\r\n\r\ntwo\r\n");
    auto r = testing::RunBrix({"box1.bfg", "-v"}, {"QV=" + t.Path()});
    stop = true;
    serving.join();

    EXPECT_EQ(r.exitCode, 105) << r.output;
    const std::string log = t.Read("qv-ppp.log");
    EXPECT_EQ(Count(log, " Error (postnews): Post: After transfer. (Error=441 no such newsgroup: "
                         "de.nowhere)\r\n"),
              1u)
        << log;
    EXPECT_EQ(Count(log, " 1 articles posted\r\n"), 1u) << log;
    EXPECT_EQ(Count(log, " Error ("), 1u) << log;
    EXPECT_TRUE(t.Exists("spool/n0001.out"));
    EXPECT_FALSE(t.Exists("spool/n0002.out"));
    EXPECT_TRUE(Count(t.Read("server/news/de.test/1"), "<p2@x>"));
    EXPECT_EQ(t.Read("e-news.idx"), "<p2@x>");
}

// ----------------------------------------------------------------------
// scripts/demo as a new user runs it, here without a terminal: the whole
// program against the bundled server, checked by what arrived where; then
// the installed program under a prefix of its own.

namespace fs = std::filesystem;

// The files of dir whose names start with `prefix`, one after another.
std::string FilesLike(const fs::path& dir, const std::string& prefix, int& count) {
    std::string all;
    count = 0;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().starts_with(prefix) && e.path().extension() == ".msg") {
            ++count;
            all += TempTree::ReadAny(e.path());
        }
    return all;
}

TEST(Demo, RunsTheMainJobOnTheBundledServerAndInstalls) {
    TempTree tmp;
    const std::string build = fs::path(BRIX_BINARY).parent_path().string();
    auto r = testing::RunProgram(BRIX_SOURCE_DIR "/scripts/demo", {"--keep", "--no-build"},
                                 {"TMPDIR=" + tmp.Path(), "BRIX_BUILD_DIR=" + build});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const fs::path demo = fs::directory_iterator(tmp.Path())->path(), qv = demo / "qv",
                   spool = qv / "spool", server = demo / "server";

    // Mail: the three sample messages fetched, the queued reply sent.
    int count = 0;
    std::string fetched = FilesLike(spool, "m", count);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(fetched.rfind("From alice@", 0), 0u);
    EXPECT_TRUE(Count(fetched, "Subject: Your weekly digest\n")) << fetched;
    EXPECT_FALSE(fs::exists(spool / "m0001.out"));
    std::string sent = TempTree::ReadAny(server / "sink" / "0001.eml");
    EXPECT_TRUE(Count(sent, "X-Mailer: Demo Reader 1.0, via Brix/W v0.4.2l\n")) << sent;
    EXPECT_TRUE(Count(sent, "\n.and this line")) << sent;

    // News: the article posted, the groups fetched
    // (the spammer killed by the scorefile, the binaries group header-only).
    EXPECT_FALSE(fs::exists(spool / "n0001.out"));
    EXPECT_TRUE(Count(TempTree::ReadAny(server / "news" / "demo.talk" / "5"),
                      "X-Newsreader: Demo Reader 1.0, via Brix/W v0.4.2l"));
    std::string batches = FilesLike(spool, "n", count);
    for (const char* s :
         {"#! rnews ", "Subject: Offline readers\n", "X-Score: 10\n", "X-QV-Mode: HdrOnly\n"})
        EXPECT_TRUE(Count(batches, s)) << s;
    EXPECT_FALSE(Count(batches, "MAKE MONEY FAST"));
    EXPECT_FALSE(Count(batches, "<post-1@example.org>")); // posted, so not fetched back
    std::string rc = TempTree::ReadAny(qv / "DEMO.rc");
    EXPECT_TRUE(Count(rc, "demo.announce 2\r\n") && Count(rc, "demo.talk 5\r\n")) << rc;

    r = testing::RunProgram("/usr/bin/env", {"cmake", "--install", build, "--prefix", tmp / "p"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(tmp.Exists("p/share/man/man1/brix.1.gz"));
    r = testing::RunProgram(tmp / "p/bin/brix", {"-h"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Count(r.output, "man brix")) << r.output;
}

} // namespace
} // namespace brix
