// Hostile and broken input through the real program: servers that send
// endless lines, bytes that dribble in, numbers out of range, NUL bytes,
// binary garbage and terminal escape sequences; malformed box and colour
// files. Every run must end by itself with a clear line in the run log, and
// no control byte from the input may reach the terminal.

#include "net/tcp_client_socket.h"
#include "testing/run_program.h"
#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>

namespace brix {
namespace {

using testing::Script;

// Greeting and login of a POP3 server, and the STAT command.
Script UpToStat() {
    Script s = Script().Send("+OK ready").Expect("USER joe").Send("+OK").Expect("PASS pw");
    return s.Send("+OK").Expect("STAT");
}

const std::string kEscapes = "\x1b[2J\x1b]0;owned\x07\x9b"
                             "31m\r\x08\x7f";

struct Hostile {
    const char* name;
    std::function<Script()> server; // null: no server, the files are the input
    std::string box;                // extra box lines
    std::string expected;           // in the run log
    std::string colours = {};       // qvdesk.col, when given
    bool smtp = false;              // the server is an SMTP server
    int seconds = 8;                // the run must end within this
};

const std::vector<Hostile> kHostile = {
    {"EndlessGreeting", [] { return Script().SendRaw(std::string(kMaxLineLength + 10, 'h')); }, "",
     "Error (getmail): ReadLn. (Error=90)"},
    // A reply that arrives one byte every 1.5 seconds.
    {"DribblingReply",
     [] {
         Script s = Script().Send("+OK ready").Expect("USER joe");
         for (char c : std::string("+OK\r\n"))
             s.SendRaw(std::string(1, c)).Pause(1500);
         return s;
     },
     "POP3TIMEOUT=2\n", "(Error=110)", "", false, 4},
    {"EscapesAndNulInReplies",
     [] {
         Script s = UpToStat().SendRaw("+OK 1 10 " + kEscapes + std::string(1, '\0') + "x\r\n");
         s.Expect("UIDL").SendLines({"+OK", "1 a" + kEscapes, "."}).Expect("RETR 1");
         s.SendRaw("+OK\r\nSubject: " + kEscapes + "\r\n\r\n" + std::string(3, '\0') + "\r\n.\r\n");
         return s.Expect("QUIT").Send("+OK " + kEscapes);
     },
     "", "1 mails, 10 bytes"},
    {"UidlGarbage",
     [] {
         Script s = UpToStat().Send("+OK 2 20").Expect("UIDL");
         s.SendLines(
             {"+OK", "x", "99999999999999 a", "-1 b", "1", "2 " + std::string(70000, 'u'), "."});
         return s.Expect("TOP 1 0").Send("-ERR no").Expect("QUIT").Send("+OK");
     },
     "", "Error (getmail): "},
    {"EndlessSmtpReply",
     [] {
         std::string lines;
         while (lines.size() < (2u << 20))
             lines += "220-" + std::string(1000, 'r') + "\r\n";
         return Script().SendRaw(lines);
     },
     "", "Error (sendmail): ReadLn. (Error=90)", "", true},
    {"BinaryBoxFile", nullptr, std::string("\0\xff\xfe=\x1b[2J\n=\n==\nPOP3SERVER\n", 24),
     "Error (main): Fehler in der Config-Datei"},
    {"ColourFileGarbage", nullptr, "", "", "MAILER=999,-1,x,1,2,3,4\n" + kEscapes + "\n"},
};

void PrintTo(const Hostile& h, std::ostream* os) {
    *os << h.name;
}

class HostileInput : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileInput, EndsWithAClearErrorAndNothingRawOnTheTerminal) {
    const Hostile& h = GetParam();
    std::optional<testing::ScriptServer> server;
    std::string box = h.box;
    if (h.server) {
        server.emplace(h.server(), std::chrono::seconds(10));
        box = h.smtp ? "SMTPSERVER=127.0.0.1\nSMTPPORT=" + server->PortText() + "\n" + box
                     : "POP3SERVER=127.0.0.1\nPOP3PORT=" + server->PortText() +
                           "\nPOP3USER=joe\nPOP3PASS=pw\nPOP3TIMEOUT=5\n" + box;
    }
    testing::TempTree t;
    t.MakeDir("spool");
    if (h.smtp) t.Write("spool/m0001.out", "HELO r\r\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\n");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", box);
    if (!h.colours.empty()) t.Write("qvdesk.col", h.colours);
    auto start = std::chrono::steady_clock::now();
    auto r = testing::RunBrix({"box1.bfg", "-v", "-debug9"}, {"QV=" + t.Path()});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(h.seconds));
    EXPECT_LT(r.exitCode, 128) << "ended by a signal";
    std::string log = t.Read("qv-ppp.log");
    EXPECT_NE(log.find(h.expected), std::string::npos) << log << "\n---\n" << r.output;
    for (char c : r.output) {
        auto u = static_cast<unsigned char>(c);
        ASSERT_TRUE(u >= 0x20 || c == '\n' || c == '\r' || c == '\t')
            << "control byte " << int(u) << " reached the terminal";
    }
    // Nothing half-written stays in the spool.
    for (const auto& e : std::filesystem::directory_iterator(t.Path() + "spool"))
        EXPECT_TRUE(e.path().extension() == ".msg" || e.path().extension() == ".out") << e.path();
}

INSTANTIATE_TEST_SUITE_P(Inputs, HostileInput, ::testing::ValuesIn(kHostile),
                         [](const ::testing::TestParamInfo<Hostile>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace brix
