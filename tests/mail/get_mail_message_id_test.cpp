// The mail fetch job on a server without UIDL: messages are known by their
// Message-ID (or the digest of their header) and remembered in "e-mail.idx".

#include "clients/md5.h"
#include "get_mail_fixture.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::GetMailTest;
using testing::Script;
using testing::ScriptServer;
using testing::SendBody;
using Lines = std::vector<std::string>;

TEST_F(GetMailTest, RefusedUidlSwitchesToMessageIds) {
    Settings().VerboseMode = false;
    const Lines header1 = {"Message-ID: <m1@example.org>", "From: Ann <ann@example.org>", ""};
    const Lines header2 = {"From: bob@example.org", "Subject: no id", ""};
    tree.Write("e-mail.uid", "<untouched@x.y>");
    Script s = testing::LoginScript();
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

} // namespace
} // namespace brix
