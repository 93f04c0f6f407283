// The mail fetch job against the scripted server: the dialogue byte for
// byte on each path, the spool and state files it leaves, its log lines,
// refusals and a full disk.

#include "clients/md5.h"
#include "get_mail_fixture.h"
#include "support/errors.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::GetMailTest;
using testing::Id;
using testing::Listed;
using testing::LoginScript;
using testing::Script;
using testing::ScriptServer;
using testing::SendBody;
using Lines = std::vector<std::string>;

const Lines kMail1 = {"From: Ann <ann@example.org>", "Subject: one", "", "hello"};
const Lines kMail2 = {"From: bob@example.org", "Subject: two", "", ".dotted", "end"};
// The messages as spool files in mailbox form.
const char* kMail1File = "From joe@localhost\nFrom: Ann <ann@example.org>\nSubject: one\n\nhello\n";
const char* kMail2File =
    "From joe@localhost\nFrom: bob@example.org\nSubject: two\n\n.dotted\nend\n";

TEST_F(GetMailTest, KeepModeSkipsKnownAndFetchesNewBesideTakenSpoolNames) {
    Settings().VerboseMode = false;
    tree.Write("e-mail.uid", Id("aaa"));
    tree.Write("spool/M0000.MSG", "old"); // the host reader does not tell case apart
    Script s = Listed(2);
    s.Expect("LIST 1").Send("+OK 1 120").Expect("LIST 2").Send("+OK 2 200");
    SendBody(s.Expect("RETR 2"), kMail2).Expect("QUIT").Send("+OK bye");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spool(), (Lines{"M0000.MSG", "m0001.msg"}));
    EXPECT_EQ(Spooled("M0000.MSG"), "old");
    EXPECT_EQ(Spooled("m0001.msg"), kMail2File);
    EXPECT_EQ(Uids(), Id("aaa") + Id("bbb"));
    EXPECT_EQ(RunLog(), (Lines{"POP3: 127.0.0.1:" + server.PortText(), "2 mails, 320 bytes",
                               "1 mails skipped"}));
}

TEST_F(GetMailTest, DeleteModeDeletesKnownAndFetchedMessages) {
    Settings().VerboseMode = false;
    box.POP3KEEP = "nein";
    tree.Write("e-mail.uid", "<x@y.z>" + Id("aaa") + "<u@v.w>");
    Script s = Listed(2);
    s.Expect("LIST 1").Send("+OK 1 120").Expect("DELE 1").Send("+OK");
    s.Expect("LIST 2").Send("+OK 2 200");
    SendBody(s.Expect("RETR 2"), kMail2).Expect("DELE 2").Send("+OK").Expect("QUIT").Send("+OK");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spooled("m0000.msg"), kMail2File);
    // The deleted message's identifier is gone; the fetched one never stays.
    EXPECT_EQ(Uids(), "<x@y.z><u@v.w>");
}

TEST_F(GetMailTest, SenderFilterReadsEveryHeaderAndRemembersFilteredInKeepMode) {
    Settings().VerboseMode = false;
    LoadPho("brix-pho: BOB@example.org\n");
    tree.Write("e-mail.uid", Id("aaa"));
    Script s = Listed(3);
    SendBody(s.Expect("TOP 1 0"), {"From: Ann <ann@example.org>", ""});
    s.Expect("LIST 1").Send("+OK 1 120");
    SendBody(s.Expect("TOP 2 0"), {"From: bob@example.org", ""});
    s.Expect("LIST 2").Send("+OK 2 200");
    SendBody(s.Expect("TOP 3 0"), {"From: Ann <ann@example.org>", ""});
    s.Expect("LIST 3").Send("+OK 3 120");
    SendBody(s.Expect("RETR 3"), kMail1).Expect("QUIT").Send("+OK bye");
    ScriptServer server(s);
    Run(server, true);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spool(), Lines{"m0000.msg"});
    EXPECT_EQ(Spooled("m0000.msg"), kMail1File);
    EXPECT_EQ(Uids(), Id("aaa") + Id("bbb") + Id("ccc"));
    EXPECT_EQ(RunLog().back(), "2 mails skipped");
}

// Verbose mode sends no LIST and echoes the run log; debug level one adds a
// line per message.
TEST_F(GetMailTest, VerboseModeSendsNoListAndEchoesTheRunLog) {
    Settings().DebugLevel = 1;
    tree.Write("e-mail.uid", Id("aaa"));
    Script s = Listed(2);
    SendBody(s.Expect("RETR 2"), kMail2).Expect("QUIT").Send("+OK bye");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(RunLog(), (Lines{"POP3: 127.0.0.1:" + server.PortText(), "2 mails, 320 bytes",
                               "skipping mail #1", "fetching mail #2", "1 mails skipped"}));
    EXPECT_NE(screen.output.find("\n2 mails, 320 bytes\n"), std::string::npos);
}

// Without UIDL, messages are known by Message-ID or the digest of their
// header, in a file of their own.
TEST_F(GetMailTest, RefusedUidlSwitchesToMessageIds) {
    Settings().VerboseMode = false;
    const Lines header1 = {"Message-ID: <m1@example.org>", "From: Ann <ann@example.org>", ""};
    const Lines header2 = {"From: bob@example.org", "Subject: no id", ""};
    tree.Write("e-mail.uid", "<untouched@x.y>");
    Script s = LoginScript();
    s.Expect("STAT").Send("+OK 2 200").Expect("UIDL").Send("-ERR command not implemented");
    SendBody(s.Expect("TOP 1 0"), header1).Expect("LIST 1").Send("+OK 1 100");
    SendBody(s.Expect("RETR 1"), {header1[0], header1[1], "", "hello"});
    SendBody(s.Expect("TOP 2 0"), header2).Expect("LIST 2").Send("+OK 2 100");
    SendBody(s.Expect("RETR 2"), {header2[0], header2[1], "", "body"}).Expect("QUIT").Send("+OK");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spool(), (Lines{"m0000.msg", "m0001.msg"}));
    const std::string digest = DigestToHex(MD5String(header2[0] + "\r\n" + header2[1] + "\r\n"));
    EXPECT_EQ(tree.Read("e-mail.idx"), "<m1@example.org><" + digest + ">");
    EXPECT_EQ(Uids(), "<untouched@x.y>");
    EXPECT_EQ(RunLog()[1], "Error (getmail): Uidl. (Error=-ERR command not implemented)");
}

// A refusal is logged with its command and the reply, in the debug log too.
// Once logged in, the end part still writes the UID file and sends QUIT.
TEST_F(GetMailTest, EveryRefusalIsLoggedWithItsCommand) {
    Settings().VerboseMode = false;
    Settings().DebugLevel = 1;
    auto retr = [] { return Listed(1).Expect("LIST 1").Send("+OK 1 100").Expect("RETR 1"); };
    auto fetched = [=] {
        Script s = retr();
        return SendBody(s, {"Subject: x", "", "body"});
    };
    struct {
        const char* name;
        Script script;
        std::string error;
        bool endPart = true;
        bool stored = false; // the message is in the spool and known
    } cases[] = {
        {"greeting", Script().Send("-ERR busy"), "Connect. (Error=-ERR busy)", false},
        {"STAT", LoginScript().Expect("STAT").Send("+OK many"), "Stat. (Error=+OK many)", false},
        {"RETR", retr().Send("-ERR gone").Expect("QUIT").Send("+OK"), "Retr. (Error=-ERR gone)"},
        // The refused RETR ended the job; the QUIT that fails after it does
        // not hide it.
        {"RETR then QUIT", retr().Send("-ERR gone").Expect("QUIT").Send("-ERR still busy"),
         "Retr. (Error=-ERR gone)"},
        // Delete mode: the message stays on the server and is remembered, so
        // that the next run deletes it without fetching it again.
        {"DELE", fetched().Expect("DELE 1").Send("-ERR read-only").Expect("QUIT").Send("+OK"),
         "Dele. (Error=-ERR read-only)", true, true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* name : {"e-mail.uid", "qv-ppp.log", "BOX1.log", "spool/m0000.msg"})
            std::filesystem::remove(tree / name);
        box.POP3KEEP = std::string(c.name) == "DELE" ? "N" : "J";
        ScriptServer server(c.script);
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(RunLog().back(), "Error (getmail): " + c.error);
        EXPECT_EQ(BoxLog().back(), "Error (getmail): " + c.error);
        EXPECT_EQ(tree.Exists("e-mail.uid"), c.endPart);
        EXPECT_EQ(Uids(), c.stored ? Id("aaa") : "");
        EXPECT_EQ(Spool().size(), c.stored ? 1u : 0u);
    }
}

TEST_F(GetMailTest, FullDiskLeavesNoSpoolFileAndNoDeletion) {
    box.POP3KEEP = "N";
    Script s = Listed(1);
    SendBody(s.Expect("RETR 1"), {"Subject: big", "", std::string(8000, 'x')});
    ScriptServer server(s.Expect("RSET").Send("+OK").Expect("QUIT").Send("+OK"));
    box.POP3PORT = server.PortText();
    {
        testing::FileSizeLimit limit(4000);
        try {
            GetMail(box, false);
            ADD_FAILURE() << "nothing raised";
        } catch (const EStringListError& e) {
            EXPECT_EQ(e.Message(), "Error: Savetofile");
        }
    }
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_TRUE(Spool().empty());
    EXPECT_EQ(Uids(), "");
}

} // namespace
} // namespace brix
