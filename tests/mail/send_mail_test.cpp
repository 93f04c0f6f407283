// The mail send job against scripted SMTP servers: the wire order byte for
// byte, EHLO with AUTH LOGIN, the envelope override, the X-Mailer rewrite,
// every refusal, unfinished files, dropped connections, the user abort, the
// run and debug logs and the status block.

#include "clients/base64.h"
#include "mail/send_mail.h"
#include "mail_testing.h"
#include "testing/exim_server.h"
#include "testing/script_server.h"

#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace brix {
namespace {

using testing::EscAtCheck;
using testing::Script;
using testing::ScriptServer;
using Lines = std::vector<std::string>;

// One outgoing message as the host reader writes it.
struct Mail {
    std::string from, to, subject;
};

// The message text between DATA and "." as it goes over the wire.
std::string Text(const Mail& m) {
    return "From: " + m.from + "\r\nSubject: " + m.subject + "\r\n\r\nText of " + m.subject +
           "\r\n..a stuffed dot line\r\n";
}

std::string FileOf(const Mail& m) {
    return "HELO client.example\r\nMAIL FROM:<" + m.from + ">\r\nRCPT TO:<" + m.to +
           ">\r\nDATA\r\n" + Text(m) + ".\r\nQUIT\r\n";
}

std::string WireOf(const Mail& m, bool withHelo) {
    return (withHelo ? "HELO client.example\r\n" : "") + std::string("MAIL FROM: <") + m.from +
           ">\r\nRCPT TO: <" + m.to + ">\r\nDATA\r\n" + Text(m) + ".\r\n";
}

// The server's side of one transaction, accepted up to the final reply.
Script& Accept(Script& s, const Mail& m, const std::string& finalReply = "250 queued") {
    return s.Expect("MAIL FROM: <" + m.from + ">")
        .Send("250 sender ok")
        .Expect("RCPT TO: <" + m.to + ">")
        .Send("250 recipient ok")
        .Expect("DATA")
        .Send("354 go ahead")
        .ExpectBody()
        .Send(finalReply);
}

// Greeting and plain HELO.
Script Helo() {
    return Script().Send("220 mx").Expect("HELO client.example").Send("250 hello");
}

// Greeting, EHLO offering AUTH LOGIN, and the login up to the password's reply.
Script Login(const std::string& passwordReply = "235 authenticated") {
    return Script()
        .Send("220 mx")
        .Expect("EHLO client.example")
        .SendLines({"250-mx.example", "250-SIZE 1000000", "250 AUTH PLAIN LOGIN"})
        .Expect("AUTH LOGIN")
        .Send("334 VXNlcm5hbWU6")
        .Expect(Base64Encode("user"))
        .Send("334 UGFzc3dvcmQ6")
        .Expect(Base64Encode("secret"))
        .Send(passwordReply);
}

void UseAuth(tbrixconfig& b, const std::string& method = "LOGIN",
             const std::string& pass = "secret") {
    b.SMTPAUTH = method;
    b.SMTPUSER = "user";
    b.SMTPPASS = pass;
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
    bool Queued(const std::string& name) const { return tree.Exists("spool/" + name); }
    void Run(ScriptServer& server) {
        box.SMTPPORT = server.PortText();
        SendMail(box);
    }
    // Two servers, each with its own spool ("spool/" and "spool2/").
    void TwoServers(ScriptServer& one, ScriptServer& two) {
        box.SMTPSERVER = "127.0.0.1 127.0.0.1";
        tree.MakeDir("spool2");
        box.SMTPSPOOL = SpoolDir() + " " + tree.Path() + "spool2/";
        box.SMTPPORT = one.PortText() + " " + two.PortText();
    }
    std::string Unfinished(const std::string& name) const {
        return "Error (sendmail): Mail file " + SpoolDir() + name +
               " ends before the \".\" of its message; kept for the next run";
    }
};

TEST_F(SendMailTest, OneFileGoesOutInWireOrderIsDeletedAndLogged) {
    Settings().DebugLevel = 1;
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
    Script s = Helo();
    ScriptServer server(Accept(s, kAnna));
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
    const std::string port = server.PortText();
    EXPECT_EQ(RunLog(),
              (Lines{"SMTP: 127.0.0.1:" + port, ToSend(1, file.size()),
                     "sending mail #1: " + SpoolDir() + "m0001.out...", "done.", "1 mails sent"}));
    // The debug log holds the dialogue but not the text.
    EXPECT_EQ(BoxLog(),
              (Lines{"", testing::kStamp + "sendmail 127.0.0.1:" + port, ">220 mx",
                     "<HELO client.example", ">250 hello", "<MAIL FROM: <anna@client.example>",
                     ">250 sender ok", "<RCPT TO: <bert@mx.example>", ">250 recipient ok", "<DATA",
                     ">354 go ahead", ">250 queued"}));
}

TEST_F(SendMailTest, OutgoingFilesShareOneConnectionInNameOrder) {
    // Written out of order; names are matched without regard to case and
    // sent in byte order; the last file holds two messages.
    const Mail eva{"eva@client.example", "fred@mx.example", "third"};
    Queue("m0002.out", FileOf(kCarl));
    Queue("M0000.OUT", FileOf(kAnna));
    Queue("m0003.out", FileOf(kAnna) + FileOf(eva));
    Queue("m0001.msg", "not outgoing");
    Queue("n0001.out", "news");
    tree.MakeDir("spool/m0001.out"); // a folder is not a file
    Script s = Helo();
    Accept(Accept(Accept(Accept(s, kAnna), kCarl), kAnna), eva);
    ScriptServer server(s);
    Run(server);

    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Connections(), 1u);
    // Every HELO but the first is passed over.
    EXPECT_EQ(server.Received(), WireOf(kAnna, true) + WireOf(kCarl, false) + WireOf(kAnna, false) +
                                     WireOf(eva, false));
    EXPECT_EQ(Spool(), (Lines{"m0001.msg", "m0001.out", "n0001.out"}));
    std::size_t total = 2 * FileOf(kAnna).size() + FileOf(kCarl).size() + FileOf(eva).size();
    EXPECT_EQ(RunLog(),
              (Lines{"SMTP: 127.0.0.1:" + server.PortText(), ToSend(3, total), "3 mails sent"}));
}

TEST_F(SendMailTest, GreetingFollowsTheAuthWords) {
    Script ehloOnly = Script().Send("220 mx").Expect("EHLO client.example").Send("250 mx.example");
    struct {
        const char* what;
        const char* method;
        const char* pass;
        Script script;
    } cases[] = {
        {"EHLO and AUTH LOGIN", "LOGIN", "secret", Login()},
        {"EHLO without extension lines needs no AUTH", "LOGIN", "secret", ehloOnly},
        {"no password: plain HELO", "LOGIN", "", Helo()},
        {"KEINE: plain HELO", "KEINE", "secret", Helo()},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        UseAuth(box, c.method, c.pass);
        Queue("m0001.out", FileOf(kAnna));
        ScriptServer server(Accept(c.script, kAnna));
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_FALSE(Queued("m0001.out"));
    }
}

TEST_F(SendMailTest, TwoServersEachWithItsOwnSpoolAndAuthWord) {
    // The second server's word KEINE gives it a plain HELO although the
    // (single) user and password words apply to it too.
    UseAuth(box, "AUTO KEINE");
    Queue("m0001.out", FileOf(kAnna));
    tree.Write("spool2/m0001.out", FileOf(kCarl));
    Script first = Login(), second = Helo();
    ScriptServer one(Accept(first, kAnna)), two(Accept(second, kCarl));
    TwoServers(one, two);
    SendMail(box);
    EXPECT_TRUE(one.Passed()) << one.Report();
    EXPECT_TRUE(two.Passed()) << two.Report();
    EXPECT_FALSE(Queued("m0001.out"));
    EXPECT_FALSE(tree.Exists("spool2/m0001.out"));
    EXPECT_EQ(RunLog(), (Lines{"SMTP: 127.0.0.1:" + one.PortText(), ToSend(1, FileOf(kAnna).size()),
                               "1 mails sent", "SMTP: 127.0.0.1:" + two.PortText(),
                               ToSend(1, FileOf(kCarl).size()), "1 mails sent"}));
}

TEST_F(SendMailTest, ErrorAtTheFirstServerSkipsTheOthers) {
    // Never contacted: a short deadline ends its wait for a client.
    ScriptServer one(Script().Send("421 busy")),
        two(Script().Send("220 two"), std::chrono::milliseconds(300));
    TwoServers(one, two);
    SendMail(box);
    EXPECT_EQ(two.Connections(), 0u);
    EXPECT_EQ(RunLog(), (Lines{"SMTP: 127.0.0.1:" + one.PortText(), "0 mails sent",
                               "Error (sendmail): Connect. (Error=421 busy)"}));
}

TEST_F(SendMailTest, EnvelopeReplacesEverySenderButNotTheText) {
    box.SMTPENVELOPE = "bounce@client.example";
    Queue("m0001.out", FileOf(kAnna));
    Queue("m0002.out", FileOf(kCarl));
    Mail anna = kAnna, carl = kCarl;
    anna.from = carl.from = "bounce@client.example";
    Script s = Helo();
    ScriptServer server(Accept(Accept(s, anna), carl));
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_NE(server.Received().find("From: anna@client.example\r\n"), std::string::npos);
    EXPECT_TRUE(Spool().empty());
}

TEST_F(SendMailTest, CommandWordsInAnyCaseLoneLineEndsAndLongLines) {
    // LF and lone CR line ends, lower-case commands, blanks around the
    // addresses, several recipients, long lines, and a last "." without a
    // line end.
    std::string longLine(5000, 'x');
    Queue("m0001.out", "helo  client.example \n"
                       "mail from: <anna@client.example> \r"
                       "rcpt to:bert@mx.example\n"
                       "Rcpt To: <dora@mx.example>\r\n"
                       "data\n"
                       "X-Mailer: " +
                           longLine + "\r\n\n" + longLine + "\n.");
    Script s = Helo();
    s.Expect("MAIL FROM: <anna@client.example>").Send("250 ok");
    s.Expect("RCPT TO: <bert@mx.example>").Send("250 ok");
    s.Expect("RCPT TO: <dora@mx.example>").Send("251 will forward");
    s.Expect("DATA").Send("354 go").ExpectBody().Send("250 queued");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_NE(server.Received().find("DATA\r\nX-Mailer: " + longLine +
                                     ", via Brix/W v0.4.2l\r\n\r\n" + longLine + "\r\n.\r\n"),
              std::string::npos);
    EXPECT_FALSE(Queued("m0001.out"));
}

TEST_F(SendMailTest, EmptySpoolStillConnectsCountsZeroAndEchoesTheLog) {
    ScriptServer server(Script().Send("220 mx"));
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_EQ(server.Received(), "");
    const std::string port = server.PortText();
    EXPECT_EQ(RunLog(), (Lines{"SMTP: 127.0.0.1:" + port, ToSend(0, 0), "0 mails sent"}));
    EXPECT_FALSE(tree.Exists("BOX1.log")); // no debug level
    // Verbose mode: the run log's lines on the console.
    EXPECT_EQ(screen.output,
              "SMTP: 127.0.0.1:" + port + "\n0 mails to send, 0 bytes\n0 mails sent\n");
}

// Every command the job sends, refused: the error names the command and
// carries the server's line, and the files stay for the next run.
TEST_F(SendMailTest, EveryRefusalIsLoggedAndKeepsTheFile) {
    Queue("m0001.out", FileOf(kAnna));
    Queue("m0002.out", FileOf(kCarl));
    const std::string count = ToSend(2, FileOf(kAnna).size() + FileOf(kCarl).size());
    auto ehlo = [] {
        return Script()
            .Send("220 mx")
            .Expect("EHLO client.example")
            .SendLines({"250-mx", "250 AUTH LOGIN"});
    };
    auto mail = [] { return Helo().Expect("MAIL FROM: <anna@client.example>"); };
    auto rcpt = [=] { return mail().Send("250 ok").Expect("RCPT TO: <bert@mx.example>"); };
    auto accepted = [](Script s, const char* reply) { return Accept(s, kAnna, reply); };
    struct {
        const char* what;
        const char* auth; // SMTPAUTH; nullptr: no user and password
        Script script;
        std::string error;
    } cases[] = {
        {"greeting", nullptr, Script().Send("554 go away"), "Connect. (Error=554 go away)"},
        {"HELO", nullptr,
         Script().Send("220 mx").Expect("HELO client.example").Send("501 bad name"),
         "Helo. (Error=501 bad name)"},
        {"EHLO", "LOGIN", Script().Send("220 mx").Expect("EHLO client.example").Send("502 unknown"),
         "Ehlo. (Error=502 unknown)"},
        {"AUTH LOGIN", "LOGIN", ehlo().Expect("AUTH LOGIN").Send("504 not now"),
         "Auth-Login. (Error=504 not now)"},
        {"password", "LOGIN", Login("535 bad credentials"),
         "Auth-Login. (Error=535 bad credentials)"},
        {"empty method", "", ehlo(), "Auth-Login-Method not understand. (Error= not supportet)"},
        {"MAIL", nullptr, mail().Send("550 not you"), "Mail. (Error=550 not you)"},
        {"MAIL 451", nullptr, mail().Send("451 auth first"),
         "Smtp-Auth required. (Error=451 auth first)"},
        {"RCPT", nullptr, rcpt().Send("550 no such user"), "Rcpt. (Error=550 no such user)"},
        {"DATA", nullptr, rcpt().Send("250 ok").Expect("DATA").Send("554 no valid recipients"),
         "Data. (Error=554 no valid recipients)"},
        {"final dot", nullptr, accepted(Helo(), "554 refused by content filter"),
         "Data: After transfer. (Error=554 refused by content filter)"},
        {"final dot 4xx", nullptr, accepted(Helo(), "451 try again later"),
         "Data: After transfer. (Error=451 try again later)"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        tree.Write("qv-ppp.log", "");
        const tbrixconfig plain = box;
        if (c.auth) UseAuth(box, c.auth);
        ScriptServer server(c.script);
        Run(server);
        box = plain;
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_TRUE(Queued("m0001.out"));
        EXPECT_TRUE(Queued("m0002.out"));
        Lines expected{"SMTP: 127.0.0.1:" + server.PortText()};
        if (std::string(c.what) != "greeting") expected.push_back(count);
        expected.push_back("0 mails sent");
        expected.push_back("Error (sendmail): " + c.error);
        EXPECT_EQ(RunLog(), expected);
    }
}

// A refused second message keeps its file, also when the file's first
// message was accepted (that one may then arrive a second time).
TEST_F(SendMailTest, RefusedSecondMessageKeepsItsFile) {
    struct {
        std::vector<std::string> files;
        Lines kept;
    } cases[] = {{{FileOf(kAnna), FileOf(kCarl)}, {"m0002.out"}},
                 {{FileOf(kAnna) + FileOf(kCarl)}, {"m0001.out"}}};
    for (const auto& c : cases) {
        for (std::size_t i = 0; i < c.files.size(); ++i)
            Queue("m000" + std::to_string(i + 1) + ".out", c.files[i]);
        tree.Write("qv-ppp.log", "");
        Script s = Helo();
        ScriptServer server(Accept(Accept(s, kAnna), kCarl, "552 message too big"));
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(Spool(), c.kept);
        EXPECT_EQ(RunLog().back(),
                  "Error (sendmail): Data: After transfer. (Error=552 message too big)");
        std::filesystem::remove(SpoolDir() + c.kept[0]);
    }
}

TEST_F(SendMailTest, FailedConnectKeepsTheFiles) {
    Queue("m0001.out", FileOf(kAnna));
    struct {
        std::string port;
        std::string error; // start of the error line
    } cases[] = {
        {std::to_string(testing::FreeLoopbackPort()), "Error (sendmail): Connect"},
        {"", "Error (sendmail): Connect: No service specified. (Error=)"},
    };
    for (const auto& c : cases) {
        tree.Write("qv-ppp.log", "");
        box.SMTPPORT = c.port;
        SendMail(box);
        EXPECT_TRUE(Queued("m0001.out"));
        Lines log = RunLog();
        ASSERT_EQ(log.size(), 3u);
        EXPECT_EQ(log[0], "SMTP: 127.0.0.1:" + c.port);
        EXPECT_EQ(log[1], "0 mails sent");
        EXPECT_EQ(log[2].rfind(c.error, 0), 0u) << log[2];
    }
}

// A file that ends before the "." of a message is kept, and no "." is sent
// for it: the server could only take a cut message. The job ends there.
TEST_F(SendMailTest, FileWithoutWholeMessageIsKept) {
    const std::string helo = "HELO client.example\r\n";
    const std::string envelope =
        helo + "MAIL FROM:<anna@client.example>\r\nRCPT TO:<bert@mx.example>\r\n";
    for (const std::string& text : {std::string(), helo + "QUIT\r\n", envelope + "QUIT\r\n",
                                    envelope + "DATA\r\nSubject: cut\r\n\r\nhalf a mes"}) {
        Queue("m0001.out", text);
        Queue("m0002.out", FileOf(kCarl));
        Script s = text.empty() ? Script().Send("220 mx") : Helo();
        if (text.find("MAIL") != std::string::npos) {
            s.Expect("MAIL FROM: <anna@client.example>").Send("250 ok");
            s.Expect("RCPT TO: <bert@mx.example>").Send("250 ok");
        }
        if (text.find("DATA") != std::string::npos) s.Expect("DATA").Send("354 go");
        ScriptServer server(s);
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(Spool(), (Lines{"m0001.out", "m0002.out"}));
        EXPECT_EQ(RunLog().back(), Unfinished("m0001.out"));
    }
}

TEST_F(SendMailTest, SilentServerTimesOutAfterSmtpTimeout) {
    box.SMTPTIMEOUT = "1";
    Queue("m0001.out", FileOf(kAnna));
    ScriptServer server(Script().Send("220 mx").Expect("HELO client.example").Pause(2500));
    Run(server);
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_EQ(RunLog().back(), "Error (sendmail): Read. (Error=" + std::to_string(ETIMEDOUT) + ")");
}

TEST_F(SendMailTest, EscStopsTheJobBetweenFiles) {
    struct {
        int check; // 1: after connect, 2: after counting, 3: after the first file
        Lines kept;
        const char* sent;
    } cases[] = {{1, {"m0001.out", "m0002.out"}, "0 mails sent"},
                 {3, {"m0002.out"}, "1 mails sent"}};
    for (const auto& c : cases) {
        Queue("m0001.out", FileOf(kAnna));
        Queue("m0002.out", FileOf(kCarl));
        tree.Write("qv-ppp.log", "");
        screen.bells = 0;
        EscAtCheck esc(c.check);
        Script s = c.check == 1 ? Script().Send("220 mx") : Helo();
        if (c.check == 3) Accept(s, kAnna);
        ScriptServer server(s);
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(Spool(), c.kept);
        EXPECT_EQ(screen.bells, 1);
        Lines log = RunLog();
        EXPECT_EQ(Lines(log.end() - 2, log.end()), (Lines{c.sent, "aborted by user ..."}));
    }
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
        int read = 0;
        auto step = [&](const std::string& expect, const std::string& reply) {
            if (++read > drop) return;
            if (expect == ".")
                s.ExpectBody();
            else
                s.Expect(expect);
            if (read < drop) s.Send(reply);
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
        Script again = Helo();
        if (!annaTaken) Accept(again, kAnna);
        ScriptServer server(Accept(again, kCarl));
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(server.Received(), annaTaken ? "HELO client.example\r\n" + WireOf(kCarl, false)
                                               : WireOf(kAnna, true) + WireOf(kCarl, false));
        EXPECT_TRUE(Spool().empty());
    }
}

TEST_F(SendMailTest, ResetInsideTheTextKeepsTheFile) {
    Queue("m0001.out", FileOf(kAnna));
    Script s = Helo();
    s.Expect("MAIL FROM: <anna@client.example>").Send("250 ok");
    s.Expect("RCPT TO: <bert@mx.example>").Send("250 ok").Expect("DATA").Send("354 go");
    ScriptServer server(s.ExpectAny().Reset());
    Run(server);
    EXPECT_TRUE(Queued("m0001.out"));
    EXPECT_EQ(RunLog().back().rfind("Error (sendmail): ", 0), 0u) << RunLog().back();
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
    EXPECT_NE(log.find("sendmail 127.0.0.1:" + server.PortText() + "\r\n"), std::string::npos);
}

TEST_F(SendMailTest, StatusBlockShowsServerProgressAndRecipient) {
    Settings().VerboseMode = false;
    tbrix_info& info = OpenStatusScreen("banner", "second", tree.Path());
    SetLogScreenShown(true);
    Queue("m0001.out", FileOf(kAnna));
    Queue("m0002.out", FileOf(kCarl));
    Script s = Helo();
    ScriptServer server(Accept(Accept(s, kAnna), kCarl));
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();

    tbrix_sinf& line = info.SmtpLine();
    std::int64_t total = FileOf(kAnna).size() + FileOf(kCarl).size();
    EXPECT_EQ(line.Server(), "127.0.0.1:" + server.PortText());
    EXPECT_EQ(line.Info(), "mail #2 [To: dora@mx.example]");
    EXPECT_EQ(line.MsgDone(), 2);
    EXPECT_EQ(line.MsgTotal(), 2);
    EXPECT_EQ(line.BytesDone(), total);
    EXPECT_EQ(line.BytesTotal(), total);
    // The texts shown on the way, in order.
    Lines shown;
    for (const auto& w : screen.writes)
        if (w.y == line.Row() + 1 && w.x == line.Col() + 6 && !w.text.empty() && w.text[0] != ' ')
            shown.push_back(w.text);
    EXPECT_EQ(shown,
              (Lines{"connecting ...", ToSend(2, total), "mail #1: " + SpoolDir() + "m0001.out",
                     "mail #1 [To: bert@mx.example]", "mail #2: " + SpoolDir() + "m0002.out",
                     "mail #2 [To: dora@mx.example]"}));
    // Nothing on the console but the window.
    EXPECT_EQ(screen.output, "");
}

} // namespace
} // namespace brix
