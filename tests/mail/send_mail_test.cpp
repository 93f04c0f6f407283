// The mail send job against scripted SMTP servers: the wire order byte for
// byte, EHLO with AUTH LOGIN, the envelope override, the X-Mailer rewrite,
// every refusal, unfinished files, dropped connections, the user abort, the
// run and debug logs and the status block.

#include "clients/base64.h"
#include "display/status_screen.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "mail/send_mail.h"
#include "platform/fakes.h"
#include "testing/exim_server.h"
#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace brix {
namespace {

using testing::Script;
using testing::ScriptServer;

// One outgoing message as the host reader writes it.
struct Mail {
    std::string from, to, subject;
    std::string helo = "client.example";
};

// The message text between DATA and "." as it goes over the wire.
std::string Text(const Mail& m) {
    return "From: " + m.from + "\r\nSubject: " + m.subject + "\r\n\r\nText of " + m.subject +
           "\r\n..a stuffed dot line\r\n";
}

std::string FileOf(const Mail& m) {
    return "HELO " + m.helo + "\r\nMAIL FROM:<" + m.from + ">\r\nRCPT TO:<" + m.to +
           ">\r\nDATA\r\n" + Text(m) + ".\r\nQUIT\r\n";
}

std::string WireOf(const Mail& m, bool withHelo) {
    return (withHelo ? "HELO " + m.helo + "\r\n" : std::string()) + "MAIL FROM: <" + m.from +
           ">\r\nRCPT TO: <" + m.to + ">\r\nDATA\r\n" + Text(m) + ".\r\n";
}

// The server's side of one accepted transaction.
void Accept(Script& s, const Mail& m, const std::string& finalReply = "250 queued") {
    s.Expect("MAIL FROM: <" + m.from + ">")
        .Send("250 sender ok")
        .Expect("RCPT TO: <" + m.to + ">")
        .Send("250 recipient ok")
        .Expect("DATA")
        .Send("354 go ahead")
        .ExpectBody()
        .Send(finalReply);
}

const Mail kAnna{"anna@client.example", "bert@mx.example", "first"};
const Mail kCarl{"carl@client.example", "dora@mx.example", "second"};

const std::string kStamp = "03.02.2001 09:05:00 ";

// ESC on the n-th abort check of the job, no key before or after.
class EscOnCheck final : public Keyboard {
  public:
    explicit EscOnCheck(int n) : n_(n) { SetKeyboard(this); }
    ~EscOnCheck() override { SetKeyboard(nullptr); }
    bool KeyPressed() override {
        if (!pending_ && !fired_ && ++checks_ == n_) pending_ = true;
        return pending_;
    }
    int ReadKey() override {
        pending_ = false;
        fired_ = true;
        return kEscKey;
    }

  private:
    int n_, checks_ = 0;
    bool pending_ = false, fired_ = false;
};

class SendMailTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = Settings();
        Settings() = RunSettings{};
        Settings().LogDir = tree.Path();
        Settings().QvPath = tree.Path();
        Settings().CurrentBox = "BOX1";
        Settings().VerboseMode = true;
        tree.MakeDir("spool");
        box.SMTPSERVER = "127.0.0.1";
        box.SMTPSPOOL = Spool();
        box.SMTPTIMEOUT = "3";
    }
    void TearDown() override {
        CloseStatusScreen();
        SetLogScreenShown(false);
        Settings() = saved_;
    }

    std::string Spool() const { return tree.Path() + "spool/"; }
    void Queue(const std::string& name, const std::string& bytes) {
        tree.Write("spool/" + name, bytes);
    }
    bool Queued(const std::string& name) const { return tree.Exists("spool/" + name); }
    void Run(ScriptServer& server) {
        box.SMTPPORT = server.PortText();
        SendMail(box);
    }
    std::string Port(ScriptServer& server) const { return server.PortText(); }

    // The run log's lines without their time stamps (each is checked).
    std::vector<std::string> RunLog() const {
        std::vector<std::string> lines;
        std::string text = tree.Read("qv-ppp.log");
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find("\r\n", start);
            if (end == std::string::npos) {
                ADD_FAILURE() << "run log line without CR LF";
                break;
            }
            std::string line = text.substr(start, end - start);
            EXPECT_EQ(line.substr(0, kStamp.size()), kStamp);
            lines.push_back(line.substr(kStamp.size()));
            start = end + 2;
        }
        return lines;
    }

    testing::TempTree tree;
    testing::MemoryScreen screen;
    testing::FixedClock clock;
    tbrixconfig box;
    RunSettings saved_;
};

using Lines = std::vector<std::string>;

TEST_F(SendMailTest, OneFileGoesOutInWireOrderAndIsDeleted) {
    const std::string file = "HELO client.example\r\n"
                             "MAIL FROM:<anna@client.example>\r\n"
                             "RCPT TO:<bert@mx.example>\r\n"
                             "DATA\r\n"
                             "From: anna@client.example\r\n"
                             "X-Mailer: QV 3.1\r\n"
                             "\r\n"
                             "X-Mailer: this is body text\r\n"
                             "..leading dot stays stuffed\r\n"
                             ".\r\n"
                             "QUIT\r\n";
    Queue("m0001.out", file);
    Script s;
    s.Send("220 mx.example ESMTP").Expect("HELO client.example").Send("250 hello");
    Accept(s, kAnna);
    ScriptServer server(s);
    Run(server);

    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "HELO client.example\r\n"
                                 "MAIL FROM: <anna@client.example>\r\n"
                                 "RCPT TO: <bert@mx.example>\r\n"
                                 "DATA\r\n"
                                 "From: anna@client.example\r\n"
                                 "X-Mailer: QV 3.1, via Brix/W v0.4.2l\r\n"
                                 "\r\n"
                                 "X-Mailer: this is body text\r\n"
                                 "..leading dot stays stuffed\r\n"
                                 ".\r\n");
    EXPECT_FALSE(Queued("m0001.out"));
    EXPECT_EQ(RunLog(), (Lines{"SMTP: 127.0.0.1:" + Port(server),
                               "1 mails to send, " + std::to_string(file.size()) + " bytes",
                               "1 mails sent"}));
}

TEST_F(SendMailTest, TwoFilesShareOneConnectionInNameOrder) {
    // Written in reverse order: the spool is sent in the order of the names.
    Queue("m0002.out", FileOf(kCarl));
    Queue("m0001.out", FileOf(kAnna));
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    Accept(s, kAnna);
    Accept(s, kCarl); // the second file's HELO is passed over
    ScriptServer server(s);
    Run(server);

    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_EQ(server.Received(), WireOf(kAnna, true) + WireOf(kCarl, false));
    EXPECT_FALSE(Queued("m0001.out"));
    EXPECT_FALSE(Queued("m0002.out"));
    std::int64_t total = FileOf(kAnna).size() + FileOf(kCarl).size();
    EXPECT_EQ(RunLog(),
              (Lines{"SMTP: 127.0.0.1:" + Port(server),
                     "2 mails to send, " + std::to_string(total) + " bytes", "2 mails sent"}));
}

TEST_F(SendMailTest, EhloWithAuthLoginWhenConfigured) {
    box.SMTPAUTH = "LOGIN";
    box.SMTPUSER = "user";
    box.SMTPPASS = "secret";
    Queue("m0001.out", FileOf(kAnna));
    Script s;
    s.Send("220 mx")
        .Expect("EHLO client.example")
        .SendLines({"250-mx.example", "250-SIZE 1000000", "250 AUTH PLAIN LOGIN"})
        .Expect("AUTH LOGIN")
        .Send("334 VXNlcm5hbWU6")
        .Expect(Base64Encode("user"))
        .Send("334 UGFzc3dvcmQ6")
        .Expect(Base64Encode("secret"))
        .Send("235 authenticated");
    Accept(s, kAnna);
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_FALSE(Queued("m0001.out"));
}

TEST_F(SendMailTest, AuthWordsArePerServerAndKeineMeansPlainHelo) {
    // Second word for the second server: the first server logs in, the
    // second one gets a plain HELO although it has a user and password.
    box.SMTPSERVER = "127.0.0.1 127.0.0.1";
    box.SMTPAUTH = "AUTO KEINE";
    box.SMTPUSER = "user";
    box.SMTPPASS = "secret";
    tree.MakeDir("spool2");
    box.SMTPSPOOL = Spool() + " " + tree.Path() + "spool2/";
    Queue("m0001.out", FileOf(kAnna));
    tree.Write("spool2/m0001.out", FileOf(kCarl));
    Script first;
    first.Send("220 mx")
        .Expect("EHLO client.example")
        .SendLines({"250-mx", "250 AUTH LOGIN"})
        .Expect("AUTH LOGIN")
        .Send("334 VXNlcm5hbWU6")
        .Expect(Base64Encode("user"))
        .Send("334 UGFzc3dvcmQ6")
        .Expect(Base64Encode("secret"))
        .Send("235 ok");
    Accept(first, kAnna);
    Script second;
    second.Send("220 mx2").Expect("HELO client.example").Send("250 hello");
    Accept(second, kCarl);
    ScriptServer one(first), two(second);
    box.SMTPPORT = one.PortText() + " " + two.PortText();
    SendMail(box);
    EXPECT_TRUE(one.Passed()) << one.Report();
    EXPECT_TRUE(two.Passed()) << two.Report();
    EXPECT_FALSE(Queued("m0001.out"));
    EXPECT_FALSE(tree.Exists("spool2/m0001.out"));
}

TEST_F(SendMailTest, EhloWithoutExtensionLinesNeedsNoAuth) {
    box.SMTPAUTH = "LOGIN";
    box.SMTPUSER = "user";
    box.SMTPPASS = "secret";
    Queue("m0001.out", FileOf(kAnna));
    Script s;
    s.Send("220 mx").Expect("EHLO client.example").Send("250 mx.example");
    Accept(s, kAnna);
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_FALSE(Queued("m0001.out"));
}

TEST_F(SendMailTest, PlainHeloWithoutUserOrPassword) {
    box.SMTPAUTH = "LOGIN";
    box.SMTPUSER = "user"; // no password
    Queue("m0001.out", FileOf(kAnna));
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    Accept(s, kAnna);
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST_F(SendMailTest, EnvelopeReplacesEverySender) {
    box.SMTPENVELOPE = "bounce@client.example";
    Queue("m0001.out", FileOf(kAnna));
    Queue("m0002.out", FileOf(kCarl));
    Mail anna = kAnna, carl = kCarl;
    anna.from = carl.from = "bounce@client.example";
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    // The message text keeps its From: line; only the envelope changes.
    s.Expect("MAIL FROM: <bounce@client.example>").Send("250 ok");
    s.Expect("RCPT TO: <bert@mx.example>").Send("250 ok").Expect("DATA").Send("354 go");
    s.ExpectBody().Send("250 queued");
    s.Expect("MAIL FROM: <bounce@client.example>").Send("250 ok");
    s.Expect("RCPT TO: <dora@mx.example>").Send("250 ok").Expect("DATA").Send("354 go");
    s.ExpectBody().Send("250 queued");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_NE(server.Received().find("From: anna@client.example\r\n"), std::string::npos);
    EXPECT_FALSE(Queued("m0002.out"));
}

TEST_F(SendMailTest, CommandWordsInAnyCaseAndLoneLineEnds) {
    // LF and lone CR line ends, lower-case commands, blanks around the
    // addresses, several recipients, and a last "." without a line end.
    Queue("m0001.out", "helo  client.example \n"
                       "mail from: <anna@client.example> \r"
                       "rcpt to:bert@mx.example\n"
                       "Rcpt To: <dora@mx.example>\r\n"
                       "data\n"
                       "Subject: x\n"
                       "\n"
                       "body\n"
                       ".");
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    s.Expect("MAIL FROM: <anna@client.example>").Send("250 ok");
    s.Expect("RCPT TO: <bert@mx.example>").Send("250 ok");
    s.Expect("RCPT TO: <dora@mx.example>").Send("251 will forward");
    s.Expect("DATA").Send("354 go").ExpectBody().Send("250 queued");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_NE(server.Received().find("DATA\r\nSubject: x\r\n\r\nbody\r\n.\r\n"), std::string::npos);
    EXPECT_FALSE(Queued("m0001.out"));
}

TEST_F(SendMailTest, LongLinesAreSentWhole) {
    std::string longLine(5000, 'x');
    Queue("m0001.out", "HELO h\r\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\nX-Mailer: " +
                           longLine + "\r\n\r\n" + longLine + "\r\n.\r\n");
    Script s;
    s.Send("220 mx").Expect("HELO h").Send("250 hello");
    Accept(s, Mail{"a@b", "c@d", ""});
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_NE(server.Received().find("DATA\r\nX-Mailer: " + longLine +
                                     ", via Brix/W v0.4.2l\r\n\r\n" + longLine + "\r\n.\r\n"),
              std::string::npos);
}

TEST_F(SendMailTest, SecondMessageInOneFileGetsItsOwnTransaction) {
    Queue("m0001.out", FileOf(kAnna) + FileOf(kCarl));
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    Accept(s, kAnna);
    Accept(s, kCarl);
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_FALSE(Queued("m0001.out"));
}

TEST_F(SendMailTest, EmptySpoolStillConnectsAndCountsZero) {
    ScriptServer server(Script().Send("220 mx"));
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_EQ(server.Received(), "");
    EXPECT_EQ(RunLog(), (Lines{"SMTP: 127.0.0.1:" + Port(server), "0 mails to send, 0 bytes",
                               "0 mails sent"}));
}

TEST_F(SendMailTest, OnlyOutgoingFilesAreSent) {
    // Names are matched without regard to case; other names are left alone.
    Queue("M0001.OUT", FileOf(kAnna));
    Queue("m0002.msg", "not outgoing");
    Queue("n0003.out", "news");
    tree.MakeDir("spool/m0004.out"); // a directory is not a file
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    Accept(s, kAnna);
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_FALSE(Queued("M0001.OUT"));
    EXPECT_TRUE(Queued("m0002.msg"));
    EXPECT_TRUE(Queued("n0003.out"));
}

TEST_F(SendMailTest, TwoServersEachWithItsOwnSpool) {
    box.SMTPSERVER = "127.0.0.1 127.0.0.1";
    tree.MakeDir("spool2");
    box.SMTPSPOOL = Spool() + " " + tree.Path() + "spool2/";
    Queue("m0001.out", FileOf(kAnna));
    Script first;
    first.Send("220 one").Expect("HELO client.example").Send("250 hello");
    Accept(first, kAnna);
    ScriptServer one(first), two(Script().Send("220 two"));
    box.SMTPPORT = one.PortText() + " " + two.PortText();
    SendMail(box);
    EXPECT_TRUE(one.Passed()) << one.Report();
    EXPECT_TRUE(two.Passed()) << two.Report();
    EXPECT_EQ(two.Connections(), 1u);
    EXPECT_FALSE(Queued("m0001.out"));
    EXPECT_EQ(RunLog(),
              (Lines{"SMTP: 127.0.0.1:" + one.PortText(),
                     "1 mails to send, " + std::to_string(FileOf(kAnna).size()) + " bytes",
                     "1 mails sent", "SMTP: 127.0.0.1:" + two.PortText(),
                     "0 mails to send, 0 bytes", "0 mails sent"}));
}

TEST_F(SendMailTest, ErrorAtTheFirstServerSkipsTheOthers) {
    box.SMTPSERVER = "127.0.0.1 127.0.0.1";
    // Never contacted: a short deadline ends its wait for a client.
    ScriptServer one(Script().Send("421 busy")),
        two(Script().Send("220 two"), std::chrono::milliseconds(300));
    box.SMTPPORT = one.PortText() + " " + two.PortText();
    SendMail(box);
    EXPECT_EQ(two.Connections(), 0u);
    EXPECT_EQ(RunLog(), (Lines{"SMTP: 127.0.0.1:" + one.PortText(), "0 mails sent",
                               "Error (sendmail): Connect. (Error=421 busy)"}));
}

// Every command the job sends, refused: the error names the command and
// carries the server's line, and the file stays for the next run.
struct Refusal {
    const char* what;
    std::function<void(tbrixconfig&)> configure;
    std::function<Script()> script;
    std::string error;
};

std::vector<Refusal> Refusals() {
    auto auth = [](tbrixconfig& b) {
        b.SMTPAUTH = "LOGIN";
        b.SMTPUSER = "user";
        b.SMTPPASS = "secret";
    };
    auto none = [](tbrixconfig&) {};
    auto helo = [] { return Script().Send("220 mx").Expect("HELO client.example").Send("250 hi"); };
    return {
        {"greeting", none, [] { return Script().Send("554 go away"); },
         "Connect. (Error=554 go away)"},
        {"HELO", none,
         [] { return Script().Send("220 mx").Expect("HELO client.example").Send("501 bad name"); },
         "Helo. (Error=501 bad name)"},
        {"EHLO", auth,
         [] { return Script().Send("220 mx").Expect("EHLO client.example").Send("502 unknown"); },
         "Ehlo. (Error=502 unknown)"},
        {"AUTH LOGIN", auth,
         [] {
             return Script()
                 .Send("220 mx")
                 .Expect("EHLO client.example")
                 .SendLines({"250-mx", "250 AUTH LOGIN"})
                 .Expect("AUTH LOGIN")
                 .Send("504 not now");
         },
         "Auth-Login. (Error=504 not now)"},
        {"password", auth,
         [] {
             return Script()
                 .Send("220 mx")
                 .Expect("EHLO client.example")
                 .SendLines({"250-mx", "250 AUTH LOGIN"})
                 .Expect("AUTH LOGIN")
                 .Send("334 VXNlcm5hbWU6")
                 .Expect(Base64Encode("user"))
                 .Send("334 UGFzc3dvcmQ6")
                 .Expect(Base64Encode("secret"))
                 .Send("535 bad credentials");
         },
         "Auth-Login. (Error=535 bad credentials)"},
        {"empty method",
         [](tbrixconfig& b) {
             b.SMTPUSER = "user";
             b.SMTPPASS = "secret";
         },
         [] {
             return Script()
                 .Send("220 mx")
                 .Expect("EHLO client.example")
                 .SendLines({"250-mx", "250 AUTH LOGIN"});
         },
         "Auth-Login-Method not understand. (Error= not supportet)"},
        {"MAIL", none,
         [=] { return helo().Expect("MAIL FROM: <anna@client.example>").Send("550 not you"); },
         "Mail. (Error=550 not you)"},
        {"MAIL 451", none,
         [=] { return helo().Expect("MAIL FROM: <anna@client.example>").Send("451 auth first"); },
         "Smtp-Auth required. (Error=451 auth first)"},
        {"RCPT", none,
         [=] {
             return helo()
                 .Expect("MAIL FROM: <anna@client.example>")
                 .Send("250 ok")
                 .Expect("RCPT TO: <bert@mx.example>")
                 .Send("550 no such user");
         },
         "Rcpt. (Error=550 no such user)"},
        {"DATA", none,
         [=] {
             return helo()
                 .Expect("MAIL FROM: <anna@client.example>")
                 .Send("250 ok")
                 .Expect("RCPT TO: <bert@mx.example>")
                 .Send("250 ok")
                 .Expect("DATA")
                 .Send("554 no valid recipients");
         },
         "Data. (Error=554 no valid recipients)"},
        {"final dot", none,
         [=] {
             Script s = helo();
             Accept(s, kAnna, "554 refused by content filter");
             return s;
         },
         "Data: After transfer. (Error=554 refused by content filter)"},
        {"final dot 4xx", none,
         [=] {
             Script s = helo();
             Accept(s, kAnna, "451 try again later");
             return s;
         },
         "Data: After transfer. (Error=451 try again later)"},
    };
}

TEST_F(SendMailTest, EveryRefusalIsLoggedAndKeepsTheFile) {
    Queue("m0001.out", FileOf(kAnna));
    Queue("m0002.out", FileOf(kCarl));
    const std::string count = "2 mails to send, " +
                              std::to_string(FileOf(kAnna).size() + FileOf(kCarl).size()) +
                              " bytes";
    for (const Refusal& r : Refusals()) {
        SCOPED_TRACE(r.what);
        tree.Write("qv-ppp.log", "");
        tbrixconfig saved = box;
        r.configure(box);
        ScriptServer server(r.script());
        Run(server);
        box = saved;
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_TRUE(Queued("m0001.out"));
        EXPECT_TRUE(Queued("m0002.out"));
        Lines expected{"SMTP: 127.0.0.1:" + Port(server)};
        if (std::string(r.what) != "greeting") expected.push_back(count);
        expected.push_back("0 mails sent");
        expected.push_back("Error (sendmail): " + r.error);
        EXPECT_EQ(RunLog(), expected);
    }
}

TEST_F(SendMailTest, RefusedSecondFileKeepsOnlyItself) {
    Queue("m0001.out", FileOf(kAnna));
    Queue("m0002.out", FileOf(kCarl));
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    Accept(s, kAnna);
    Accept(s, kCarl, "552 message too big");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_FALSE(Queued("m0001.out"));
    EXPECT_TRUE(Queued("m0002.out"));
    EXPECT_EQ(RunLog().back(),
              "Error (sendmail): Data: After transfer. (Error=552 message too big)");
    EXPECT_EQ(RunLog()[RunLog().size() - 2], "1 mails sent");
}

TEST_F(SendMailTest, RefusedSecondMessageOfAFileKeepsTheWholeFile) {
    // Nothing is lost: the file stays although its first message was
    // accepted, which may then arrive a second time.
    Queue("m0001.out", FileOf(kAnna) + FileOf(kCarl));
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    Accept(s, kAnna);
    Accept(s, kCarl, "554 no");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_EQ(RunLog().back(), "Error (sendmail): Data: After transfer. (Error=554 no)");
}

TEST_F(SendMailTest, NoServerListeningKeepsTheFiles) {
    Queue("m0001.out", FileOf(kAnna));
    box.SMTPPORT = std::to_string(testing::FreeLoopbackPort());
    SendMail(box);
    EXPECT_TRUE(Queued("m0001.out"));
    Lines log = RunLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1], "0 mails sent");
    EXPECT_EQ(log[2].rfind("Error (sendmail): Connect", 0), 0u) << log[2];
}

TEST_F(SendMailTest, FileWithoutFinalDotIsKeptAndNoDotIsSent) {
    Queue("m0001.out", "HELO client.example\r\nMAIL FROM:<anna@client.example>\r\n"
                       "RCPT TO:<bert@mx.example>\r\nDATA\r\nSubject: cut\r\n\r\nhalf a mes");
    Queue("m0002.out", FileOf(kCarl));
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    s.Expect("MAIL FROM: <anna@client.example>").Send("250 ok");
    s.Expect("RCPT TO: <bert@mx.example>").Send("250 ok").Expect("DATA").Send("354 go");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    // Not a byte of the cut message went out, so the server cannot take it.
    EXPECT_EQ(server.Received(), "HELO client.example\r\nMAIL FROM: <anna@client.example>\r\n"
                                 "RCPT TO: <bert@mx.example>\r\nDATA\r\n");
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_TRUE(Queued("m0002.out"));
    EXPECT_EQ(RunLog().back(), "Error (sendmail): Mail file " + Spool() +
                                   "m0001.out ends before the \".\" of its message; kept for "
                                   "the next run");
}

TEST_F(SendMailTest, FileWithoutMessageIsKept) {
    for (const std::string& text :
         {std::string(), std::string("HELO client.example\r\nQUIT\r\n"),
          std::string("HELO client.example\r\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nQUIT\r\n")}) {
        Queue("m0001.out", text);
        Script s;
        s.Send("220 mx");
        if (!text.empty()) s.Expect("HELO client.example").Send("250 hello");
        if (text.find("MAIL") != std::string::npos)
            s.Expect("MAIL FROM: <a@b>").Send("250 ok").Expect("RCPT TO: <c@d>").Send("250 ok");
        ScriptServer server(s);
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_TRUE(Queued("m0001.out"));
        EXPECT_EQ(RunLog().back(), "Error (sendmail): Mail file " + Spool() +
                                       "m0001.out ends before the \".\" of its message; kept "
                                       "for the next run");
    }
}

TEST_F(SendMailTest, EmptyPortFailsTheConnect) {
    Queue("m0001.out", FileOf(kAnna));
    box.SMTPPORT = "";
    SendMail(box);
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_EQ(RunLog(), (Lines{"SMTP: 127.0.0.1:", "0 mails sent",
                               "Error (sendmail): Connect: No service specified. (Error=)"}));
}

TEST_F(SendMailTest, SilentServerTimesOutAfterSmtpTimeout) {
    box.SMTPTIMEOUT = "1";
    Queue("m0001.out", FileOf(kAnna));
    ScriptServer server(Script().Send("220 mx").Expect("HELO client.example").Pause(2500));
    Run(server);
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_EQ(RunLog().back(), "Error (sendmail): Read. (Error=" + std::to_string(ETIMEDOUT) + ")");
}

TEST_F(SendMailTest, EscBetweenFilesStopsAfterTheFirstIsDeleted) {
    Queue("m0001.out", FileOf(kAnna));
    Queue("m0002.out", FileOf(kCarl));
    EscOnCheck esc(3); // after connect, after counting, after the first file
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    Accept(s, kAnna);
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_FALSE(Queued("m0001.out"));
    EXPECT_TRUE(Queued("m0002.out"));
    EXPECT_EQ(screen.bells, 1);
    Lines log = RunLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "1 mails sent");
    EXPECT_EQ(log.back(), "aborted by user ...");
}

TEST_F(SendMailTest, EscRightAfterConnectSendsNothing) {
    Queue("m0001.out", FileOf(kAnna));
    EscOnCheck esc(1);
    ScriptServer server(Script().Send("220 mx"));
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "");
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_EQ(RunLog(),
              (Lines{"SMTP: 127.0.0.1:" + Port(server), "0 mails sent", "aborted by user ..."}));
}

// Every drop of the connection, after each command of a two-file dialogue:
// each file is either still queued or was accepted by the server, and a
// second run delivers what is left, so that each message arrives once.
TEST_F(SendMailTest, DroppedConnectionLosesAndDoublesNothing) {
    // Client commands in order: HELO, MAIL, RCPT, DATA, text of the first
    // file, MAIL, RCPT, DATA, text of the second file.
    const int kCommands = 9;
    for (int drop = 0; drop <= kCommands; ++drop) {
        SCOPED_TRACE("drop at command " + std::to_string(drop));
        Queue("m0001.out", FileOf(kAnna));
        Queue("m0002.out", FileOf(kCarl));
        // Commands 1 to drop-1 are answered; command `drop` is read and the
        // connection closed before its reply (0: closed before the greeting).
        Script s;
        int answered = 0;
        auto step = [&](const std::string& expect, const std::string& reply) {
            if (answered + 1 > drop) return;
            if (expect == ".")
                s.ExpectBody();
            else
                s.Expect(expect);
            if (answered + 1 == drop) {
                ++answered;
                return;
            }
            s.Send(reply);
            ++answered;
        };
        if (drop > 0) s.Send("220 mx");
        step("HELO client.example", "250 hello");
        for (const Mail& m : {kAnna, kCarl}) {
            step("MAIL FROM: <" + m.from + ">", "250 ok");
            step("RCPT TO: <" + m.to + ">", "250 ok");
            step("DATA", "354 go");
            step(".", "250 queued");
        }
        s.Close();
        bool annaTaken = drop > 5; // its text was answered with 250
        {
            ScriptServer server(s);
            Run(server);
            EXPECT_TRUE(server.Passed()) << server.Report();
        }
        EXPECT_EQ(Queued("m0001.out"), !annaTaken);
        EXPECT_TRUE(Queued("m0002.out"));
        EXPECT_EQ(RunLog().back().rfind("Error (sendmail): ", 0), 0u) << RunLog().back();

        // The next run delivers exactly what is still queued.
        Script again;
        again.Send("220 mx").Expect("HELO client.example").Send("250 hello");
        if (!annaTaken) Accept(again, kAnna);
        Accept(again, kCarl);
        ScriptServer server(again);
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(server.Received(), annaTaken ? "HELO client.example\r\n" + WireOf(kCarl, false)
                                               : WireOf(kAnna, true) + WireOf(kCarl, false));
        EXPECT_FALSE(Queued("m0001.out"));
        EXPECT_FALSE(Queued("m0002.out"));
    }
}

TEST_F(SendMailTest, ResetInsideTheTextKeepsTheFile) {
    Queue("m0001.out", FileOf(kAnna));
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    s.Expect("MAIL FROM: <anna@client.example>").Send("250 ok");
    s.Expect("RCPT TO: <bert@mx.example>").Send("250 ok").Expect("DATA").Send("354 go");
    s.ExpectAny().Reset();
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_EQ(RunLog().back().rfind("Error (sendmail): ", 0), 0u) << RunLog().back();
}

TEST_F(SendMailTest, DebugLogHoldsHeaderAndDialogueButNoText) {
    Settings().DebugLevel = 1;
    Queue("m0001.out", FileOf(kAnna));
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    Accept(s, kAnna);
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(tree.Read("BOX1.log"), "\r\n" + kStamp + "sendmail 127.0.0.1:" + Port(server) +
                                         "\r\n"
                                         ">220 mx\r\n"
                                         "<HELO client.example\r\n"
                                         ">250 hello\r\n"
                                         "<MAIL FROM: <anna@client.example>\r\n"
                                         ">250 sender ok\r\n"
                                         "<RCPT TO: <bert@mx.example>\r\n"
                                         ">250 recipient ok\r\n"
                                         "<DATA\r\n"
                                         ">354 go ahead\r\n"
                                         ">250 queued\r\n");
    EXPECT_EQ(RunLog(),
              (Lines{"SMTP: 127.0.0.1:" + Port(server),
                     "1 mails to send, " + std::to_string(FileOf(kAnna).size()) + " bytes",
                     "sending mail #1: " + Spool() + "m0001.out...", "done.", "1 mails sent"}));
}

TEST_F(SendMailTest, DebugLogGetsTheErrorToo) {
    Settings().DebugLevel = 2;
    ScriptServer server(Script().Send("554 no"));
    Run(server);
    std::string log = tree.Read("BOX1.log");
    // Level 2 adds the socket's own lines between the client's.
    std::size_t reply = log.find(">554 no\r\n");
    std::size_t closing = log.find("Closing connection on socket ");
    std::size_t error = log.find("Error (sendmail): Connect. (Error=554 no)\r\n");
    ASSERT_NE(error, std::string::npos) << log;
    EXPECT_LT(reply, closing) << log;
    EXPECT_LT(closing, error) << log;
    EXPECT_NE(log.find("sendmail 127.0.0.1:" + Port(server) + "\r\n"), std::string::npos);
}

TEST_F(SendMailTest, WithoutDebugLevelNoBoxLog) {
    Queue("m0001.out", FileOf(kAnna));
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    Accept(s, kAnna);
    ScriptServer server(s);
    Run(server);
    EXPECT_FALSE(tree.Exists("BOX1.log"));
}

TEST_F(SendMailTest, VerboseModeEchoesTheRunLogLines) {
    ScriptServer server(Script().Send("220 mx"));
    Run(server);
    EXPECT_EQ(screen.output,
              "SMTP: 127.0.0.1:" + Port(server) + "\n0 mails to send, 0 bytes\n0 mails sent\n");
}

TEST_F(SendMailTest, StatusBlockShowsServerProgressAndRecipient) {
    Settings().VerboseMode = false;
    tbrix_info& info = OpenStatusScreen("banner", "second", tree.Path());
    SetLogScreenShown(true);
    Queue("m0001.out", FileOf(kAnna));
    Queue("m0002.out", FileOf(kCarl));
    Script s;
    s.Send("220 mx").Expect("HELO client.example").Send("250 hello");
    Accept(s, kAnna);
    Accept(s, kCarl);
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();

    tbrix_sinf& line = info.SmtpLine();
    std::int64_t total = FileOf(kAnna).size() + FileOf(kCarl).size();
    EXPECT_EQ(line.Server(), "127.0.0.1:" + Port(server));
    EXPECT_EQ(line.Info(), "mail #2 [To: dora@mx.example]");
    EXPECT_EQ(line.MsgDone(), 2);
    EXPECT_EQ(line.MsgTotal(), 2);
    EXPECT_EQ(line.BytesDone(), total);
    EXPECT_EQ(line.BytesTotal(), total);
    // The texts shown on the way, in order.
    std::vector<std::string> shown;
    for (const auto& w : screen.writes)
        if (w.y == line.Row() + 1 && w.x == line.Col() + 6 && !w.text.empty() && w.text[0] != ' ')
            shown.push_back(w.text);
    EXPECT_EQ(shown,
              (Lines{"connecting ...", "2 mails to send, " + std::to_string(total) + " bytes",
                     "mail #1: " + Spool() + "m0001.out", "mail #1 [To: bert@mx.example]",
                     "mail #2: " + Spool() + "m0002.out", "mail #2 [To: dora@mx.example]"}));
    // Nothing on the console but the window.
    EXPECT_EQ(screen.output, "");
}

} // namespace
} // namespace brix
