// The mail fetch job when the server refuses, breaks off or the spool cannot
// be written: the logged line, what is sent after it, and what the spool and
// the UID file keep.

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

const Lines kMail = {"From: bob@example.org", "Subject: two", "", "body"};

struct Refusal {
    const char* name;
    bool keep;
    Script script;
    const char* logged;
    // The end part ran: the UID file was written and QUIT sent.
    bool endPart;
    const char* uids; // UID file afterwards
    std::size_t spoolFiles;
};

std::vector<Refusal> Refusals() {
    std::vector<Refusal> cases;
    cases.push_back({"greeting", true, Script().Send("-ERR busy"),
                     "Error (getmail): Connect. (Error=-ERR busy)", false, "", 0});
    cases.push_back({"USER", true, Script().Send("+OK").Expect("USER joe").Send("-ERR who are you"),
                     "Error (getmail): User. (Error=-ERR who are you)", false, "", 0});
    cases.push_back({"PASS", true,
                     Script()
                         .Send("+OK")
                         .Expect("USER joe")
                         .Send("+OK")
                         .Expect("PASS secret")
                         .Send("-ERR [AUTH] wrong"),
                     "Error (getmail): Pass. (Error=-ERR [AUTH] wrong)", false, "", 0});
    cases.push_back({"STAT", true, LoginScript().Expect("STAT").Send("-ERR locked"),
                     "Error (getmail): Stat. (Error=-ERR locked)", false, "", 0});
    cases.push_back({"unreadable STAT", true, LoginScript().Expect("STAT").Send("+OK many"),
                     "Error (getmail): Stat. (Error=+OK many)", false, "", 0});
    {
        Script s = Listed(1);
        s.Expect("LIST 1").Send("-ERR no such message").Expect("QUIT").Send("+OK");
        cases.push_back({"LIST", true, s,
                         "Error (getmail): ListOneMsg. (Error=-ERR no such message)", true, "", 0});
    }
    {
        Script s = Listed(1);
        s.Expect("LIST 1").Send("+OK 1 lots").Expect("QUIT").Send("+OK");
        cases.push_back({"unreadable LIST", true, s,
                         "Error (getmail): ListOneMsg. (Error=+OK 1 lots)", true, "", 0});
    }
    {
        Script s = Listed(1);
        s.Expect("LIST 1").Send("+OK 1 100").Expect("RETR 1").Send("-ERR gone");
        s.Expect("QUIT").Send("+OK");
        cases.push_back({"RETR", true, s, "Error (getmail): Retr. (Error=-ERR gone)", true, "", 0});
    }
    {
        Script s = Listed(1);
        s.Expect("LIST 1").Send("+OK 1 100");
        SendBody(s.Expect("RETR 1"), kMail).Expect("DELE 1").Send("-ERR read-only");
        s.Expect("QUIT").Send("+OK");
        // The message is stored and stays on the server: it is remembered,
        // so the next run deletes it without fetching it again.
        cases.push_back({"DELE", false, s, "Error (getmail): Dele. (Error=-ERR read-only)", true,
                         "<aaa@joe.127.0.0.1>", 1});
    }
    {
        Script s = Listed(1);
        s.Expect("LIST 1").Send("+OK 1 100");
        SendBody(s.Expect("RETR 1"), kMail).Expect("QUIT").Send("-ERR cannot commit");
        cases.push_back({"QUIT", true, s, "Error (getmail): Quit. (Error=-ERR cannot commit)", true,
                         "<aaa@joe.127.0.0.1>", 1});
    }
    {
        // The failed QUIT of the end part replaces the refused RETR.
        Script s = Listed(1);
        s.Expect("LIST 1").Send("+OK 1 100").Expect("RETR 1").Send("-ERR gone");
        s.Expect("QUIT").Send("-ERR still busy");
        cases.push_back({"RETR then QUIT", true, s,
                         "Error (getmail): Quit. (Error=-ERR still busy)", true, "", 0});
    }
    return cases;
}

TEST_F(GetMailTest, EveryRefusalIsLoggedWithItsCommand) {
    Settings().VerboseMode = false;
    Settings().DebugLevel = 1;
    for (Refusal& c : Refusals()) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(tree.Path() + "e-mail.uid");
        std::filesystem::remove(tree.Path() + "qv-ppp.log");
        std::filesystem::remove(tree.Path() + "BOX1.log");
        for (const std::string& name : Spool())
            std::filesystem::remove(tree.Path() + "spool/" + name);
        box.POP3KEEP = c.keep ? "J" : "N";
        ScriptServer server(c.script);
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        Lines log = RunLog();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), c.logged);
        EXPECT_EQ(BoxLog().back(), c.logged); // the debug log gets the error too
        EXPECT_EQ(tree.Exists("e-mail.uid"), c.endPart);
        EXPECT_EQ(Uids(), c.uids);
        EXPECT_EQ(Spool().size(), c.spoolFiles);
        std::string received = server.Received();
        bool quit = received.size() >= 6 && received.substr(received.size() - 6) == "QUIT\r\n";
        EXPECT_EQ(quit, c.endPart) << received;
    }
}

TEST_F(GetMailTest, RefusedTopEndsTheJobAfterTheEndPart) {
    LoadPho("brix-pho: x@y\n");
    Script s = Listed(1);
    s.Expect("TOP 1 0").Send("-ERR no TOP").Expect("QUIT").Send("+OK");
    ScriptServer server(s);
    Run(server, true);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(RunLog().back(), "Error (getmail): Top. (Error=-ERR no TOP)");
    EXPECT_EQ(Uids(), "");
}

// The connection breaks inside the body of RETR: nothing is stored, nothing
// recorded or deleted, and the failed QUIT of the end part is what is logged.
TEST_F(GetMailTest, ConnectionLostInsideRetrStoresAndRecordsNothing) {
    for (bool keep : {true, false}) {
        SCOPED_TRACE(keep ? "keep" : "delete");
        box.POP3KEEP = keep ? "J" : "N";
        tree.Write("e-mail.uid", "<old@x.y>");
        Script s = Listed(1);
        s.Expect("RETR 1").Send("+OK").SendLines({"From: bob@example.org", "Subject: cut"});
        s.Close();
        ScriptServer server(s);
        Run(server);
        EXPECT_TRUE(Spool().empty());
        EXPECT_EQ(Uids(), "<old@x.y>");
        EXPECT_EQ(server.Received(), "USER joe\r\nPASS secret\r\nSTAT\r\nUIDL\r\nRETR 1\r\n");
        // The peer's close was seen during the body, so QUIT reads no reply.
        EXPECT_EQ(RunLog().back(), "Error (getmail): Quit. (Error=)");
    }
}

TEST_F(GetMailTest, ConnectionLostBeforeQuitKeepsDeletedMessagesKnown) {
    box.POP3KEEP = "N";
    Script s = Listed(1);
    SendBody(s.Expect("RETR 1"), kMail).Expect("DELE 1").Send("+OK").Expect("QUIT").Close();
    ScriptServer server(s);
    Run(server);
    EXPECT_EQ(Spool(), Lines{"m0000.msg"});
    // The deletion was never committed; the next run deletes the message
    // instead of fetching it a second time.
    EXPECT_EQ(Uids(), Id("aaa"));
    EXPECT_EQ(RunLog().back(), "Error (getmail): Quit. (Error=)");

    Script again = Listed(1);
    again.Expect("DELE 1").Send("+OK").Expect("QUIT").Send("+OK");
    ScriptServer second(again);
    Run(second);
    EXPECT_TRUE(second.Passed()) << second.Report();
    EXPECT_EQ(Spool(), Lines{"m0000.msg"});
    EXPECT_EQ(Uids(), "");
}

// A spool file that cannot be created stops the job and records nothing; in
// delete mode the connection's deletions are withdrawn with RSET before QUIT.
TEST_F(GetMailTest, SpoolFailureRecordsNothingAndWithdrawsDeletions) {
    box.POP3SPOOL = tree.Path() + "missing/";
    for (bool keep : {true, false}) {
        SCOPED_TRACE(keep ? "keep" : "delete");
        box.POP3KEEP = keep ? "J" : "N";
        tree.Write("e-mail.uid", Id("aaa"));
        Script s = Listed(2);
        if (!keep) s.Expect("DELE 1").Send("+OK");
        SendBody(s.Expect("RETR 2"), kMail);
        if (!keep) s.Expect("RSET").Send("+OK");
        ScriptServer server(s.Expect("QUIT").Send("+OK"));
        box.POP3PORT = server.PortText();
        EXPECT_THROW(GetMail(box, false), EInOutError);
        EXPECT_TRUE(server.Passed()) << server.Report();
        // Nothing was deleted, so the known message stays known.
        EXPECT_EQ(Uids(), Id("aaa"));
    }
}

TEST_F(GetMailTest, FullDiskLeavesNoSpoolFileAndNoDeletion) {
    box.POP3KEEP = "N";
    Script s = Listed(1);
    Lines big = kMail;
    big.push_back(std::string(8000, 'x'));
    SendBody(s.Expect("RETR 1"), big).Expect("RSET").Send("+OK").Expect("QUIT").Send("+OK");
    ScriptServer server(s);
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
