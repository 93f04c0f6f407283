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
#include "testing/script_server.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
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
        {"HELO h\r\nQUIT\r\n", "no message in it (no MAIL FROM: line)"},
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

// ----------------------------------------------------------------------
// The mail send job against scripted SMTP servers: the wire order byte for
// byte, the X-Mailer rewrite, every refusal, unfinished files.

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

Script Helo() {
    return Script().Send("220 mx").Expect("EHLO client.example").Send("250 hello");
}

const Mail kAnna{"anna@client.example", "bert@mx.example", "first"};
const Mail kCarl{"carl@client.example", "dora@mx.example", "second"};

std::string ToSend(int files, std::size_t bytes) {
    return std::to_string(files) + " mails to send, " + std::to_string(bytes) + " bytes";
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
    // "." is waited for beyond SMTPTIMEOUT, as servers scan first.
    box.SMTPTIMEOUT = "1";
    const Mail eva{"eva@client.example", "fred@mx.example", "third"};
    Queue("m0002.out", FileOf(kCarl));
    Queue("M0000.OUT", FileOf(kAnna));
    Queue("m0003.out", FileOf(kAnna) + FileOf(eva));
    Queue("m0001.msg", "not outgoing");
    tree.MakeDir("spool/m0001.out");
    Script s = Helo();
    Accept(Accept(Accept(Accept(s, kAnna), kCarl, "250 scanned", 1500), kAnna), eva);
    ScriptServer server(s);
    Run(server);

    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), WireOf(kAnna, true) + WireOf(kCarl, false) + WireOf(kAnna, false) +
                                     WireOf(eva, false));
    EXPECT_EQ(Spool(), (Lines{"m0001.msg", "m0001.out"}));
    std::size_t total = 2 * FileOf(kAnna).size() + FileOf(kCarl).size() + FileOf(eva).size();
    EXPECT_EQ(RunLog(),
              (Lines{"SMTP: 127.0.0.1:" + server.PortText(), ToSend(3, total), "3 mails sent"}));
}

// A refusal of the session (greeting, login, a temporary one, a reply out of
// step) ends the job: the error names the command and carries the server's
// line, no "." went out, and the files stay for the next run. A permanent
// refusal of one message (5yz to MAIL, DATA or its "." - the last line of a
// multi-line reply decides) keeps that file, and the queue goes on after RSET.
// A file that ends before the "." of a message ends the job likewise: the
// server could only take a cut message.
TEST_F(SendMailTest, RefusalsEndTheJobOrKeepOneFile) {
    const std::string cutFile = "HELO client.example\r\nMAIL FROM:<anna@client.example>\r\n"
                                "RCPT TO:<bert@mx.example>\r\nDATA\r\nSubject: cut\r\n\r\nhalf";
    const std::string cut = "Mail file " + SpoolDir() +
                            "m0001.out ends before the \".\" of its message; kept for the "
                            "next run";
    auto ehlo = [] {
        return Script()
            .Send("220 mx")
            .Expect("EHLO client.example")
            .SendLines({"250-mx", "250 AUTH PLAIN LOGIN"});
    };
    Script login = ehlo().Expect("AUTH LOGIN").Send("334 VXNlcm5hbWU6");
    login.Expect(Base64Encode("user")).Send("334 UGFzc3dvcmQ6").Expect(Base64Encode("secret"));
    auto mail = [] { return Helo().Expect("MAIL FROM: <anna@client.example>"); };
    auto data = [=] {
        return mail()
            .Send("250 ok")
            .Expect("RCPT TO: <bert@mx.example>")
            .Send("250 ok")
            .Expect("DATA");
    };
    Script dot = Helo(), second = Helo();
    Accept(dot, kAnna, "250-accepted").Send("554 rejected after all");
    Accept(Accept(second, kAnna), kCarl, "552 message too big");
    struct {
        const char* auth; // SMTPAUTH; nullptr: no user and password
        Script script;
        std::string error;
        bool permanent = false;
        std::string file = FileOf(kAnna); // m0001.out, before m0002.out from Carl
    } cases[] = {
        {nullptr, Script().Send("554 go away"), "Connect. (Error=554 go away)"},
        {"LOGIN", login.Send("535 bad credentials"), "Auth-Login. (Error=535 bad credentials)"},
        {"", ehlo(), "Auth-Login-Method not understand. (Error= not supportet)"},
        {nullptr, mail().Send("451 auth first"), "Smtp-Auth required. (Error=451 auth first)"},
        {nullptr, mail().Send("250 ok").Expect("RCPT TO: <bert@mx.example>").Send("450 busy"),
         "Rcpt. (Error=450 busy)"},
        // The text sent before the early reply was read goes unanswered.
        {nullptr, data().SendLines({"354 go", "250 OK"}).Answer([](auto&, auto&) { return true; }),
         "Data: Reply before end of message. (Error=250 OK)"},
        {nullptr, mail().Send("550 not you"), "Mail. (Error=550 not you)", true},
        {nullptr, data().Send("554 no valid recipients"), "Data. (Error=554 no valid recipients)",
         true},
        {nullptr, dot, "Data: After transfer. (Error=554 rejected after all)", true},
        // The file stays also when its first message was accepted (which
        // then may arrive a second time).
        {nullptr, second, "Data: After transfer. (Error=552 message too big)", true,
         FileOf(kAnna) + FileOf(kCarl)},
        {nullptr, Script().Send("220 mx"), cut, false, ""},
        {nullptr, data().Send("354 go"), cut, false, cutFile},
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
        ScriptServer server(c.script);
        Run(server);
        box = plain;
        EXPECT_TRUE(server.Passed()) << server.Report();
        Lines expected{"SMTP: 127.0.0.1:" + server.PortText()};
        if (!c.error.starts_with("Connect"))
            expected.push_back(ToSend(2, c.file.size() + FileOf(kCarl).size()));
        if (c.permanent) {
            EXPECT_EQ(Spool(), Lines{"m0001.out"});
            expected.push_back("Error (sendmail): " + c.error);
            expected.push_back("Mail file " + SpoolDir() + "m0001.out kept for the next run");
            expected.push_back("1 mails sent");
        } else {
            EXPECT_EQ(Spool(), (Lines{"m0001.out", "m0002.out"}));
            EXPECT_EQ(server.Received().find("\r\n.\r\n"), std::string::npos);
            expected.push_back("0 mails sent");
            expected.push_back("Error (sendmail): " + c.error);
        }
        EXPECT_EQ(RunLog(), expected);
    }
}

} // namespace
} // namespace brix
