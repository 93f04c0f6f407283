#pragma once
// The mail fetch job's tests: a box with one account on the scripted server,
// login and multi-line answers of its scripts, readers of the spool and the
// UID file.

#include "mail/get_mail.h"
#include "mail_testing.h"
#include "testing/script_server.h"

#include <string>
#include <vector>

namespace brix::testing {

inline const char* kGreeting = "+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>";

// Login, STAT with `count` messages of 160 bytes, UIDL "1 aaa", "2 bbb", ...
inline Script Listed(int count) {
    Script s = Script().Send(kGreeting).Expect("USER joe").Send("+OK");
    s.Expect("PASS secret").Send("+OK");
    s.Expect("STAT").Send("+OK " + std::to_string(count) + " " + std::to_string(160 * count));
    std::vector<std::string> uidl;
    for (int i = 1; i <= count; ++i)
        uidl.push_back(std::to_string(i) + " " + std::string(3, char('a' + i - 1)));
    return s.Expect("UIDL").SendData("+OK", uidl);
}

// Identifier of a UIDL id of joe at the scripted server.
inline std::string Id(const std::string& uid) {
    return "<" + uid + "@joe.127.0.0.1>";
}

class GetMailTest : public MailJobTest {
  protected:
    void SetUp() override {
        MailJobTest::SetUp();
        Settings().SpoolDir = SpoolDir();
        box.POP3SERVER = "127.0.0.1";
        box.POP3USER = "joe";
        box.POP3PASS = "secret";
        box.POP3KEEP = "J";
        box.POP3SPOOL = SpoolDir();
        box.POP3TIMEOUT = "3";
    }
    void Run(ScriptServer& server) {
        box.POP3PORT = server.PortText();
        GetMail(box, false);
    }
    std::string Spooled(const std::string& name) const { return tree.Read("spool/" + name); }
    std::string Uids() const { return tree.Read("e-mail.uid"); }
};

} // namespace brix::testing
