// The mail jobs over TLS: every failure to secure the connection ends the job
// with its error line before a user name or password leaves; and a whole run
// of the brix binary against real Dovecot and Exim with generated
// certificates.

#include "get_mail_fixture.h"
#include "mail/send_mail.h"
#include "testing/dovecot_server.h"
#include "testing/exim_server.h"
#include "testing/run_program.h"
#include "testing/test_pki.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::GetMailTest;
using testing::Script;
using testing::ScriptServer;
using testing::TestPki;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

const std::string kNotAccepted = "TLS: certificate of localhost not accepted: ";
const std::string kOutgoing =
    "HELO client.example\r\nMAIL FROM:<a@client.example>\r\nRCPT "
    "TO:<b@auth.test>\r\nDATA\r\nSubject: hi\r\n\r\nbody\r\n.\r\nQUIT\r\n";

// Also a server (or a man in the middle) that leaves STARTTLS out of its
// EHLO answer gets no login and no mail in plain text.
TEST_F(GetMailTest, TlsFailuresEndTheJobBeforeAnySecret) {
    TestPki pki;
    const auto stranger = pki.Issue("localhost", 30, false);
    const auto otherName = pki.Issue("mail.example.org");
    const auto stls = [] { return Script().Send(testing::kGreeting).Expect("STLS"); };
    struct {
        const char* name;
        const char* mode;
        Script script;
        std::string error;
        std::string ca = ""; // TLSCAFILE when not the test CA
    } rows[] = {
        {"untrusted", "TLS", Script().StartTls(stranger.cert, stranger.key),
         kNotAccepted + "self-signed certificate in certificate chain (a server with its own CA "
                        "needs that CA in TLSCAFILE). (Error=19)"},
        {"wrong host name", "starttls", stls().Send("+OK").StartTls(otherName.cert, otherName.key),
         kNotAccepted + "hostname mismatch. (Error=62)"},
        {"STLS refused", "STARTTLS", stls().Send("-ERR not here"),
         "STARTTLS refused. (Error=-ERR not here)"},
        {"CA file missing", "TLS", Script(),
         "TLS: cannot read the CA file " + tree.Path() +
             "missing.pem: No such file or directory. (Error=2)",
         "missing.pem"}, // a relative name is taken in the host reader's folder
        {"SMTP", "STARTTLS",
         Script().Send("220 mx").ExpectPrefix("EHLO ").SendLines({"250-mx", "250 AUTH LOGIN"}),
         "STARTTLS not offered. (Error=250 AUTH LOGIN)"},
    };
    box.POP3SERVER = box.SMTPSERVER = "localhost";
    box.SMTPSPOOL = SpoolDir();
    box.SMTPAUTH = "LOGIN";
    box.SMTPUSER = "user";
    box.SMTPPASS = "secret";
    for (auto& row : rows) {
        SCOPED_TRACE(row.name);
        const bool smtp = std::string(row.name) == "SMTP";
        box.TLSCAFILE = row.ca.empty() ? pki.CaFile() : row.ca;
        std::filesystem::remove(tree / "qv-ppp.log");
        tree.Write("spool/m0001.out", kOutgoing);
        box.POP3TLS = box.SMTPTLS = row.mode;
        ScriptServer server(row.script, std::chrono::milliseconds(1500));
        box.POP3PORT = box.SMTPPORT = server.PortText();
        smtp ? SendMail(box) : GetMail(box, false);
        EXPECT_EQ(RunLog().back(), (smtp ? "Error (sendmail): " : "Error (getmail): ") + row.error);
        EXPECT_FALSE(Has(server.Received(), smtp ? "AUTH" : "USER")) << server.Received();
        EXPECT_EQ(Spool(), std::vector<std::string>{"m0001.out"});
    }
}

const testing::MaildirMessage kMessage{"1000000001.M1P1.test", "From: a@b\nSubject: one\n\nhi\n"};

// The front door: one box fetches from Dovecot's implicit-TLS port and sends
// through Exim with STARTTLS and AUTH LOGIN; the CA file is named relative to
// the host reader's folder.
TEST(ProgramTls, BoxFetchesAndSendsOverTls) {
    if (std::string why = testing::DovecotServer::Missing(); !why.empty()) GTEST_SKIP() << why;
    TestPki pki;
    testing::DovecotServer pop;
    pop.UseTls(pki.Localhost().cert, pki.Localhost().key);
    if (std::string why = pop.Start({kMessage}); !why.empty()) GTEST_SKIP() << why;
    testing::EximServer exim;
    exim.UseTls(pki.Localhost().cert, pki.Localhost().key);
    std::string why;
    if (!exim.Start(why)) GTEST_SKIP() << why;

    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("ca.pem", testing::TempTree::ReadAny(pki.CaFile()));
    t.Write("BOX1.bfg", "POP3SERVER=localhost\nPOP3PORT=" + pop.TlsPortText() +
                            "\nPOP3USER=joe\nPOP3PASS=tanstaaf\nPOP3TLS=TLS\n"
                            "SMTPSERVER=localhost\nSMTPPORT=" +
                            std::to_string(exim.Port()) +
                            "\nSMTPTLS=STARTTLS\nSMTPAUTH=LOGIN\nSMTPUSER=user\nSMTPPASS=secret\n"
                            "TLSCAFILE=ca.pem\n");
    t.Write("spool/m0001.out", kOutgoing);
    auto r = testing::RunBrix({"box1.bfg", "-debug2"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::string log = t.Read("qv-ppp.log");
    EXPECT_FALSE(Has(log, "Error")) << log;
    EXPECT_TRUE(Has(t.Read("spool/m0000.msg"), "Subject: one\n")) << log;
    EXPECT_FALSE(t.Exists("spool/m0001.out")) << log;
    ASSERT_EQ(exim.Delivered(1).size(), 1u);
    EXPECT_TRUE(Has(exim.Delivered(1)[0], "RCPT TO:<b@auth.test>"));
    // The password went only after the upgrade.
    const std::string debug = t.Read("BOX1.log");
    EXPECT_LT(debug.find("<STARTTLS"), debug.find("<AUTH LOGIN")) << debug;
}

} // namespace
} // namespace brix
