// The mail fetch job on servers without a usable UIDL answer: messages are
// known by their Message-ID (or the digest of their header), remembered in
// "e-mail.idx", and UIDL lines are matched by number, not by position.

#include "clients/md5.h"
#include "get_mail_fixture.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::GetMailTest;
using testing::Id;
using testing::LoginScript;
using testing::Script;
using testing::ScriptServer;
using testing::SendBody;
using Lines = std::vector<std::string>;

const Lines kHeader1 = {"Message-ID: <m1@example.org>", "From: Ann <ann@example.org>", ""};
const Lines kHeader2 = {"From: bob@example.org", "Subject: no id", ""};
const Lines kMail1 = {"Message-ID: <m1@example.org>", "From: Ann <ann@example.org>", "", "hello"};
const Lines kMail2 = {"From: bob@example.org", "Subject: no id", "", "body"};

std::string DigestId(const Lines& header) {
    std::string text;
    for (const std::string& line : header)
        if (!line.empty()) text += line + "\r\n";
    return "<" + DigestToHex(MD5String(text)) + ">";
}

// Login, STAT 2, UIDL as given (nullptr: refused).
Script Start(const Lines* uidl) {
    Script s = LoginScript();
    s.Expect("STAT").Send("+OK 2 200");
    if (uidl)
        SendBody(s.Expect("UIDL"), *uidl);
    else
        s.Expect("UIDL").Send("-ERR command not implemented");
    return s;
}

TEST_F(GetMailTest, RefusedUidlSwitchesToMessageIds) {
    Settings().VerboseMode = false;
    OpenStatusScreen("banner", "sub", tree.Path());
    tree.Write("e-mail.uid", "<untouched@x.y>");
    Script s = Start(nullptr);
    SendBody(s.Expect("TOP 1 0"), kHeader1).Expect("LIST 1").Send("+OK 1 100");
    SendBody(s.Expect("RETR 1"), kMail1);
    SendBody(s.Expect("TOP 2 0"), kHeader2).Expect("LIST 2").Send("+OK 2 100");
    SendBody(s.Expect("RETR 2"), kMail2).Expect("QUIT").Send("+OK");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spool(), (Lines{"m0000.msg", "m0001.msg"}));
    EXPECT_EQ(tree.Read("e-mail.idx"), "<m1@example.org>" + DigestId(kHeader2));
    EXPECT_EQ(Uids(), "<untouched@x.y>");
    EXPECT_EQ(RunLog()[1], "Error (getmail): Uidl. (Error=-ERR command not implemented)");
    // The sender is known from the header before the decision.
    EXPECT_EQ(StatusScreen()->Pop3Line().Info(), "mail #2 (100) [From: bob@example.org]");
}

// A UIDL answer without a line for every message switches without an error.
TEST_F(GetMailTest, IncompleteUidlAnswerSwitchesToMessageIds) {
    for (const Lines& uidl : {Lines{"1 aaa"}, Lines{"1 aaa", "3 ccc"}}) {
        std::filesystem::remove(tree / "e-mail.idx");
        std::filesystem::remove(tree / "qv-ppp.log");
        Script s = Start(&uidl);
        SendBody(s.Expect("TOP 1 0"), kHeader1);
        SendBody(s.Expect("RETR 1"), kMail1);
        SendBody(s.Expect("TOP 2 0"), kHeader2);
        SendBody(s.Expect("RETR 2"), kMail2).Expect("QUIT").Send("+OK");
        ScriptServer server(s);
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
        EXPECT_EQ(tree.Read("e-mail.idx"), "<m1@example.org>" + DigestId(kHeader2));
        EXPECT_FALSE(tree.Exists("e-mail.uid"));
        EXPECT_EQ(RunLog(), (Lines{"POP3: 127.0.0.1:" + server.PortText(), "2 mails, 200 bytes"}));
    }
}

TEST_F(GetMailTest, UidlLinesAreMatchedByMessageNumber) {
    Lines uidl = {"2 bbb", "1 aaa"};
    tree.Write("e-mail.uid", Id("aaa"));
    Script s = Start(&uidl);
    SendBody(s.Expect("RETR 2"), kMail2).Expect("QUIT").Send("+OK");
    ScriptServer server(s);
    Run(server);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Uids(), Id("aaa") + Id("bbb"));
}

TEST_F(GetMailTest, SenderFilterUsesTheSameHeaderInMessageIdMode) {
    LoadPho("brix-pho: ann@example.org\n");
    Script s = Start(nullptr);
    SendBody(s.Expect("TOP 1 0"), kHeader1);
    SendBody(s.Expect("TOP 2 0"), kHeader2);
    SendBody(s.Expect("RETR 2"), kMail2).Expect("QUIT").Send("+OK");
    ScriptServer server(s);
    Run(server, true);
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(Spool(), Lines{"m0000.msg"});
    EXPECT_EQ(tree.Read("e-mail.idx"), "<m1@example.org>" + DigestId(kHeader2));
    EXPECT_EQ(RunLog().back(), "1 mails skipped");
}

} // namespace
} // namespace brix
