// The mail fetch job against the scripted server: the dialogue byte for
// byte in each mode, the spool files and the UID file it leaves, its log
// lines and status texts, and the user abort.

#include "clients/md5.h"
#include "get_mail_fixture.h"
#include "mail/brix_pop3.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::EscAtCheck;
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

TEST(TbrixPop3, ScanListingIsReadLeniently) {
    struct Case {
        const char* reply;
        bool ok;
        std::int64_t size;
    } cases[] = {{"+OK 2 320", true, 320},
                 {"+OK 2 320 octets", true, 320},
                 {"+OK  2   5000000000", true, 5000000000},
                 {"+OK 2 0", true, 0},
                 {"+OK 2", false, 0},
                 {"+OK", false, 0},
                 {"+OK 2 abc", false, 0},
                 {"+OK 2 12x", false, 0},
                 {"+OK 2 -5", false, 0},
                 {"+OK 2 99999999999999999999", false, 0},
                 {"-ERR 2 320", false, 0}};
    for (const Case& c : cases) {
        std::int64_t size = -1;
        EXPECT_EQ(ParseScanListing(c.reply, size), c.ok) << c.reply;
        if (c.ok) {
            EXPECT_EQ(size, c.size) << c.reply;
        }
    }
}

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

TEST_F(GetMailTest, FilteredSenderIsDeletedUnreadInDeleteMode) {
    Settings().VerboseMode = false;
    box.POP3KEEP = "N";
    LoadPho("brix-pho: ann@example.org\n");
    Script s = Listed(2);
    SendBody(s.Expect("TOP 1 0"), {"From: Ann <ann@example.org>", ""});
    s.Expect("LIST 1").Send("+OK 1 120").Expect("DELE 1").Send("+OK");
    SendBody(s.Expect("TOP 2 0"), {"From: bob@example.org", ""});
    s.Expect("LIST 2").Send("+OK 2 200");
    SendBody(s.Expect("RETR 2"), kMail2).Expect("DELE 2").Send("+OK");
    s.Expect("QUIT").Send("+OK bye");
    ScriptServer server(s);
    Run(server, true);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spool(), Lines{"m0000.msg"});
    EXPECT_EQ(Uids(), "");
}

TEST_F(GetMailTest, ApopLogsInWithTheDigestOfTheGreetingStamp) {
    box.POP3AUTH = "ja";
    std::string digest =
        DigestToHex(MD5String(std::string("<1896.697170952@dbc.mtview.ca.us>") + "secret"));
    Script s = Script().Send(testing::kGreeting).Expect("APOP joe " + digest).Send("+OK");
    s.Expect("STAT").Send("+OK 0 0");
    SendBody(s.Expect("UIDL"), {}).Expect("QUIT").Send("+OK");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST_F(GetMailTest, TwoServersShareTheSpoolAndItsNumbers) {
    Settings().VerboseMode = false;
    Script first = Listed(2);
    first.Expect("LIST 1").Send("+OK 1 120");
    SendBody(first.Expect("RETR 1"), kMail1);
    first.Expect("LIST 2").Send("+OK 2 200");
    SendBody(first.Expect("RETR 2"), kMail2).Expect("QUIT").Send("+OK");
    Script second = Script().Send("+OK").Expect("USER ann").Send("+OK");
    second.Expect("PASS secret").Send("+OK").Expect("STAT").Send("+OK 1 10");
    SendBody(second.Expect("UIDL"), {"1 aaa"}).Expect("LIST 1").Send("+OK 1 10");
    SendBody(second.Expect("RETR 1"), {"Subject: three", "", "x"}).Expect("QUIT").Send("+OK");
    ScriptServer one(first), two(second);
    box.POP3SERVER = "127.0.0.1 127.0.0.1";
    box.POP3PORT = one.PortText() + " " + two.PortText();
    box.POP3USER = "joe ann";
    GetMail(box, false);
    EXPECT_TRUE(one.Passed()) << one.Report();
    EXPECT_TRUE(two.Passed()) << two.Report();
    EXPECT_EQ(Spool(), (Lines{"m0000.msg", "m0001.msg", "m0002.msg"}));
    EXPECT_EQ(Spooled("m0002.msg"), "From ann@localhost\nSubject: three\n\nx\n");
    // The second server sees what the first one recorded; equal UIDLs of two
    // accounts stay apart.
    EXPECT_EQ(Uids(), Id("aaa") + Id("bbb") + "<aaa@ann.127.0.0.1>");
    EXPECT_EQ(RunLog(), (Lines{"POP3: 127.0.0.1:" + one.PortText(), "2 mails, 320 bytes",
                               "POP3: 127.0.0.1:" + two.PortText(), "1 mails, 10 bytes"}));
}

TEST_F(GetMailTest, EmptyMailboxLogsZeroAndRewritesTheUidFile) {
    tree.Write("e-mail.uid", "<kept@joe.other>");
    ScriptServer server(Listed(0).Expect("QUIT").Send("+OK"));
    std::filesystem::last_write_time(tree.Path() + "e-mail.uid",
                                     std::filesystem::file_time_type::clock::now() -
                                         std::chrono::hours(1));
    auto before = std::filesystem::last_write_time(tree.Path() + "e-mail.uid");
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(RunLog(), (Lines{"POP3: 127.0.0.1:" + server.PortText(), "0 mails, 0 bytes"}));
    EXPECT_EQ(Uids(), "<kept@joe.other>");
    EXPECT_NE(std::filesystem::last_write_time(tree.Path() + "e-mail.uid"), before);
    EXPECT_TRUE(Spool().empty());
}

TEST_F(GetMailTest, BatchedSmtpFormTakesItsRecipientFromTheAccount) {
    Settings().BatchedSmtp = true;
    struct {
        const char* useEnvelope;
        const char* envelope;
        Lines message;
        const char* file;
    } cases[] = {
        {"", "", kMail2,
         "HELO 127.0.0.1\nRCPT TO:<postmaster@localhost>\nDATA\nFrom: bob@example.org\n"
         "Subject: two\n\n..dotted\nend\n.\nQUIT\n"},
        {"Y",
         "someone@else",
         {"X-Envelope-To: joe@example.org", "", "."},
         "HELO 127.0.0.1\nRCPT TO:<joe@example.org>\nDATA\nX-Envelope-To: joe@example.org\n\n"
         "..\n.\nQUIT\n"},
    };
    for (const auto& c : cases) {
        box.POP3USEENVELOPE = c.useEnvelope;
        box.POP3ENVELOPE = c.envelope;
        std::filesystem::remove(tree.Path() + "e-mail.uid");
        ScriptServer server(
            SendBody(Listed(1).Expect("RETR 1"), c.message).Expect("QUIT").Send("+OK"));
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(Spooled(Spool().back()), c.file);
        // The default envelope is written back into the box.
        if (!*c.envelope) {
            EXPECT_EQ(box.POP3ENVELOPE, "postmaster@localhost");
        }
    }
}

// Verbose mode sends no LIST and echoes the run log on the console.
TEST_F(GetMailTest, VerboseModeAtDebugLevelOneWritesHeaderAndProtocolLines) {
    Settings().DebugLevel = 1;
    tree.Write("e-mail.uid", Id("aaa"));
    Script s = Listed(2);
    SendBody(s.Expect("RETR 2"), kMail2).Expect("QUIT").Send("+OK bye");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "USER joe\r\nPASS secret\r\nSTAT\r\nUIDL\r\nRETR 2\r\nQUIT\r\n");
    EXPECT_EQ(Spooled("m0000.msg"), kMail2File);
    EXPECT_NE(screen.output.find("\n2 mails, 320 bytes\n"), std::string::npos);
    EXPECT_EQ(BoxLog(), (Lines{"", testing::kStamp + "getmail 127.0.0.1:" + server.PortText(),
                               std::string(">") + testing::kGreeting, "<USER joe", ">+OK",
                               "<PASS secret", ">+OK", "<STAT", ">+OK 2 320", "<UIDL", ">+OK",
                               "<RETR 2", ">+OK", "<QUIT", ">+OK bye"}));
    EXPECT_EQ(RunLog(), (Lines{"POP3: 127.0.0.1:" + server.PortText(), "2 mails, 320 bytes",
                               "skipping mail #1", "fetching mail #2", "1 mails skipped"}));
}

TEST_F(GetMailTest, DebugLevelTwoAddsTheSocketLines) {
    Settings().DebugLevel = 2;
    ScriptServer server(Listed(0).Expect("QUIT").Send("+OK"));
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    Lines log = BoxLog();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[1], testing::kStamp + "getmail 127.0.0.1:" + server.PortText());
    // Socket lines come between the header and the greeting.
    auto greeting = std::find(log.begin(), log.end(), std::string(">") + testing::kGreeting);
    ASSERT_NE(greeting, log.end());
    EXPECT_GT(greeting - log.begin(), 2);
    EXPECT_EQ(std::count(log.begin(), log.end(), "<QUIT"), 1);
}

TEST_F(GetMailTest, StatusWindowShowsEachStep) {
    Settings().VerboseMode = false;
    OpenStatusScreen("banner", "sub", tree.Path());
    SetLogScreenShown(true);
    tree.Write("e-mail.uid", Id("aaa"));
    Script s = Listed(2);
    s.Expect("LIST 1").Send("+OK 1 120").Expect("LIST 2").Send("+OK 2 2000");
    SendBody(s.Expect("RETR 2"), kMail2).Expect("QUIT").Send("+OK bye");
    ScriptServer server(s);
    screen.writes.clear();
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    tbrix_sinf& line = StatusScreen()->Pop3Line();
    // The info field: row 1 of the POP3 block, column 6.
    Lines infos;
    for (const auto& w : screen.writes)
        if (w.x == line.Col() + 6 && w.y == line.Row() + 1 &&
            w.text.find_first_not_of(' ') != std::string::npos)
            infos.push_back(w.text);
    EXPECT_EQ(infos, (Lines{"connecting ...", "UIDL", "2 mails, 320 bytes",
                            "skipping mail #1 (120) [From: ???]", "mail #2 (1,95K) [From: ???]"}));
    const std::string where = "127.0.0.1:" + server.PortText();
    EXPECT_EQ(line.Server(), where);
    EXPECT_EQ(screen.Text(line.Col() + 6, line.Row(), static_cast<int>(where.size())), where);
    EXPECT_EQ(line.MsgDone(), 2);
    EXPECT_EQ(line.MsgTotal(), 2);
    EXPECT_EQ(line.BytesDone(), 2120);
    EXPECT_EQ(line.BytesTotal(), 320);
    // Nothing reaches the console beside the window.
    EXPECT_EQ(screen.output, "");
}

TEST_F(GetMailTest, SocketTimeoutComesFromTheBox) {
    box.POP3TIMEOUT = "1";
    ScriptServer server(Script().Pause(2500).Send("+OK late"));
    auto start = std::chrono::steady_clock::now();
    Run(server);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    ASSERT_EQ(RunLog().size(), 2u);
    EXPECT_EQ(RunLog()[1].rfind("Error (getmail): ", 0), 0u) << RunLog()[1];
    EXPECT_NE(RunLog()[1].find("(Error=110)"), std::string::npos) << RunLog()[1];
}

TEST_F(GetMailTest, EmptyPortFailsWithNoService) {
    box.POP3PORT = "";
    GetMail(box, false);
    EXPECT_EQ(RunLog(), (Lines{"POP3: 127.0.0.1:",
                               "Error (getmail): Connect: No service specified. (Error=)"}));
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

TEST_F(GetMailTest, UserAbortBeforeConnectingSendsNothing) {
    EscAtCheck esc(1);
    // Nobody is expected: a short deadline.
    ScriptServer server(Script{}, std::chrono::milliseconds(300));
    Run(server);
    EXPECT_EQ(server.Connections(), 0u);
    EXPECT_EQ(RunLog(), Lines{"aborted by user ..."});
    EXPECT_FALSE(tree.Exists("e-mail.uid"));
}

TEST_F(GetMailTest, AbortEndsTheJobForLaterServers) {
    EscAtCheck esc(2);
    ScriptServer one(LoginScript().Expect("STAT").Send("+OK 0 0")),
        two(Script{}, std::chrono::milliseconds(300));
    box.POP3SERVER = "127.0.0.1 127.0.0.1";
    box.POP3PORT = one.PortText() + " " + two.PortText();
    GetMail(box, false);
    EXPECT_EQ(two.Connections(), 0u);
    EXPECT_EQ(RunLog().back(), "aborted by user ...");
}

} // namespace
} // namespace brix
