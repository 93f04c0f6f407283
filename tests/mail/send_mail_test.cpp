// The mail send job against scripted SMTP servers: the wire order byte for
// byte, the X-Mailer rewrite, every refusal, unfinished files.

#include "clients/base64.h"
#include "mail/send_mail.h"
#include "mail_testing.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace brix {
namespace {

using testing::Script;
using testing::ScriptServer;
using Lines = std::vector<std::string>;

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
    return (withHelo ? "HELO client.example\r\n" : "") + std::string("MAIL FROM: <") + m.from +
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
    return Script().Send("220 mx").Expect("HELO client.example").Send("250 hello");
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
