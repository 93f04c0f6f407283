// The mail fetch job against the scripted server: the dialogue byte for
// byte in each mode, the spool files and the UID file it leaves, its log
// lines, and the user abort.

#include "get_mail_fixture.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::EscAtCheck;
using testing::GetMailTest;
using testing::Id;
using testing::Listed;
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
    EXPECT_EQ(server.Received(),
              "USER joe\r\nPASS secret\r\nSTAT\r\nUIDL\r\nLIST 1\r\nLIST 2\r\nRETR 2\r\nQUIT\r\n");
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
    SendBody(s.Expect("RETR 2"), kMail2).Expect("DELE 2").Send("+OK");
    s.Expect("QUIT").Send("+OK bye");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "USER joe\r\nPASS secret\r\nSTAT\r\nUIDL\r\nLIST 1\r\nDELE 1\r\n"
                                 "LIST 2\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
    EXPECT_EQ(Spooled("m0000.msg"), kMail2File);
    // The deleted message's identifier is gone; the fetched one never stays.
    EXPECT_EQ(Uids(), "<x@y.z><u@v.w>");
    EXPECT_EQ(RunLog(), (Lines{"POP3: 127.0.0.1:" + server.PortText(), "2 mails, 320 bytes"}));
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

// Verbose mode sends no LIST and echoes the run log on the console; debug
// level one adds a line per message.
TEST_F(GetMailTest, VerboseModeSendsNoListAndEchoesTheRunLog) {
    Settings().DebugLevel = 1;
    tree.Write("e-mail.uid", Id("aaa"));
    Script s = Listed(2);
    SendBody(s.Expect("RETR 2"), kMail2).Expect("QUIT").Send("+OK bye");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "USER joe\r\nPASS secret\r\nSTAT\r\nUIDL\r\nRETR 2\r\nQUIT\r\n");
    EXPECT_EQ(Spooled("m0000.msg"), kMail2File);
    const Lines log = {"POP3: 127.0.0.1:" + server.PortText(), "2 mails, 320 bytes",
                       "skipping mail #1", "fetching mail #2", "1 mails skipped"};
    EXPECT_EQ(RunLog(), log);
    EXPECT_NE(screen.output.find("\n2 mails, 320 bytes\n"), std::string::npos);
}

TEST_F(GetMailTest, UserAbortInTheLoopWritesStateAndQuits) {
    // Checks: 1 before connecting, 2 after login, 3 at message 1, 4 before
    // its RETR, 5 after it is stored.
    EscAtCheck esc(5);
    Script s = Listed(2);
    SendBody(s.Expect("RETR 1"), kMail1).Expect("QUIT").Send("+OK");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spool(), Lines{"m0000.msg"});
    EXPECT_EQ(Uids(), Id("aaa"));
    EXPECT_EQ(RunLog().back(), "aborted by user ...");
    EXPECT_EQ(screen.bells, 1);
}

} // namespace
} // namespace brix
