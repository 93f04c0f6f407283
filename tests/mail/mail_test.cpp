// The mail side below the whole runs: the files the jobs read and write,
// byte for byte (spool files in both forms, their names, the identifier
// files, the outgoing batch lines), then the fetch and send jobs against the
// scripted server.

#include "clients/base64.h"
#include "mail/outgoing_mail.h"
#include "mail/send_mail.h"
#include "mail/spool.h"
#include "message/idtext.h"
#include "message/msg.h"
#include "platform/textfile.h"
#include "support/errors.h"
#include "testing/job_test.h"
#include "testing/real_servers.h"
#include "testing/run_program.h"
#include "testing/script_server.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace brix {
namespace {

using namespace testing;

// The spool file's bytes for a received message, formed line by line.
std::string Formed(const tbrix_msg& message, bool batched, const std::string& user,
                   const std::string& server, const std::string& envelope) {
    std::string bytes;
    SpoolFormer form(batched, {user, server, false, envelope}, [&](std::string_view line) {
        bytes.append(line);
        bytes += '\n';
    });
    for (const std::string& line : message.Lines)
        form.Line(line);
    form.End();
    return bytes;
}

std::string Write(SpoolNames& names, std::uint32_t& counter, const Lines& lines) {
    SpoolFile file(names, counter);
    for (const std::string& line : lines)
        file.Line(line);
    return file.Commit();
}

TEST(SpoolForm, MailboxAndBatchedSmtpForms) {
    EXPECT_EQ(Formed({"A: 1", "", "From here on", ".dot", ""}, false, "u", "s", ""),
              "From u@localhost\nA: 1\n\nFrom here on\n.dot\n\n");
    // The batch is read back as SMTP: lines starting with a dot are stuffed.
    EXPECT_EQ(Formed({".H: 1", "", "..", ".x", "a.b", " ."}, true, "u", "s", "r"),
              "HELO s\nRCPT TO:<r>\nDATA\n..H: 1\n\n...\n..x\na.b\n .\n.\nQUIT\n");
    struct {
        tbrix_msg message;
        bool useEnvelope;
        const char* envelope;
        const char* recipient;
    } cases[] = {
        {{"X-Envelope-To: b@x", "envelope-to:  a@x ", ""}, true, "fixed@x", "a@x"},
        {{"Envelope-To: a@x", ""}, false, "", "postmaster@localhost"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BatchedSmtpRecipient(c.message, c.useEnvelope, c.envelope), c.recipient);
}

TEST(SpoolWrite, TakenNamesAreSkippedNeverReplaced) {
    TempTree dir, other;
    dir.Write("m0000.msg", "zero");
    dir.Write("M0001.MSG", "one"); // the host reader does not tell case apart
    ASSERT_EQ(::symlink("nowhere", (dir / "m0002.msg").c_str()), 0);
    dir.MakeDir("m0003.msg");
    dir.Write("m0004.tmp", "left by a killed run");
    SpoolNames names(dir.Path()), otherNames(other.Path());
    EXPECT_EQ(names.Removed, Lines{dir / "m0004.tmp"});
    std::uint32_t counter = 0;
    EXPECT_EQ(Write(names, counter, {"a", "b"}), dir / "m0004.msg");
    dir.Write("m0005.msg", "taken after the listing");
    EXPECT_EQ(Write(names, counter, {}), dir / "m0006.msg");
    EXPECT_EQ(counter, 7u);
    // The counter goes on in another spool folder.
    EXPECT_EQ(Write(otherNames, counter, {"c"}), other / "m0007.msg");
    EXPECT_EQ(DirNames(dir.Path()), (Lines{"M0001.MSG", "m0000.msg", "m0002.msg", "m0003.msg",
                                           "m0004.msg", "m0005.msg", "m0006.msg"}));
    EXPECT_EQ(dir.Read("m0000.msg"), "zero");
    EXPECT_EQ(dir.Read("M0001.MSG"), "one");
    EXPECT_EQ(dir.Read("m0004.msg"), "a\nb\n");
    EXPECT_EQ(dir.Read("m0005.msg"), "taken after the listing");
    EXPECT_EQ(dir.Read("m0006.msg"), "");
    EXPECT_EQ(other.Read("m0007.msg"), "c\n");
}

// Without a Message-ID: the MD5 of "From: a@b\r\nSubject: x\r\n".
TEST(MessageIdMode, IdentifierIsMessageIdValueOrDigestOfHeaderLines) {
    EXPECT_EQ(MessageIdIdentifier({"message-id:\t<abc@x.org> (relay)", ""}), "<abc@x.org>");
    EXPECT_EQ(MessageIdIdentifier({"Message-ID: abc@x.org", ""}), "<abc@x.org>");
    EXPECT_EQ(MessageIdIdentifier({"From: a@b", "Subject: x", "", "Message-ID: <body@x>"}),
              "<0afda31a0c3c3cbb1a43611682d869bb>");
}

// State files are replaced whole, never written in place: a full disk
// leaves the old file, and the new one keeps the old one's permissions.
TEST(IdText, FailedWriteKeepsTheOldFile) {
    TempTree dir;
    const std::string name = dir / "e-mail.uid", text("<1@u.a>\r\n\0b", 11);
    WriteWholeFile(name, "old");
    ::chmod(name.c_str(), 0600);
    WriteWholeFile(name, text);
    EXPECT_EQ(ReadWholeFile(name), text);
    {
        testing::FileSizeLimit fullDisk(4);
        EXPECT_THROW(WriteWholeFile(name, "<1@u.a><2@u.a>"), EInOutError);
    }
    EXPECT_EQ(DirNames(dir.Path()), Lines{"e-mail.uid"});
    EXPECT_EQ(dir.Read("e-mail.uid"), text);
    struct stat st {};
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The temporary name is taken exclusively: a link planted there is not
    // written through.
    dir.Write("victim", "mine");
    const std::string temp = dir / (".e-mail.uid.tmp" + std::to_string(::getpid()));
    ASSERT_EQ(::symlink((dir / "victim").c_str(), temp.c_str()), 0);
    WriteWholeFile(name, "new");
    EXPECT_EQ(dir.Read("victim"), "mine");
    EXPECT_EQ(dir.Read("e-mail.uid"), "new");
}

// Only CR LF or LF ends a line; a lone CR is one of its bytes.
TEST(OutgoingMail, LinesEndAtCrLfOrLoneLf) {
    TempTree dir;
    dir.Write("m.out", "a\r\nb\nc\rd\r\r\ne");
    Lines lines;
    ForEachSpoolLine(dir / "m.out", [&](std::string& line) { lines.push_back(line); });
    EXPECT_EQ(lines, (Lines{"a", "b", "c\rd\r", "e"}));
}

// A queue file is read whole before any of it is sent: its messages with
// their envelopes and bytes, or the first thing that keeps it from going
// out as it is, naming the line.
TEST(OutgoingMail, ScanFindsTheMessagesOrWhatIsWrong) {
    const std::string first = "HELO h\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nrcpt to: c@y \r\n"
                              "DATA\r\nS: 1\r\n\r\nbody\r\n.\r\nQUIT\r\n";
    const std::string second = "MAIL FROM:<>\r\nRCPT TO:<d@y>\r\nDATA\r\n..x\r\n.\nQUIT\n";
    const std::string two = first + "HELO h\r\n" + second;
    const OutFile f = ScanOutgoing(two);
    EXPECT_EQ(f.error, "");
    EXPECT_EQ(f.heloLine, std::optional<std::size_t>(0));
    EXPECT_EQ(f.helo, "h");
    EXPECT_EQ(f.size, two.size());
    ASSERT_EQ(f.messages.size(), 2u);
    EXPECT_EQ(f.messages[0].from, "a@x");
    EXPECT_EQ(f.messages[0].to, (Lines{"b@y", "c@y"}));
    EXPECT_EQ(f.messages[0].dataLine, 4u);
    EXPECT_EQ(f.messages[0].bytes, (ByteRange{8, first.size() - 6}));
    EXPECT_EQ(f.messages[1].from, "");
    EXPECT_EQ(f.messages[1].dataLine, 13u);
    EXPECT_EQ(f.messages[1].bytes, (ByteRange{first.size() + 8, two.size() - 5}));
    // What stays when the server took the first messages: the HELO line,
    // then the rest byte for byte.
    auto kept = [&](std::size_t accepted) {
        std::string out;
        for (const ByteRange& r : UnsentParts(f, accepted))
            out += two.substr(r.begin, r.end - r.begin);
        return out;
    };
    EXPECT_EQ(kept(0), two);
    EXPECT_EQ(kept(1), "HELO h\r\n" + second);
    EXPECT_EQ(kept(2), "");

    const std::string good = "MAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nDATA\r\nt\r\n.\r\n";
    struct {
        std::string text, error;
    } bad[] = {
        {"", "no message in it (no MAIL FROM: line)"},
        {"HELO h\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nQUIT\r\n",
         "the message of line 2 has no DATA line"},
        {good + "MAIL FROM:<a@x>\r\nMAIL FROM:<a@x>\r\n", "the message of line 6 has no DATA line"},
        {"MAIL FROM:<a@x>\r\nDATA\r\nt\r\n.\r\n", "the message of line 1 has no RCPT TO: line"},
        {"HELO h\r\nRCPT TO:<b@y>\r\n",
         "line 2: RCPT TO: outside a message (no MAIL FROM: before it)"},
        {good + "DATA\r\n", "line 6: DATA outside a message (no MAIL FROM: before it)"},
        {good + "MAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nDATA\r\ntext\r\n. \r\n",
         "the message text after line 8 (DATA) has no final \".\" line"},
        {"MAIL FROM:<a@x>\r\nRCPT TO <b@y>\r\n",
         "line 2 cannot be read as a command (MAIL FROM: or RCPT TO: expected)"},
        {"MAIL FROM:<a@x>\r\nRCPT TO:<b@y>\rDATA\r\n",
         "line 2 cannot be read as a command (a control character)"},
        {"HELO h\x01\r\n" + good, "line 1 cannot be read as a command (a control character)"},
        {"MAIL FROM:<a@x>\r\nRCPT TO:<>\r\n",
         "line 2 cannot be read as a command (RCPT TO: without an address)"},
        {"MAIL FROM:<a@x> SIZE=10\r\n",
         "line 1 cannot be read as a command (an address with \"<\" or \">\" inside)"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.text);
        EXPECT_EQ(ScanOutgoing(b.text).error, b.error);
    }
}

// ----------------------------------------------------------------------
// The mail fetch job against the scripted server: the dialogue byte for
// byte where the generated break-point dialogues do not go (LIST outside
// verbose mode), the spool and state files it leaves, its log lines, and a
// run killed mid-message.

// Known messages are skipped; a spool name taken under another case is
// passed over; identifiers of this account that the server no longer lists
// leave the text, those of other accounts stay, however many there are.
TEST_F(GetMailTest, KeepModeSkipsKnownAndFetchesNewBesideTakenSpoolNames) {
    Settings().VerboseMode = false;
    std::string other;
    for (int i = 0; i < 2000; ++i) // beyond any limit of the identifier file
        other += "<" + std::to_string(i) + "@joe.other.server>";
    tree.Write("spool/M0000.MSG", "old"); // the host reader does not tell case apart
    Script s = Listed(2);
    s.Expect("LIST 1").Send("+OK 1 120").Expect("LIST 2").Send("+OK 2 200");
    s.Expect("RETR 2").SendData("+OK", {"From: bob@example.org", "", ".dotted", "end"});
    ScriptServer server(s.Expect("QUIT").Send("+OK bye"));
    const std::string port = server.PortText();
    auto Id = [&](const std::string& uid) { return testing::Id(uid, port); };
    // The same account behind another port of the host: never this one's.
    other += testing::Id("old", "1") + testing::Id("aaa", "1");
    tree.Write("e-mail.uid", Id("old") + other + Id("aaa"));
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spool(), (Lines{"M0000.MSG", "m0001.msg"}));
    EXPECT_EQ(Spooled("M0000.MSG"), "old");
    EXPECT_EQ(Spooled("m0001.msg"), "From joe@localhost\nFrom: bob@example.org\n\n.dotted\nend\n");
    EXPECT_EQ(Uids(), other + Id("aaa") + Id("bbb"));
    EXPECT_EQ(RunLog(), (Lines{"POP3: 127.0.0.1:" + server.PortText(), "2 mails, 320 bytes",
                               "1 mails skipped"}));
}

// Two accounts behind one host name (tunnels on localhost, two ports of one
// provider) with the same UIDL identifiers: each fetches its own messages,
// and neither clean-up drops the other's identifiers, so a second run
// fetches nothing. Identifiers written before the port counted (without
// it) still make their messages known: nothing is fetched twice for the
// change.
TEST_F(GetMailTest, AccountsSharingAHostKeepTheirMessagesApart) {
    auto fetchAll = [](Script s) {
        for (int n = 1; n <= 2; ++n)
            s.Expect("RETR " + std::to_string(n))
                .SendData("+OK", {"Subject: " + std::to_string(n)});
        return s.Expect("QUIT").Send("+OK");
    };
    int ports[2];
    {
        ScriptServer first(fetchAll(Listed(2))), second(fetchAll(Listed(2)));
        ports[0] = first.Port();
        ports[1] = second.Port();
        box.POP3SERVER = "127.0.0.1 127.0.0.1";
        box.POP3PORT = first.PortText() + " " + second.PortText();
        GetMail(box, false);
        EXPECT_TRUE(first.Passed()) << first.Report();
        EXPECT_TRUE(second.Passed()) << second.Report();
    }
    EXPECT_EQ(Spool().size(), 4u);
    const std::string p0 = std::to_string(ports[0]), p1 = std::to_string(ports[1]);
    EXPECT_EQ(Uids(), testing::Id("aaa", p0) + testing::Id("bbb", p0) + testing::Id("aaa", p1) +
                          testing::Id("bbb", p1));
    // Both accounts again on their ports: every message is known.
    auto nothingNew = [&] {
        ScriptServer first(Listed(2).Expect("QUIT").Send("+OK"), std::chrono::seconds(5),
                           ScriptServer::On::V4, ports[0]);
        ScriptServer second(Listed(2).Expect("QUIT").Send("+OK"), std::chrono::seconds(5),
                            ScriptServer::On::V4, ports[1]);
        GetMail(box, false);
        EXPECT_TRUE(first.Passed()) << first.Report();
        EXPECT_TRUE(second.Passed()) << second.Report();
        EXPECT_EQ(Spool().size(), 4u);
    };
    nothingNew();
    // An older file: the identifiers name no port.
    tree.Write("e-mail.uid", "<aaa@joe.127.0.0.1><bbb@joe.127.0.0.1>");
    nothingNew();
}

// RFC 6856: a server that offers UTF8 is asked for it before the login, so
// that it hands the messages over unchanged. APOP goes only with the
// greeting's own timestamp; without one nothing derived from the password
// is sent.
TEST_F(GetMailTest, Utf8IsAskedForBeforeTheLoginAndApopNeedsATimestamp) {
    {
        Script s = Script().Send(testing::kGreeting).Expect("CAPA");
        s.SendData("+OK", {"UIDL", "UTF8 USER"}).Expect("UTF8").Send("+OK UTF-8 on");
        s.Expect("USER joe").Send("+OK").Expect("PASS secret").Send("+OK").Expect("STAT");
        ScriptServer server(
            s.Send("+OK 0 0").Expect("UIDL").SendData("+OK", {}).Expect("QUIT").Send("+OK"));
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
    }
    box.POP3AUTH = "J";
    {
        ScriptServer server(Script().Send("+OK POP3 ready").Expect("CAPA").Send("-ERR"));
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(RunLog().back(),
                  "Error (getmail): Apop: no timestamp in the greeting. (Error=+OK POP3 ready)");
    }
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
    const std::string port = server.PortText();
    EXPECT_EQ(Uids(), testing::Id("aaa", port) + testing::Id("bbb", port));
}

// ----------------------------------------------------------------------
// The mail send job against scripted SMTP servers: the wire order byte for
// byte, the X-Mailer rewrite, every refusal, files that cannot be sent as
// they are, servers that close with their reason, and the list of servers.

struct Mail {
    std::string from, to, subject;
};

// The text between DATA and "." as queued, or as it goes over the wire.
std::string Text(const Mail& m, bool wire) {
    return "From: " + m.from + "\r\nX-Mailer: QV 3.1" + (wire ? ", via Brix/W v0.4.2l" : "") +
           "\r\nSubject: " + m.subject + "\r\n\r\nX-Mailer: body text\r\n..a stuffed dot line\r\n";
}

std::string FileOf(const Mail& m) {
    return "HELO client.example\r\nMAIL FROM:<" + m.from + ">\r\nRCPT TO:<" + m.to +
           ">\r\nDATA\r\n" + Text(m, false) + ".\r\nQUIT\r\n";
}

std::string WireOf(const Mail& m, bool withHelo) {
    return (withHelo ? "EHLO client.example\r\n" : "") + std::string("MAIL FROM: <") + m.from +
           ">\r\nRCPT TO: <" + m.to + ">\r\nDATA\r\n" + Text(m, true) + ".\r\n";
}

// The server's side of one transaction, accepted up to the final reply.
Script& Accept(Script& s, const Mail& m, const std::string& finalReply = "250 queued",
               int scanMs = 0) {
    s.Expect("MAIL FROM: <" + m.from + ">").Send("250 sender ok");
    s.Expect("RCPT TO: <" + m.to + ">").Send("250 recipient ok");
    return s.Expect("DATA").Send("354 go ahead").ExpectBody().Pause(scanMs).Send(finalReply);
}

// The greeting of a server that does not pipeline, or of one that does
// (RFC 2920: the client's commands then arrive before their answers).
Script Helo(bool pipelining = false) {
    Script s = Script().Send("220 mx").Expect("EHLO client.example");
    return pipelining ? s.SendLines({"250-hello", "250 PIPELINING"}) : s.Send("250 hello");
}

Script& Quit(Script& s) {
    return s.Expect("QUIT").Send("221 bye");
}

const Mail kAnna{"anna@client.example", "bert@mx.example", "first"};
const Mail kCarl{"carl@client.example", "dora@mx.example", "second"};

std::string ToSend(int files, std::size_t bytes) {
    return std::to_string(files) + " mails to send, " + std::to_string(bytes) + " bytes";
}

// The error of a connection refused at `where`.
std::string Refused(const std::string& where) {
    return "Connect: Cannot connect to " + where + ". (Error=" + std::to_string(ECONNREFUSED) + ")";
}

class SendMailTest : public testing::MailJobTest {
  protected:
    void SetUp() override {
        MailJobTest::SetUp();
        box.SMTPSERVER = "127.0.0.1";
        box.SMTPSPOOL = SpoolDir();
        box.SMTPTIMEOUT = "3";
    }
    void Queue(const std::string& name, const std::string& bytes) {
        tree.Write("spool/" + name, bytes);
    }
    void Run(ScriptServer& server) {
        box.SMTPPORT = server.PortText();
        SendMail(box);
    }
};

TEST_F(SendMailTest, OutgoingFilesShareOneConnectionInNameOrder) {
    // Names match in any case and go out in byte order; the last file holds
    // two messages; every HELO but the first is passed over. The verdict on
    // "." is waited for beyond SMTPTIMEOUT, as servers scan first. QUIT
    // follows the last verdict.
    box.SMTPTIMEOUT = "1";
    const Mail eva{"eva@client.example", "fred@mx.example", "third"};
    Queue("m0002.out", FileOf(kCarl));
    Queue("M0000.OUT", FileOf(kAnna));
    Queue("m0003.out", FileOf(kAnna) + FileOf(eva));
    Queue("m0001.msg", "not outgoing");
    tree.MakeDir("spool/m0001.out");
    Script s = Helo();
    Accept(Accept(Accept(Accept(s, kAnna), kCarl, "250 scanned", 1500), kAnna), eva);
    ScriptServer server(Quit(s));
    Run(server);

    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), WireOf(kAnna, true) + WireOf(kCarl, false) + WireOf(kAnna, false) +
                                     WireOf(eva, false) + "QUIT\r\n");
    EXPECT_EQ(Spool(), (Lines{"m0001.msg", "m0001.out"}));
    std::size_t total = 2 * FileOf(kAnna).size() + FileOf(kCarl).size() + FileOf(eva).size();
    EXPECT_EQ(RunLog(),
              (Lines{"SMTP: 127.0.0.1:" + server.PortText(), ToSend(3, total), "3 mails sent"}));
}

// A refusal of the session (greeting, login, a temporary one, a reply out of
// step) ends the job: the error names the command and carries the server's
// line, no "." went out, and the files stay for the next run. A permanent
// refusal of one message (5yz to MAIL, DATA or its "." - the last line of a
// multi-line reply decides) keeps that file, and the queue goes on after
// RSET; of a file whose first message the server took, only the rest stays.
// QUIT ends every session whose dialogue is still in step.
TEST_F(SendMailTest, RefusalsEndTheJobOrKeepOneFile) {
    auto ehlo = [] {
        Script s = Script().Send("220 mx").Expect("EHLO client.example");
        return s.SendLines({"250-mx", "250 AUTH PLAIN LOGIN"});
    };
    Script login = ehlo().Expect("AUTH LOGIN").Send("334 VXNlcm5hbWU6");
    login.Expect(Base64Encode("user")).Send("334 UGFzc3dvcmQ6").Expect(Base64Encode("secret"));
    auto mail = [] { return Helo().Expect("MAIL FROM: <anna@client.example>"); };
    auto rcpt = [=] { return mail().Send("250 ok").Expect("RCPT TO: <bert@mx.example>"); };
    auto data = [=] { return rcpt().Send("250 ok").Expect("DATA"); };
    Script dot = Helo(), second = Helo();
    Accept(dot, kAnna, "250-accepted").Send("554 rejected after all");
    Accept(Accept(second, kAnna), kCarl, "552 message too big");
    struct {
        const char* auth; // SMTPAUTH; nullptr: no user and password
        Script script;
        std::string error;
        bool permanent = false;
        std::string file = FileOf(kAnna); // m0001.out, before m0002.out from Carl
        std::string left = file;          // what m0001.out holds afterwards
        bool inStep = true;
    } cases[] = {
        {nullptr, Script().Send("554 go away"), "Connect. (Error=554 go away)"},
        {"LOGIN", login.Send("535 bad credentials"), "Auth-Login. (Error=535 bad credentials)"},
        {"", ehlo(), "Auth-Login-Method not understand. (Error= not supportet)"},
        {nullptr, mail().Send("451 auth first"), "Smtp-Auth required. (Error=451 auth first)"},
        {nullptr, rcpt().Send("450 busy"), "Rcpt. (Error=450 busy)"},
        // The text sent before the early reply was read goes unanswered.
        {nullptr, data().SendLines({"354 go", "250 OK"}).Answer([](auto&, auto&) { return true; }),
         "Data: Reply before end of message. (Error=250 OK)", false, FileOf(kAnna), FileOf(kAnna),
         false},
        {nullptr, mail().Send("550 not you"), "Mail. (Error=550 not you)", true},
        {nullptr, data().Send("554 no valid recipients"), "Data. (Error=554 no valid recipients)",
         true},
        {nullptr, dot, "Data: After transfer. (Error=554 rejected after all)", true},
        // The first message was accepted: it leaves the file, which keeps
        // its HELO line and the second message as they were.
        {nullptr, second, "Data: After transfer. (Error=552 message too big)", true,
         FileOf(kAnna) + FileOf(kCarl), FileOf(kCarl)},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.error);
        tree.Write("qv-ppp.log", "");
        Queue("m0001.out", c.file);
        Queue("m0002.out", FileOf(kCarl));
        const tbrixconfig plain = box;
        if (c.auth) {
            box.SMTPAUTH = c.auth;
            box.SMTPUSER = "user";
            box.SMTPPASS = "secret";
        }
        if (c.permanent) Accept(c.script.Expect("RSET").Send("250 reset"), kCarl);
        if (c.inStep) Quit(c.script);
        ScriptServer server(c.script);
        Run(server);
        box = plain;
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(server.Received().ends_with("QUIT\r\n"), c.inStep);
        Lines expected{"SMTP: 127.0.0.1:" + server.PortText()};
        if (!c.error.starts_with("Connect"))
            expected.push_back(ToSend(2, c.file.size() + FileOf(kCarl).size()));
        if (c.permanent) {
            EXPECT_EQ(Spool(), Lines{"m0001.out"});
            expected.push_back("Error (sendmail): " + c.error);
            expected.push_back(c.left == c.file
                                   ? "Mail file " + SpoolDir() + "m0001.out kept for the next run"
                                   : "Mail file " + SpoolDir() +
                                         "m0001.out: the server accepted 1 of its 2 messages; the "
                                         "file keeps the 1 not accepted for the next run");
            expected.push_back("1 mails sent");
        } else {
            EXPECT_EQ(Spool(), (Lines{"m0001.out", "m0002.out"}));
            EXPECT_EQ(server.Received().find("\r\n.\r\n"), std::string::npos);
            expected.push_back("0 mails sent");
            expected.push_back("Error (sendmail): " + c.error);
        }
        EXPECT_EQ(tree.Read("spool/m0001.out"), c.left);
        EXPECT_EQ(RunLog(), expected);
    }
}

// A file that cannot be sent as it is goes nowhere: nothing of it reaches
// the server, its error names it and what is wrong, it stays queued, and
// the files around it are sent over the same connection, in step also when
// the commands are pipelined.
TEST_F(SendMailTest, FileThatCannotBeSentIsKeptAndTheQueueGoesOn) {
    const std::string head = "HELO client.example\r\nMAIL FROM:<eva@client.example>\r\n";
    struct {
        std::string file, error;
    } bad[] = {
        {head + "RCPT TO:<fred@mx.example>\r\nQUIT\r\n", "the message of line 2 has no DATA line"},
        {head + "RCPT TO:<fred@mx.example>\r\nDATA\r\nSubject: cut\r\n\r\nhalf",
         "the message text after line 4 (DATA) has no final \".\" line"},
        {head + "DATA\r\nSubject: no one\r\n.\r\nQUIT\r\n",
         "the message of line 2 has no RCPT TO: line"},
        {head + "RCPT TO <fred@mx.example>\r\nDATA\r\nSubject: lost\r\n.\r\nQUIT\r\n",
         "line 3 cannot be read as a command (MAIL FROM: or RCPT TO: expected)"},
    };
    for (bool pipelining : {false, true})
        for (const auto& b : bad) {
            SCOPED_TRACE(b.error + (pipelining ? " (pipelining)" : ""));
            tree.Write("qv-ppp.log", "");
            Queue("m0001.out", FileOf(kAnna));
            Queue("m0002.out", b.file);
            Queue("m0003.out", FileOf(kCarl));
            Script s = Helo(pipelining);
            ScriptServer server(Quit(Accept(Accept(s, kAnna), kCarl)));
            Run(server);
            EXPECT_TRUE(server.Passed()) << server.Report();
            EXPECT_EQ(server.Received(), WireOf(kAnna, true) + WireOf(kCarl, false) + "QUIT\r\n");
            EXPECT_EQ(Spool(), Lines{"m0002.out"});
            EXPECT_EQ(tree.Read("spool/m0002.out"), b.file);
            EXPECT_EQ(RunLog(),
                      (Lines{"SMTP: 127.0.0.1:" + server.PortText(),
                             ToSend(3, FileOf(kAnna).size() + b.file.size() + FileOf(kCarl).size()),
                             "Error (sendmail): Mail file " + SpoolDir() + "m0002.out: " + b.error +
                                 "; kept for the next run",
                             "2 mails sent"}));
        }
}

// A server that refuses and closes (421, RFC 5321 section 3.8) is reported
// with its own reply, wherever it comes: in place of the greeting or of
// EHLO, of a reply inside a pipelined group, or of the verdict on a message,
// read at once or behind the next message's commands. No QUIT follows a
// 421, and every file stays.
TEST_F(SendMailTest, ServerThatClosesIsReportedInItsOwnWords) {
    Script rcpt = Helo(true).Expect("MAIL FROM: <anna@client.example>").Send("250 ok");
    rcpt.Expect("RCPT TO: <bert@mx.example>").Send("421 too many errors").Close();
    Script verdict = Helo(), verdictLater = Helo(true);
    Accept(verdict, kAnna, "421 mx shutting down").Close();
    Accept(verdictLater, kAnna, "421 mx shutting down").Close();
    struct {
        Script script;
        std::string error;
    } cases[] = {
        // Not even a server that stays after its 421 hears QUIT.
        {Script().Send("421 mx busy, come back later"),
         "Connect. (Error=421 mx busy, come back later)"},
        {Script().Send("220 mx").Expect("EHLO client.example").Send("421 mx closing").Close(),
         "Ehlo. (Error=421 mx closing)"},
        {rcpt, "Rcpt. (Error=421 too many errors)"},
        {verdict, "Data: After transfer. (Error=421 mx shutting down)"},
        {verdictLater, "Data: After transfer. (Error=421 mx shutting down)"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.error);
        tree.Write("qv-ppp.log", "");
        Queue("m0001.out", FileOf(kAnna));
        Queue("m0002.out", FileOf(kCarl));
        ScriptServer server(c.script);
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(server.Received().find("QUIT"), std::string::npos);
        EXPECT_EQ(Spool(), (Lines{"m0001.out", "m0002.out"}));
        const Lines log = RunLog();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "Error (sendmail): " + c.error);
    }
}

// Every server of the list gets its turn: one that cannot be reached is the
// job's error, and the next one still takes its spool. The user's abort
// ends the whole job.
TEST_F(SendMailTest, EveryServerOfTheListIsTried) {
    tree.MakeDir("spool2");
    box.SMTPSERVER = "127.0.0.1 127.0.0.1";
    box.SMTPSPOOL = SpoolDir() + " " + tree.Path() + "spool2/";
    Queue("m0001.out", FileOf(kAnna));
    tree.Write("spool2/m0001.out", FileOf(kCarl));
    Script s = Helo();
    ScriptServer second(Quit(Accept(s, kCarl)));
    // Chosen while the server listens, so that it cannot be the server's.
    const std::string closed = std::to_string(FreeLoopbackPort());
    box.SMTPPORT = closed + " " + second.PortText();
    SendMail(box);
    EXPECT_TRUE(second.Passed()) << second.Report();
    EXPECT_EQ(Spool(), Lines{"m0001.out"});
    EXPECT_TRUE(DirNames(tree.Path() + "spool2").empty());
    EXPECT_EQ(RunLog(), (Lines{"SMTP: 127.0.0.1:" + closed, "0 mails sent",
                               "Error (sendmail): " + Refused("127.0.0.1:" + closed),
                               "SMTP: 127.0.0.1:" + second.PortText(),
                               ToSend(1, FileOf(kCarl).size()), "1 mails sent"}));

    // ESC at the first abort check, right after the greeting: QUIT, and no
    // word to the next server.
    tree.Write("qv-ppp.log", "");
    tree.Write("spool2/m0001.out", FileOf(kCarl));
    ScriptServer first(Quit(Script().Send("220 mx")));
    box.SMTPPORT = first.PortText() + " " + closed;
    {
        testing::EscAtCheck esc(1);
        SendMail(box);
    }
    EXPECT_TRUE(first.Passed()) << first.Report();
    EXPECT_EQ(RunLog(), (Lines{"SMTP: 127.0.0.1:" + first.PortText(), "0 mails sent",
                               "aborted by user ..."}));
    EXPECT_EQ(DirNames(tree.Path() + "spool2"), Lines{"m0001.out"});
}

// ---------------------------------------------------------------- several POP3 servers

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The run log's lines of the jobs, without their stamps: those that say
// which server, what there is, what went and what failed.
Lines JobLines(const std::string& log) {
    Lines lines;
    for (std::size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = log.substr(at, end - at);
        const std::string rest = line.substr(line.find(' ', line.find(' ') + 1) + 1);
        if (rest.starts_with("POP3: ") || rest.starts_with("SMTP: ") ||
            rest.find(" mails, ") != std::string::npos ||
            rest.find(" mails to send, ") != std::string::npos || rest.ends_with(" mails sent") ||
            rest.starts_with("Error (") || rest.starts_with("aborted"))
            lines.push_back(rest);
    }
    return lines;
}

// Stops the run (SIGTERM, as ESC); the answer then comes once the stop has
// been heard.
std::function<void()> Stop(std::atomic<pid_t>& pid) {
    return [&pid] {
        ::kill(pid.load(), SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
}

// One account of a box's list on a scripted server of its own address: slow
// to greet and to log in, then its messages (keep mode), its commands
// answered in whatever order they come.
struct Account {
    std::string tag; // of its messages' subjects and identifiers
    int messages = 0;
    bool refuseLogin = false;
    // Set once its PASS is answered: the login has been through.
    std::atomic<bool> passed{false};
    std::atomic<bool> quit{false};
    // The first RETR waits for this (the next server's login) and notes
    // whether it came while the transfer was on.
    std::atomic<bool>* gate = nullptr;
    bool overlapped = false;
    // Said with the first RETR (a signal to the run).
    std::function<void()> atRetr;
    // Hangs up after its STAT answer, once `atStat` has run.
    bool hangUp = false;
    std::function<void()> atStat;

    std::string Text(int n) const { return "Subject: " + tag + std::to_string(n) + "\n\ntext\n"; }
    std::string Uid(int n) const { return tag + std::to_string(n); }
};

Script::Answerer Answers(Account& a) {
    return [&a](const std::string& line, std::string& reply) {
        auto number = [&] { return std::stoi(line.substr(5)); };
        reply = "-ERR unknown\r\n";
        if (line == "CAPA") {
            reply = "-ERR no CAPA\r\n";
        } else if (line == "USER joe") {
            reply = "+OK\r\n";
        } else if (line.starts_with("PASS ")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            reply = a.refuseLogin ? "-ERR [AUTH] wrong password\r\n" : "+OK\r\n";
            a.passed = true;
        } else if (line == "STAT") {
            reply = "+OK " + std::to_string(a.messages) + " 100\r\n";
            if (a.atStat) a.atStat();
            if (a.hangUp) return false;
        } else if (line == "UIDL") {
            reply = "+OK\r\n";
            for (int n = 1; n <= a.messages; ++n)
                reply += std::to_string(n) + " " + a.Uid(n) + "\r\n";
            reply += ".\r\n";
        } else if (line.starts_with("LIST ")) {
            reply = "+OK " + std::to_string(number()) + " 20\r\n";
        } else if (line.starts_with("RETR ")) {
            if (number() == 1 && a.gate) {
                for (int i = 0; i < 8000 && !*a.gate; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                a.overlapped = *a.gate;
            }
            if (number() == 1 && a.atRetr) a.atRetr();
            reply = "+OK\r\n";
            std::string text = a.Text(number());
            for (std::size_t at = 0, lf; (lf = text.find('\n', at)) != std::string::npos;
                 at = lf + 1)
                reply += text.substr(at, lf - at) + "\r\n";
            reply += ".\r\n";
        } else if (line == "QUIT") {
            a.quit = true;
            reply = "+OK bye\r\n";
            return false;
        }
        return true;
    };
}

// Greeting and login come slowly, as from a far server.
Script SlowPop3(Account& a, std::atomic<bool>* greetAfter = nullptr) {
    Script s;
    if (greetAfter) s.WaitUntil([greetAfter] { return greetAfter->load(); }, "the first QUIT");
    return s.Pause(150).Send(kGreeting).Answer(Answers(a));
}

// Two accounts on one host and port take their turns one after the other:
// a provider may allow one connection at a time (here the second account's
// server only listens once the first dialogue has said QUIT; the message
// known from the first is not fetched again).
TEST_F(GetMailTest, AccountsOnOneServerTakeTurns) {
    std::unique_ptr<ScriptServer> second;
    int port = 0;
    Script s = Listed(1).Expect("RETR 1").SendData("+OK", {"Subject: one", "", "x"});
    ScriptServer first(s.Expect("QUIT")
                           .Do([&] {
                               second = std::make_unique<ScriptServer>(
                                   Listed(2)
                                       .Expect("RETR 2")
                                       .SendData("+OK", {"Subject: two", "", "y"})
                                       .Expect("QUIT")
                                       .Send("+OK"),
                                   std::chrono::seconds(5), ScriptServer::On::V4, port);
                           })
                           .Send("+OK"));
    port = first.Port();
    box.POP3SERVER = "127.0.0.1 127.0.0.1";
    box.POP3USER = "joe joe";
    box.POP3PORT = first.PortText() + " " + first.PortText();
    GetMail(box, false);
    EXPECT_TRUE(first.Passed()) << first.Report();
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->Passed()) << second->Report();
    EXPECT_EQ(Spool(), (Lines{"m0000.msg", "m0001.msg"}));
    EXPECT_EQ(Spooled("m0001.msg"), "From joe@localhost\nSubject: two\n\ny\n");
}

// Through the program: three accounts on 127.0.0.1, .2 and .3. The second
// server's login is over before the first one's first message goes out (the
// first server waits for it), the third's before the second one's; yet the
// spool names, their texts, the identifier file and the run log are those of
// one server after the other. A failure of the next server's early opening
// (its connection refused, its login refused) is its own error line in its
// turn; one that hangs up while its connection waits is opened anew in its
// turn, to the same result. A stop (SIGTERM, as ESC) during the first
// transfer ends the run with the early connection closed: QUIT when its
// login was through, nothing at all while it still waited for its greeting.
TEST(SeveralPop3Servers, NextLoginOverlapsTheTransferAndNothingShowsOutOfTurn) {
    enum class Second { Fine, HangsUp, Refused, LoginRefused, StopLoggedIn, StopBeforeGreeting };
    struct Row {
        const char* name;
        Second second;
    };
    const Row rows[] = {
        {"all three", Second::Fine},
        {"the second hangs up after its login: opened anew in its turn", Second::HangsUp},
        {"the second refuses the connection", Second::Refused},
        {"the second refuses the login", Second::LoginRefused},
        {"stopped, the second logged in", Second::StopLoggedIn},
        {"stopped, the second not greeting yet", Second::StopBeforeGreeting},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool stop =
            row.second == Second::StopLoggedIn || row.second == Second::StopBeforeGreeting;
        Account a, b, c, again;
        a.tag = "a", a.messages = 2;
        b.tag = "b", b.messages = 1, b.refuseLogin = row.second == Second::LoginRefused;
        c.tag = "c", c.messages = 2;
        again.tag = "b", again.messages = 1;
        std::unique_ptr<ScriptServer> anew;
        std::atomic<pid_t> pid{0};
        if (row.second != Second::Refused && row.second != Second::StopBeforeGreeting)
            a.gate = &b.passed;
        if (row.second == Second::Fine) b.gate = &c.passed;
        if (stop) a.atRetr = Stop(pid);
        ScriptServer first(SlowPop3(a), std::chrono::seconds(10));
        std::unique_ptr<ScriptServer> second;
        if (row.second != Second::Refused)
            second = std::make_unique<ScriptServer>(
                SlowPop3(b, row.second == Second::StopBeforeGreeting ? &a.quit : nullptr),
                std::chrono::seconds(10), ScriptServer::On::V4Second);
        // The same server listens again for the connection of its turn.
        if (row.second == Second::HangsUp) {
            b.hangUp = true;
            b.atStat = [&, port = second->Port()] {
                anew = std::make_unique<ScriptServer>(SlowPop3(again), std::chrono::seconds(10),
                                                      ScriptServer::On::V4Second, port);
            };
        }
        ScriptServer third(SlowPop3(c), std::chrono::seconds(stop ? 1 : 10),
                           ScriptServer::On::V4Third);
        const std::string secondPort =
            second ? second->PortText() : std::to_string(FreeLoopbackPort());
        TempTree t;
        t.MakeDir("spool");
        t.Write("qvdesk.cfg", "");
        t.Write("BOX1.bfg",
                "POP3SERVER=127.0.0.1 127.0.0.2 127.0.0.3\nPOP3PORT=" + first.PortText() + " " +
                    secondPort + " " + third.PortText() +
                    "\nPOP3USER=joe\nPOP3PASS=secret\nPOP3SPOOL=" + t.Path() + "spool/\n");
        // With the transcript of each dialogue in the box log.
        pid = Spawn(BRIX_BINARY, {"box1.bfg", "-debug1"}, {"QV=" + t.Path()}, "", -1);
        const int exitCode = WaitExit(pid);
        const std::string log = t.Read("qv-ppp.log");
        const Lines lines = JobLines(log);
        const std::string where1 = "127.0.0.1:" + first.PortText(),
                          where2 = "127.0.0.2:" + secondPort,
                          where3 = "127.0.0.3:" + third.PortText();
        auto id = [](const Account& x, int n, const std::string& where) {
            return "<" + x.Uid(n) + "@joe." + where + ">";
        };
        Lines spool, texts, expected = {"POP3: " + where1, "2 mails, 100 bytes"};
        std::string uids;
        if (!stop) {
            for (int n = 1; n <= 2; ++n)
                texts.push_back(a.Text(n)), uids += id(a, n, where1);
        }
        expected.push_back(stop ? "aborted by user ..." : "POP3: " + where2);
        const bool fetched = row.second == Second::Fine || row.second == Second::HangsUp;
        if (fetched) {
            expected.push_back("1 mails, 100 bytes");
            texts.push_back(b.Text(1)), uids += id(b, 1, where2);
        } else if (row.second == Second::Refused) {
            expected.push_back("Error (getmail): " + Refused(where2));
        } else if (row.second == Second::LoginRefused) {
            expected.push_back("Error (getmail): Pass. (Error=-ERR [AUTH] wrong password)");
        }
        if (!stop) {
            expected.insert(expected.end(), {"POP3: " + where3, "2 mails, 100 bytes"});
            for (int n = 1; n <= 2; ++n)
                texts.push_back(c.Text(n)), uids += id(c, n, where3);
        }
        for (std::size_t i = 0; i < texts.size(); ++i)
            spool.push_back("m000" + std::to_string(i) + ".msg");
        EXPECT_EQ(exitCode, stop ? 106 : fetched ? 0 : 105) << log;
        EXPECT_EQ(lines, expected) << log;
        EXPECT_EQ(DirNames(t.Path() + "spool"), spool);
        for (std::size_t i = 0; i < spool.size() && i < texts.size(); ++i)
            EXPECT_EQ(t.Read("spool/" + spool[i]), "From joe@localhost\n" + texts[i]) << i;
        EXPECT_EQ(t.Read("e-mail.uid"), uids);
        // Each server's transcript under its own heading, written in its
        // turn: the first one's dialogue to its QUIT, then the second's
        // heading, then its login (refused or not).
        if (fetched || row.second == Second::LoginRefused) {
            const std::string box = t.Read("BOX1.log");
            const std::size_t heading = box.find("getmail " + where2);
            ASSERT_NE(heading, std::string::npos) << box;
            const std::string before = box.substr(0, heading), after = box.substr(heading);
            EXPECT_EQ(Count(before, "<USER joe"), 1u) << box;
            EXPECT_EQ(Count(before, "<QUIT"), 1u) << box;
            EXPECT_LT(after.find("<USER joe"), after.find("getmail " + where3)) << box;
        }
        // The logins overlapped the transfers before them.
        EXPECT_EQ(a.overlapped, a.gate != nullptr);
        EXPECT_EQ(b.overlapped, b.gate != nullptr);
        EXPECT_TRUE(first.Passed()) << first.Report();
        if (second) {
            EXPECT_TRUE(second->Passed()) << second->Report();
            const std::string got = second->Received();
            if (row.second == Second::StopLoggedIn) {
                EXPECT_TRUE(got.ends_with("PASS secret\r\nSTAT\r\nQUIT\r\n")) << got;
            }
            if (row.second == Second::StopBeforeGreeting) {
                EXPECT_EQ(got, "");
            }
        }
        if (row.second == Second::HangsUp) {
            ASSERT_TRUE(anew);
            EXPECT_TRUE(anew->Passed()) << anew->Report();
        }
        // Never reached after a stop.
        if (!stop) {
            EXPECT_TRUE(third.Passed()) << third.Report();
        } else {
            EXPECT_EQ(third.Received(), "");
        }
    }
}

// Through the program: two outgoing servers on 127.0.0.1 and .2, each with a
// spool of its own. The second one is connected to beside the first one's
// opening (the first greets only once the second has its connection), and
// still the run log, the spools and the exit code are those of one after
// the other. The second refusing its connection is its error in its turn; a
// stop (SIGTERM) during the first one's message says QUIT to the second.
TEST(SeveralSmtpServers, NextConnectionOverlapsAndNothingShowsOutOfTurn) {
    enum class Second { Fine, Refused, Stop };
    const struct {
        const char* name;
        Second second;
    } rows[] = {{"both", Second::Fine},
                {"the second refuses the connection", Second::Refused},
                {"stopped during the first message", Second::Stop}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::atomic<bool> connected{false};
        std::atomic<pid_t> pid{0};
        Script s = Script().WaitUntil([&] { return connected.load(); }, "the second connection");
        s.Send("220 mx").Expect("EHLO client.example").Send("250 hello");
        s.Expect("MAIL FROM: <" + kAnna.from + ">");
        if (row.second == Second::Stop) {
            s.Do(Stop(pid)).Send("250 sender ok").Expect("QUIT").Send("221 bye");
        } else {
            s.Send("250 sender ok").Expect("RCPT TO: <" + kAnna.to + ">").Send("250 ok");
            Quit(s.Expect("DATA").Send("354 go ahead").ExpectBody().Send("250 queued"));
        }
        ScriptServer first(s, std::chrono::seconds(10));
        std::unique_ptr<ScriptServer> second;
        if (row.second != Second::Refused) {
            Script t = Script().Do([&] { connected = true; }).Pause(100).Send("220 mx2");
            if (row.second == Second::Fine) {
                t.Expect("EHLO client.example").Send("250 hello");
                Accept(t, kCarl);
            }
            second = std::make_unique<ScriptServer>(Quit(t), std::chrono::seconds(10),
                                                    ScriptServer::On::V4Second);
        } else {
            connected = true;
        }
        const std::string port2 = second ? second->PortText() : std::to_string(FreeLoopbackPort());
        TempTree tree;
        for (const char* dir : {"spool", "out1", "out2"})
            tree.MakeDir(dir);
        tree.Write("qvdesk.cfg", "");
        tree.Write("out1/m0001.out", FileOf(kAnna));
        tree.Write("out2/m0001.out", FileOf(kCarl));
        tree.Write("BOX1.bfg", "SMTPSERVER=127.0.0.1 127.0.0.2\nSMTPPORT=" + first.PortText() +
                                   " " + port2 + "\nSMTPSPOOL=" + tree.Path() + "out1/ " +
                                   tree.Path() + "out2/\n");
        pid = Spawn(BRIX_BINARY, {"box1.bfg"}, {"QV=" + tree.Path()}, "", -1);
        const int exitCode = WaitExit(pid);
        const std::string log = tree.Read("qv-ppp.log");
        const std::string where1 = "127.0.0.1:" + first.PortText(), where2 = "127.0.0.2:" + port2;
        Lines expected = {"SMTP: " + where1, ToSend(1, FileOf(kAnna).size())};
        if (row.second == Second::Stop)
            expected.insert(expected.end(), {"0 mails sent", "aborted by user ..."});
        else
            expected.insert(expected.end(), {"1 mails sent", "SMTP: " + where2});
        if (row.second == Second::Fine)
            expected.insert(expected.end(), {ToSend(1, FileOf(kCarl).size()), "1 mails sent"});
        if (row.second == Second::Refused)
            expected.insert(expected.end(),
                            {"0 mails sent", "Error (sendmail): " + Refused(where2)});
        EXPECT_EQ(JobLines(log), expected) << log;
        EXPECT_EQ(exitCode, row.second == Second::Fine   ? 0
                            : row.second == Second::Stop ? 106
                                                         : 105)
            << log;
        EXPECT_EQ(DirNames(tree.Path() + "out1").size(), row.second == Second::Stop ? 1u : 0u);
        EXPECT_EQ(DirNames(tree.Path() + "out2").size(), row.second == Second::Fine ? 0u : 1u);
        EXPECT_TRUE(first.Passed()) << first.Report();
        if (second) {
            EXPECT_TRUE(second->Passed()) << second->Report();
        }
    }
}

} // namespace
} // namespace brix
