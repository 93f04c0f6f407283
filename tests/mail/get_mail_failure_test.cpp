// The mail fetch job when the server refuses or the spool cannot be written:
// the logged line, what is sent after it, and what the spool and the UID
// file keep.

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

// Every refusal: the logged line names the command and carries the reply.
// Once logged in, the end part still writes the UID file and sends QUIT.
TEST_F(GetMailTest, EveryRefusalIsLoggedWithItsCommand) {
    Settings().VerboseMode = false;
    Settings().DebugLevel = 1;
    auto user = [] { return Script().Send("+OK").Expect("USER joe"); };
    auto list = [] { return Listed(1).Expect("LIST 1"); };
    auto retr = [] { return Listed(1).Expect("LIST 1").Send("+OK 1 100").Expect("RETR 1"); };
    auto fetched = [=] {
        Script s = retr();
        return SendBody(s, kMail);
    };
    struct {
        const char* name;
        Script script;
        std::string error;
        bool endPart = true;
        bool stored = false; // the message is in the spool and known
    } cases[] = {
        {"greeting", Script().Send("-ERR busy"), "Connect. (Error=-ERR busy)", false},
        {"USER", user().Send("-ERR who are you"), "User. (Error=-ERR who are you)", false},
        {"PASS", user().Send("+OK").Expect("PASS secret").Send("-ERR [AUTH] wrong"),
         "Pass. (Error=-ERR [AUTH] wrong)", false},
        {"STAT", LoginScript().Expect("STAT").Send("-ERR locked"), "Stat. (Error=-ERR locked)",
         false},
        {"unreadable STAT", LoginScript().Expect("STAT").Send("+OK many"), "Stat. (Error=+OK many)",
         false},
        {"LIST", list().Send("-ERR no such message").Expect("QUIT").Send("+OK"),
         "ListOneMsg. (Error=-ERR no such message)"},
        {"unreadable LIST", list().Send("+OK 1 lots").Expect("QUIT").Send("+OK"),
         "ListOneMsg. (Error=+OK 1 lots)"},
        {"TOP", Listed(1).Expect("TOP 1 0").Send("-ERR no TOP").Expect("QUIT").Send("+OK"),
         "Top. (Error=-ERR no TOP)"},
        {"RETR", retr().Send("-ERR gone").Expect("QUIT").Send("+OK"), "Retr. (Error=-ERR gone)"},
        // The refused RETR ended the job; the QUIT that fails after it does
        // not hide it.
        {"RETR then QUIT", retr().Send("-ERR gone").Expect("QUIT").Send("-ERR still busy"),
         "Retr. (Error=-ERR gone)"},
        // In delete mode: the message stays on the server and is remembered,
        // so that the next run deletes it without fetching it again.
        {"DELE", fetched().Expect("DELE 1").Send("-ERR read-only").Expect("QUIT").Send("+OK"),
         "Dele. (Error=-ERR read-only)", true, true},
        {"QUIT", fetched().Expect("QUIT").Send("-ERR cannot commit"),
         "Quit. (Error=-ERR cannot commit)", true, true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* name : {"e-mail.uid", "qv-ppp.log", "BOX1.log", "spool/m0000.msg"})
            std::filesystem::remove(tree / name);
        box.POP3KEEP = std::string(c.name) == "DELE" ? "N" : "J";
        ScriptServer server(c.script);
        if (std::string(c.name) == "TOP") LoadPho("brix-pho: x@y\n");
        Run(server, std::string(c.name) == "TOP");
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(RunLog().back(), "Error (getmail): " + c.error);
        EXPECT_EQ(BoxLog().back(), "Error (getmail): " + c.error); // the debug log gets it too
        EXPECT_EQ(tree.Exists("e-mail.uid"), c.endPart);
        EXPECT_EQ(Uids(), c.stored ? Id("aaa") : "");
        EXPECT_EQ(Spool().size(), c.stored ? 1u : 0u);
        EXPECT_EQ(server.Received().ends_with("QUIT\r\n"), c.endPart) << server.Received();
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
