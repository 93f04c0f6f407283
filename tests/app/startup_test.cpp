// The real binary's start-up and its errors before the run: exit codes,
// console texts, the run log, the scorefile's load errors, and the terminal;
// then one run at a time on a reader's tree, and signals in the middle of a
// run.

#include "app/run_boxes.h"
#include "context/log.h"
#include "platform/console.h"
#include "support/language.h"
#include "testing/job_test.h"
#include "testing/real_servers.h"
#include "testing/run_program.h"
#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace brix {
namespace {

using namespace testing;

const std::string kBanner = "Brix Win32 v0.4.2l Beta - Mail & News (Linux)\n"
                            "POP3, SMTP und NNTP f\xC3\xBCr den Offline-Reader\n\n";
const std::string kHint = "\r\n\r\nHilfe zu den Aufrufparametern mit Brix -?\r\n\n";
const std::string kUtf8 = "LC_ALL=C.UTF-8";
const std::string kPrompt = "Weiter mit Return ... [00:30] ";

// A host reader tree; QV names it.
struct HostTree {
    TempTree tree;
    explicit HostTree(const std::string& cfg = "Farben=1\r\n") {
        tree.MakeDir("spool");
        tree.Write("qvdesk.cfg", cfg);
    }
    std::string Env() const { return "QV=" + tree.Path(); }
};

TEST(Startup, ErrorsBeforeTheRun) {
    HostTree host, noLog("LOGDIR=/nonexistent/logs/\r\n");
    TempTree noSpool, noCfg;
    noSpool.Write("qvdesk.cfg", "");
    noCfg.MakeDir("spool");
    const std::string bin = BRIX_BINARY, binDir = bin.substr(0, bin.rfind('/') + 1);
    const std::string usage =
        "\nUsage: brix.exe <configfile> [-h] [-v] [-smtp] [-debug[1..9]]\n\n"
        " <configfile>   configuration file (*.BFG)\n"
        " -h             help\n"
        " -v             verbose mode\n"
        " -smtp          make batched smtp files\n"
        " -debugX        make debug level X logfile (where X is between 1 and 2)\n"
        " -q             quiet: nothing on standard output, errors on standard error\n"
        " -check         show what a run would use; touches no file and no server\n"
        " -multiX        X=0: no multithreading\n"
        "                X=1: news multithreading\n"
        "                X=2: complete multithreading (default)\n\n"
        "Box keys, files, exit codes and examples: man brix\n";
    auto qvWrong = [](const std::string& dir, const std::string& what) {
        return "Fehler: QV-Pfad " + dir + " falsch oder " + what + "-Verzeichnis nicht gefunden.\n";
    };
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> env;
        int exitCode;
        std::string output; // after the banner
    } cases[] = {
        {{}, {kUtf8}, 1, usage},
        {{"x.bfg", "-?"}, {kUtf8}, 1, usage},
        {{"/h"}, {kUtf8}, 1, usage},
        {{"-v"}, {host.Env(), kUtf8}, 100, "Fehler: keine Config-Datei angegeben\n"},
        {{"box1"}, {kUtf8}, 102, "Fehler: ung\xC3\xBCltiger Parameter: BOX1" + kHint},
        {{"box1"}, {"LC_ALL=C"}, 102, "Fehler: ung?ltiger Parameter: BOX1" + kHint},
        {{"a.bfg", "-multi2"}, {kUtf8}, 102, "Fehler: ung\xC3\xBCltiger Schalter: MULTI2" + kHint},
        {{"-config:"}, {kUtf8}, 101, "Fehler: -config: Parameterformat falsch\n"},
        {{"box1.bfg"},
         {"QV=" + noSpool.Path().substr(0, noSpool.Path().size() - 1), kUtf8},
         103,
         qvWrong(noSpool.Path(), "SPOOL")},
        {{"box1.bfg"}, {kUtf8}, 103, qvWrong(binDir, "SPOOL")}, // QV unset: the program's folder
        {{"box1.bfg"}, {noLog.Env(), kUtf8}, 103, qvWrong(noLog.tree.Path(), "LOG")},
        {{"box1.bfg"},
         {"QV=" + noCfg.Path(), kUtf8},
         100,
         "Fehler: Datei " + noCfg.Path() + "qvdesk.cfg nicht gefunden\n"},
    };
    for (const Case& c : cases) {
        auto r = RunBrix(c.args, c.env);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.output;
        std::string banner = kBanner;
        if (c.env.back() == "LC_ALL=C") banner.replace(banner.find("\xC3\xBC"), 2, "?");
        EXPECT_EQ(r.output, banner + c.output);
    }
    EXPECT_FALSE(noLog.tree.Exists("qv-ppp.log"));
    auto r = RunBrix({"-workdir:/nonexistent/Brix-Dir", "a.bfg"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("/nonexistent/Brix-Dir"), std::string::npos) << r.output;
}

// Box names in every form; LOGDIR keeps its case and the later line wins.
TEST(Startup, RunLogBoxNamesAndLogDir) {
    HostTree host;
    host.tree.Write("BOX1.bfg", "# empty box\r\n");
    host.tree.Write("b2.bfg", "");
    host.tree.MakeDir("Logs");
    host.tree.Write("qvdesk.cfg", "LOGDIR=/nowhere/\r\n  logdir=" + host.tree.Path() + "Logs/\r\n");
    auto r =
        RunBrix({host.tree.Path() + "box1.bfg", "-config:c:\\qv\\B2", "nobox.bfg", "-v", "-debug"},
                {host.Env()});
    EXPECT_EQ(r.exitCode, 105) << r.output; // the missing box is a failure
    const std::string log = host.tree.Read("Logs/qv-ppp.log");
    EXPECT_TRUE(log.starts_with("\r\nBrix Win32 v0.4.2l Beta - Mail & News (Linux)\r\n"
                                "POP3, SMTP und NNTP f\x81r den Offline-Reader\r\n\r\n"));
    EXPECT_TRUE(host.tree.Exists("Logs/BOX1.log"));
    EXPECT_TRUE(host.tree.Exists("Logs/B2.log"));
    const std::string line =
        "Error (main): Config-Datei '" + host.tree.Path() + "NOBOX.bfg' nicht gefunden";
    EXPECT_NE(r.output.find(line + "\n"), std::string::npos) << r.output;
    EXPECT_NE(log.find(" " + line + "\r\n"), std::string::npos) << log;
    // In debug mode a box log says why a job did not run.
    EXPECT_NE(host.tree.Read("Logs/BOX1.log")
                  .find("Keine Mail versendet, weil ...\r\n - kein "
                        "SMTP-Server eingetragen ist\r\n"),
              std::string::npos);

    // The first box's PPP_BOXPAKETE replaces the rest of the list.
    host.tree.Write("BOX1.bfg", "PPP_BOXPAKETE=B3 B4\r\n");
    for (const char* name : {"B3.bfg", "B4.bfg"})
        host.tree.Write(name, "");
    std::filesystem::remove(host.tree / "Logs/B2.log");
    EXPECT_EQ(RunBrix({"box1.bfg", "b2.bfg", "-debug"}, {host.Env()}).exitCode, 0);
    EXPECT_FALSE(host.tree.Exists("Logs/B2.log"));
    EXPECT_TRUE(host.tree.Exists("Logs/B3.log") && host.tree.Exists("Logs/B4.log"));

    // A box log that cannot be written (here a directory) ends no job and
    // not the run: the news fetch still tries its server, the next box runs.
    std::filesystem::remove(host.tree / "Logs/B3.log");
    std::filesystem::remove(host.tree / "Logs/B4.log");
    host.tree.MakeDir("Logs/B3.log");
    host.tree.Write("B3.bfg", "NNTPSERVER=127.0.0.1\r\nNNTPPORT=1\r\n");
    r = RunBrix({"b3.bfg", "b4.bfg", "-v", "-debug"}, {host.Env()});
    EXPECT_NE(r.output.find("Error (getnews): Connect: Cannot connect to 127.0.0.1:1."),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("Error (log): "), std::string::npos) << r.output;
    EXPECT_TRUE(host.tree.Exists("Logs/B4.log"));
}

// SCOREFILE is relative to the program's directory: climb from there to "/".
std::string FromProgramDir(const std::string& absolute) {
    std::string bin = BRIX_BINARY, up;
    for (char c : bin.substr(0, bin.rfind('/')))
        if (c == '/') up += "../";
    return up + absolute.substr(1);
}

// A tree whose box loads the scorefile `text`.
struct ScoreTree : HostTree {
    explicit ScoreTree(const std::string& text, const std::string& name = "QVSCORE.SC") {
        tree.Write("qvscore.sc", text); // found under any case
        tree.Write("BOX1.bfg", "QVSCOREAKTIV=J\nSCOREFILE=" + FromProgramDir(tree / name) + "\n");
    }
};

// Every check of the loader: the line it reports, its text and exit code.
TEST(Startup, ScorefileErrorsEndTheRunWithTheirReportAndExitCode) {
    struct {
        const char* file;
        int line;
        const char* raw;
        const char* text;
        int exitCode;
    } cases[] = {
        {"0 10\n", 1, "0 10", ": fehlerhafter Eintrag.", 11},
        {"[de.*] \nscore 1\n", 1, "[de.*] ", ": keine Gruppe, ']' erwartet.", 7},
        {"[*]\n", 1, "[*]", ": kein Score.", 8},
        {"[*]\nscore 1\nFrom=x\nNAME late\n", 4, "NAME late", ": Name ohne vorheriges SCORE.", 10},
        {"[*]\nscore 1\nNAME\n", 3, "NAME", ": kein Filtereintrag.", 9},
        {"[*]\nscore 1 expires 31.02.2030\n", 2, "score 1 expires 31.02.2030",
         ": expires: Datum ung\x81ltig.", 4},
        // Line numbers count every line, raw lines keep their leading blanks.
        {"# c\n\n  ; c2\r\n[*]\r\n  score x\r\n", 5, "  score x", ": kein Score, Zahl erwartet", 8},
    };
    for (const auto& c : cases) {
        ScoreTree t(c.file);
        auto r = RunBrix({"box1.bfg"}, {t.Env(), kUtf8});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.file;
        const std::string report = Cp850ToUtf8("\n\nFehler in Zeile " + std::to_string(c.line) +
                                               ":\n" + c.raw + "\n\nFehler in ");
        EXPECT_NE(r.output.find(report), std::string::npos) << r.output;
        // The report ends with the code of the failed check (eight digits) and its text.
        const std::string end = Cp850ToUtf8(c.text) + "\n\r" + kPrompt + "\n";
        ASSERT_TRUE(r.output.ends_with(end)) << r.output;
        EXPECT_EQ(r.output.substr(r.output.size() - end.size() - 13, 5), " bei ") << r.output;
    }

    // A missing one is an I/O error report (the demo's run shows a good one).
    auto r = RunBrix({"box1.bfg", "-v"}, {ScoreTree("", "none.sc").Env()});
    EXPECT_EQ(r.exitCode, 105);
    EXPECT_NE(r.output.find("Exception EInOutError at address "), std::string::npos) << r.output;
}

// Under a terminal: the status window is drawn and the terminal handed back
// as it was found, on a normal end, an error exit and a scorefile prompt.
TEST(Startup, TerminalIsDrawnAndRestored) {
    HostTree host;
    host.tree.Write("qvdesk.col", "MAILER=31 30 28\r\n");
    host.tree.Write("BOX1.bfg", "");
    auto run = testing::RunBrixOnTerminal({"box1.bfg"}, {host.Env(), kUtf8, "TERM=xterm"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string& out = run.output;
    EXPECT_NE(out.find("\x1b[2J"), std::string::npos);
    EXPECT_NE(out.find("\x1b[4;3H\u250C\u2500\u2500"), std::string::npos) << out;
    EXPECT_NE(out.find("\x1b[23;3H\u2514"), std::string::npos);
    EXPECT_NE(out.find("\x1b[0;97;44m"), std::string::npos); // colour 31: white on blue
    auto end = out.rfind("\x1b[25;1H");
    ASSERT_NE(end, std::string::npos);
    EXPECT_NE(out.find("\x1b[?25h", end), std::string::npos);
    EXPECT_TRUE(run.echoAfter);

    run = testing::RunBrixOnTerminal({"box1"}, {kUtf8});
    EXPECT_EQ(run.exitCode, 102);
    EXPECT_NE(run.output.find("\x1b[?25h", run.output.find("\x1b[?25l")), std::string::npos);

    // Return answers the prompt at once (unanswered it counts down 30 s).
    ScoreTree t("[*]\nscore 1\nNAME a\nNAME b\n");
    run = testing::RunBrixOnTerminal({"box1.bfg"}, {t.Env(), kUtf8}, kPrompt);
    EXPECT_EQ(run.exitCode, 10) << run.output;
    EXPECT_NE(run.output.find("\r\nFehler in Zeile 4:\r\nNAME b\r\n"), std::string::npos);
    EXPECT_EQ(run.output.find("[00:25]"), std::string::npos) << run.output;
    EXPECT_TRUE(run.echoAfter);
}

// ----------------------------------------------------------------------
// One run at a time on a reader's tree, and signals in the middle of a run:
// the first stops even a wait for a silent server, the second ends the
// program at once. All through the real program.

using namespace std::chrono_literals;

// A POP3 server whose answer to the password "pw" of joe is `reply`.
Script Login(const std::string& reply) {
    Script s = Script().Send("+OK ready").Expect("CAPA").Send("-ERR").Expect("USER joe");
    return s.Send("+OK").Expect("PASS pw").Send(reply);
}

// A mailbox of one message whose RETR is answered after `pauseMs` (and the
// run then ends with QUIT), or never. With a pause of four seconds the run
// would wait a minute for it; a stopped job reads the answer still owed
// before its QUIT.
Script OneMessage(int pauseMs, bool answered = true) {
    Script s = Login("+OK").Expect("STAT").Send("+OK 1 20");
    s.Expect("UIDL").SendLines({"+OK", "1 a", "."}).Expect("RETR 1").Pause(pauseMs);
    if (answered)
        s.SendLines({"+OK", "Subject: late", "", "body", "."}).Expect("QUIT").Send("+OK bye");
    return s;
}

// A reader's tree whose box fetches from `server`.
struct Host : HostTree {
    explicit Host(const ScriptServer& server) {
        tree.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + server.PortText() +
                                   "\nPOP3USER=joe\nPOP3PASS=pw\nPOP3TIMEOUT=60\n");
    }
    // Starts a fetch and waits until it sent RETR, so that a signal reaches
    // the job and not the start-up.
    pid_t StartFetch() {
        pid_t pid = testing::Spawn(BRIX_BINARY, {"box1.bfg", "-v", "-debug"}, {Env()}, "", -1);
        for (int i = 0; i < 500 && tree.Read("BOX1.log").find("RETR 1") == std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
        return pid;
    }
    // The tree is free: a run that may not wait for the lock goes ahead.
    bool Free() {
        tree.Write("BOX1.bfg", "");
        return RunBrix({"box1.bfg"}, {Env(), "BRIX_LOCK_WAIT=0"}).exitCode == 0;
    }
};

// The run log ends each run with what it carried, and moves aside when it
// grew beyond its size: three kept, the oldest gone.
TEST(RunLog, ClosingLineAndRotation) {
    ScriptServer server(OneMessage(0));
    Host host(server);
    host.tree.Write("qv-ppp.log", std::string(kLogRotateBytes + 1, 'x'));
    for (const char* n : {"1", "2", "3"})
        host.tree.Write(std::string("qv-ppp.log.") + n, n);
    EXPECT_EQ(RunBrix({"box1.bfg", "-v"}, {host.Env()}).exitCode, 0);
    const std::string log = host.tree.Read("qv-ppp.log");
    EXPECT_LT(log.size(), 4096u);
    EXPECT_TRUE(log.ends_with(" End of run: 1 box, 1 mail in, no mails out, no articles in, no "
                              "articles out, no errors; exit code 0\r\n"))
        << log;
    EXPECT_EQ(host.tree.Read("qv-ppp.log.1").size(), kLogRotateBytes + 1);
    EXPECT_EQ(host.tree.Read("qv-ppp.log.2") + host.tree.Read("qv-ppp.log.3"), "12");
    // A failure is counted, and the exit code is the run's.
    host.tree.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=1\n");
    EXPECT_EQ(RunBrix({"box1.bfg", "-v"}, {host.Env()}).exitCode, 105);
    EXPECT_TRUE(
        host.tree.Read("qv-ppp.log").ends_with(", no articles out, 1 error; exit code 105\r\n"));
}

TEST(RunControl, SecondRunIsRefusedAndASignalStopsTheWaitForAServer) {
    ScriptServer server(OneMessage(4000), 20s);
    Host host(server);
    pid_t first = host.StartFetch();
    auto second = RunBrix({"box1.bfg", "-v"}, {host.Env(), "BRIX_LOCK_WAIT=1"});
    EXPECT_EQ(second.exitCode, 104) << second.output;
    EXPECT_NE(second.output.find("brix.lock"), std::string::npos) << second.output;

    auto start = std::chrono::steady_clock::now();
    ::kill(first, SIGTERM);
    EXPECT_EQ(testing::WaitExit(first), 106);
    // The job stopped waiting at once, read the answer the server owed
    // after its pause, and ended its dialogue with QUIT.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_NE(host.tree.Read("qv-ppp.log").find(" aborted by user ...\r\n"), std::string::npos);
    EXPECT_TRUE(server.Received().ends_with("RETR 1\r\nQUIT\r\n")) << server.Received();
    EXPECT_FALSE(host.tree.Exists("spool/m0000.msg"));
    EXPECT_TRUE(host.Free());
}

// A program ended by a signal leaves no lock that would block the next run.
TEST(RunControl, SecondSignalEndsTheProgramAtOnce) {
    ScriptServer server(OneMessage(4000, false), 20s);
    Host host(server);
    pid_t pid = host.StartFetch();
    auto start = std::chrono::steady_clock::now();
    ::kill(pid, SIGINT);
    // Two signals sent at once would merge into one pending signal.
    std::this_thread::sleep_for(50ms);
    ::kill(pid, SIGINT);
    EXPECT_EQ(testing::WaitExit(pid), 106);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
    EXPECT_FALSE(host.tree.Exists("spool/m0000.msg"));
    EXPECT_TRUE(host.Free());
}

// A signal while the server holds its verdict on a queued message: the
// verdict is still awaited, so the message leaves the queue exactly once and
// the job stops after it. A signal while a news server hangs: the goodbye is
// not waited for a whole time-out. Each row names the box, the queued file,
// the server and the command after which the signal comes.
struct SignalCase {
    const char* name;
    std::string box, queued;
    std::function<Script()> server;
    std::string signalAfter;
};

const std::string kMail = "HELO client\r\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\n"
                          "Subject: s\r\n\r\nbody\r\n.\r\nQUIT\r\n";
const std::string kPosting = "Newsgroups: de.a\r\nMessage-ID: <p@x>\r\n\r\nbody\r\n";

const SignalCase kSignalCases[] = {
    {"SmtpVerdict", "SMTPSERVER=127.0.0.1\nSMTPTIMEOUT=60\n", "spool/m0001.out",
     [] {
         Script s = Script().Send("220 mx").Expect("EHLO client").Send("250 hi");
         s.Expect("MAIL FROM: <a@b>").Send("250 ok").Expect("RCPT TO: <c@d>").Send("250 ok");
         s.Expect("DATA").Send("354 go").ExpectBody().Pause(2500).Send("250 queued");
         return s.Expect("QUIT").Send("221 bye");
     },
     "<DATA"},
    {"PostVerdict", "NNTPSERVER=127.0.0.1\nNNTPTIMEOUT=60\n", "spool/n0001.out",
     [] {
         Script s = Script().Send("200 news").Expect("POST").Send("340 go").ExpectBody();
         return s.Pause(2500).Send("240 ok").Expect("QUIT").Send("205 bye");
     },
     "<POST"},
    {"HungNewsServer", "NNTPSERVER=127.0.0.1\nNNTPTIMEOUT=60\n", "BOX1.rc",
     [] {
         Script s = Script().Send("200 news").Expect("CAPABILITIES").Send("500 what?");
         return s.Expect("GROUP de.a").Pause(15000);
     },
     "<GROUP"},
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.name;
}

class SignalDuringAJob : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalDuringAJob, StopsAfterTheVerdictAndWithoutAWholeTimeOut) {
    const SignalCase& c = GetParam();
    ScriptServer server(c.server(), 20s);
    HostTree host;
    const std::string port = c.box.starts_with("SMTP") ? "SMTPPORT=" : "NNTPPORT=";
    host.tree.Write("BOX1.bfg", c.box + port + server.PortText() + "\n");
    host.tree.Write(c.queued, c.queued.ends_with(".rc") ? "de.a 0\n"
                              : c.queued[6] == 'm'      ? kMail
                                                        : kPosting);
    pid_t pid = testing::Spawn(BRIX_BINARY, {"box1.bfg", "-v", "-debug"}, {host.Env()}, "", -1);
    for (int i = 0; i < 500 && host.tree.Read("BOX1.log").find(c.signalAfter) == std::string::npos;
         ++i)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    ::kill(pid, SIGTERM);
    EXPECT_EQ(testing::WaitExit(pid), 106);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
    const std::string log = host.tree.Read("qv-ppp.log");
    EXPECT_NE(log.find(" aborted by user ...\r\n"), std::string::npos) << log;
    if (c.queued.ends_with(".rc")) return;
    // Taken by the server: gone from the queue, and the next run has nothing
    // to send.
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_FALSE(host.tree.Exists(c.queued)) << log;
    EXPECT_EQ(log.find("Error (sendmail)"), std::string::npos) << log;
    EXPECT_EQ(log.find("Error (postnews)"), std::string::npos) << log;
    auto again = RunBrix({"box1.bfg", "-v"}, {host.Env()});
    EXPECT_EQ(again.output.find(" to send"), std::string::npos) << again.output;
    EXPECT_EQ(again.output.find(" to post"), std::string::npos) << again.output;
}

INSTANTIATE_TEST_SUITE_P(Cases, SignalDuringAJob, ::testing::ValuesIn(kSignalCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ----------------------------------------------------------------------
// Unattended runs: what a run without a terminal and without -v tells.

// A port of 127.0.0.1 where nothing listens.
std::string ClosedPort() {
    return std::to_string(FreeLoopbackPort());
}

// Each kind of failure: its exit code, and its line on standard error but
// not on standard output. With -q standard output stays empty. A misspelt
// key is reported once per run (the box is named twice) and sets nothing.
TEST(Unattended, EachFailureHasItsExitCodeAndItsLineOnStandardError) {
    const std::string pop = "POP3SERVER=127.0.0.1\nPOP3USER=joe\nPOP3PASS=pw\nPOP3PORT=";
    struct Row {
        const char* name;
        // The server's answer to the password; a greeting of its own when it
        // starts with "+OK"; empty: no server.
        std::string server;
        std::string box; // "{port}" is the server's port
        const char* args;
        int exitCode;
        std::string error; // on standard error; empty: nothing there
    } rows[] = {
        {"wrong password, -q", "-ERR [AUTH] wrong password", pop + "{port}\n", "box1.bfg -q", 105,
         "Error (getmail): Pass. (Error=-ERR [AUTH] wrong password)\n"},
        {"nothing listening", "", pop + ClosedPort() + "\n", "box1.bfg", 105,
         "Error (getmail): Connect: Cannot connect to 127.0.0.1:"},
        {"unknown host", "", "POP3SERVER=nosuch.invalid\nPOP3PORT=110\n", "box1.bfg", 105,
         "Error (getmail): Connect: "},
        {"TLS failure", "+OK plain text", pop + "{port}\nPOP3TLS=TLS\nPOP3TIMEOUT=2\n",
         "box1.bfg -q", 105, "Error (getmail): TLS: "},
        // A word outside the key's set: nothing is fetched, nothing sent.
        {"yes/no word unknown", "", pop + ClosedPort() + "\nPOP3KEEP=maybe\n", "box1.bfg -q", 105,
         "Error (getmail): POP3KEEP: unknown word maybe (did you mean "},
        {"login method mistyped", "", pop + ClosedPort() + "\nPOP3AUTH=SCRAM-SHA256\n",
         "box1.bfg -q", 105,
         "Error (getmail): POP3AUTH: unknown word SCRAM-SHA256 (did you mean SCRAM-SHA-256?); "
         "nothing was done\n"},
        // A helper whose output may be cut is no password.
        {"password command without a line end", "",
         pop + ClosedPort() + "\nPOP3PASSCMD=printf pw\n", "box1.bfg -q", 105,
         "Error (getmail): POP3PASSCMD for 127.0.0.1: its output has no line end"},
        // A helper that leaves a child running is not waited for: the
        // password reaches the server at once (which refuses it here).
        {"password command leaves a child", "-ERR seen",
         pop + "{port}\nPOP3PASSCMD=echo pw; sleep 8 &\n", "box1.bfg -q", 105,
         "Error (getmail): Pass. (Error=-ERR seen)\n"},
        // The helper fails: nothing reaches the server (none listens here).
        {"password command fails", "", pop + ClosedPort() + "\nPOP3PASSCMD=exit 3\n", "box1.bfg -q",
         105, "Error (getmail): POP3PASSCMD for 127.0.0.1: exit code 3; nothing was sent\n"},
        {"missing box", "", "", "box1.bfg nobox.bfg -q", 105, "Error (main): Config-Datei '"},
        {"misspelt key, nothing to do", "", "# mail\npop3servr = mail.example\n",
         "box1.bfg box1.bfg", 0,
         "BOX1.bfg line 2: unknown key POP3SERVR (did you mean POP3SERVER?)\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::optional<ScriptServer> server;
        std::string box = row.box;
        if (!row.server.empty()) {
            server.emplace(row.server.starts_with("+OK") ? Script().Send(row.server)
                                                         : Login(row.server));
            box.replace(box.find("{port}"), 6, server->PortText());
        }
        HostTree host;
        host.tree.Write("BOX1.bfg", box);
        ::chmod((host.tree.Path() + "BOX1.bfg").c_str(), 0600);
        std::vector<std::string> args;
        std::istringstream words(row.args);
        for (std::string word; words >> word;)
            args.push_back(word);
        auto r = RunBrixApart(args, {host.Env(), "RES_OPTIONS=timeout:1 attempts:1"});
        EXPECT_EQ(r.exitCode, row.exitCode);
        const bool quiet = args.back() == "-q";
        EXPECT_EQ(r.output, quiet ? "" : kBanner);
        EXPECT_TRUE(r.errors.starts_with(row.error)) << r.errors;
        EXPECT_EQ(r.errors.find('\n'), r.errors.size() - 1) << "one line: " << r.errors;
        const std::string log = host.tree.Read("qv-ppp.log");
        EXPECT_NE(log.find(" " + r.errors.substr(0, r.errors.size() - 1) + "\r\n"),
                  std::string::npos)
            << log;
    }
    // With -q a warning goes to the run log alone: cron mails only failures.
    HostTree host;
    host.tree.Write("BOX1.bfg", "pop3servr = mail.example\n");
    const auto r = RunBrixApart({"box1.bfg", "-q"}, {host.Env()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output + r.errors, "");
    EXPECT_NE(host.tree.Read("qv-ppp.log").find("unknown key POP3SERVR"), std::string::npos);
}

// -check: the settings a run would use, secrets masked, the box file's
// warnings; no file is touched, no server asked. The ports that the box
// leaves out are the registered ones for each TLS mode.
TEST(Unattended, CheckShowsTheSettingsAndTouchesNothing) {
    HostTree host;
    host.tree.Write("BOX1.bfg", "POP3SERVER=pop.example pop2.example\nPOP3TLS=TLS NONE\n"
                                "POP3USER=anna\nPOP3PASS=S3cret!\nPOP3AUTH=N scram-sha-256\n"
                                "SMTPSERVER=smtp.example\nSMTPTLS=STARTTLS\n"
                                "SMTPPASSCMD=pass show smtp\nSMTPAUTH=login\n"
                                "NNTPSERVER=news.example\nNNTPTLS=TLS\nNNTPPASS=N3wsSecret\n"
                                "NNTPLIST=J\nNNTPPASWORD=typo\nIMAPSERVER=imap.example\n"
                                "IMAPTLS=TLS\nIMAPUSER=anna\nIMAPKEEP=N\n"
                                "IMAPFOLDERS=inbox,Sent%20Items,Entwürfe,台北\nIMAPAUTH=plain\n");
    host.tree.Write("BOX1.rc", "de.test 120\nde.alt -5 HDRONLY\n");
    host.tree.Write("spool/m0001.out", "");
    const auto before = DirNames(host.tree.Path());
    auto r = RunBrix({"box1.bfg", "-check"}, {host.Env()});
    EXPECT_EQ(r.exitCode, 107);
    // The reader's folder, wherever it is shown, as "QV/".
    std::string shown = r.output;
    for (std::size_t at; (at = shown.find(host.tree.Path())) != std::string::npos;)
        shown.replace(at, host.tree.Path().size(), "QV/");
    EXPECT_EQ(shown,
              kBanner +
                  "Host reader: QV/ (spool QV/spool/, logs QV/)\n\nBox BOX1: QV/BOX1.bfg\n"
                  "  warning: BOX1.bfg line 14: unknown key NNTPPASWORD (did you mean "
                  "NNTPPASSCMD?)\n"
                  "  warning: BOX1.bfg holds a password and can be read by others: chmod 600 "
                  "QV/BOX1.bfg\n"
                  "  POP3 pop.example port 995, TLS, user anna, password ****, kept on the server, "
                  "into QV/spool/\n"
                  "  POP3 pop2.example port 110, no TLS, user anna, password ****, AUTH "
                  "SCRAM-SHA-256, kept on the server, into QV/spool/\n"
                  "  mail identifiers: QV/e-mail.uid, QV/e-mail.idx\n"
                  "  IMAP imap.example port 993, TLS, user anna, password none, AUTH PLAIN, "
                  "COMPRESS DEFLATE when offered and the round trip is 10 ms or more, delete: "
                  "stored messages are expunged, folders INBOX, Sent Items, Entwürfe, "
                  "%E5%8F%B0%E5%8C%97, into QV/spool/\n"
                  "  IMAP state: QV/e-mail.imap\n"
                  "  SMTP smtp.example port 587, STARTTLS, user none, password from `pass show "
                  "smtp`, AUTH LOGIN, 1 queued in QV/spool/\n"
                  "  NNTP news.example port 563, TLS, user none, password ****, COMPRESS DEFLATE "
                  "when offered and the round trip is 10 ms or more, 0 queued, batches into "
                  "QV/spool/\n"
                  "  newsgroup list: QV/BOX1.bl\n  news state: QV/e-news.idx, QV/request.id\n"
                  "  groups of QV/BOX1.rc: 2\n    de.test after 120\n"
                  "    de.alt after -5, headers only\n"
                  "  jobs: sendmail getmail getimap getnglist getnews\n");
    for (const char* secret : {"S3cret", "N3wsSecret"})
        EXPECT_EQ(r.output.find(secret), std::string::npos) << secret;
    EXPECT_EQ(DirNames(host.tree.Path()), before);
    host.tree.Write("BOX1.bfg", "NNTPSERVER=news.example\n");
    EXPECT_EQ(RunBrix({"box1.bfg", "-check", "-q"}, {host.Env()}).exitCode, 0);
}

// A value that -check passes must not fail the run, and one the run refuses
// is what -check shows, in the same words: both read the servers' profiles
// and the box's words through the same functions. Nothing is contacted (the
// ports are closed), and the run does nothing with the box.
TEST(Unattended, CheckAndTheRunGiveTheSameError) {
    const std::string pop =
        "POP3SERVER=127.0.0.1\nPOP3USER=joe\nPOP3PASS=pw\nPOP3PORT=" + ClosedPort() + "\n";
    const std::string news = "NNTPSERVER=127.0.0.1\nNNTPPORT=" + ClosedPort() + "\n";
    const std::string smtp = "SMTPSERVER=127.0.0.1\nSMTPPORT=" + ClosedPort() + "\n";
    const std::string imap =
        "IMAPSERVER=127.0.0.1\nIMAPUSER=joe\nIMAPPASS=pw\nIMAPPORT=" + ClosedPort() + "\n";
    struct Row {
        std::string box;
        const char* job;
        std::string problem;
    } rows[] = {
        {pop + "POP3TLS=SSL\n", "getmail", "POP3TLS: unknown word SSL (did you mean TLS?)"},
        {pop + "POP3AUTH=NONE\n", "getmail", "POP3AUTH: unknown word NONE (did you mean "},
        {pop + "POP3KEEP=true maybe\n", "getmail", "POP3KEEP: unknown word maybe (did you mean "},
        {"POP3SERVER=127.0.0.1 127.0.0.1\nPOP3PORT=" + ClosedPort() + " 11g9\n", "getmail",
         "POP3PORT: 11g9 is no port (a number from 1 to 65535, or a service name such as pop3)"},
        {pop + "POP3PASS=" + std::string(300, 'x') + "\n", "getmail",
         "POP3PASS is longer than a box line can hold (255 characters)"},
        {smtp + "SMTPAUTH=plian\n", "sendmail", "SMTPAUTH: unknown word plian (did you mean "},
        {smtp + "SMTPTLS=starttls TLS ssl\n", "sendmail",
         "SMTPTLS: unknown word ssl (did you mean TLS?)"},
        {news + "NNTPTLS=yes\n", "getnews", "NNTPTLS: unknown word yes (did you mean "},
        {news + "TLSFINGERPRINT=zz\n", "getnews",
         "TLSFINGERPRINT: zz is no SHA-256 fingerprint (64 hex digits, colons optional)"},
        // A proxy key: the one that holds for the protocol is named.
        {pop + "PROXY=ftp://h:21\n", "getmail",
         "PROXY: unknown kind of proxy ftp:// (write socks5://host:port, socks5h://host:port or "
         "http://host:port)"},
        {pop + "PROXY=socks5://h:1080\nPOP3PROXY=socks5://h\n", "getmail",
         "POP3PROXY: socks5://h has no port (write "},
        {smtp + "SMTPPROXY=http://h:31z8\n", "sendmail",
         "SMTPPROXY: 31z8 is no port of the proxy (a number from 1 to 65535)"},
        {news + "PROXY=socks5://tor@h:9050\n", "getnews",
         "PROXY: the proxy user tor has no password: set PROXYPASS or PROXYPASSCMD"},
        {news + "PROXY=socks5://tor@h:9050\nPROXYPASS=" + std::string(300, 'x') + "\n", "getnews",
         "PROXYPASS is longer than a box line can hold (255 characters)"},
        {imap + "IMAPTLS=SSL\n", "getimap", "IMAPTLS: unknown word SSL (did you mean TLS?)"},
        {imap + "IMAPAUTH=FOO\n", "getimap", "IMAPAUTH: unknown word FOO (did you mean LOGIN?)"},
        {imap + "IMAPKEEP=maybe\n", "getimap", "IMAPKEEP: unknown word maybe (did you mean "},
        {imap + "IMAPFOLDERS=INBOX,Sent%2\n", "getimap",
         "IMAPFOLDERS: Sent%2 has a % that is no %XX escape (write a folder name in UTF-8"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.box.substr(0, 120));
        HostTree host;
        host.tree.Write("BOX1.bfg", row.box);
        ::chmod((host.tree.Path() + "BOX1.bfg").c_str(), 0600);
        if (row.job && row.job == std::string("sendmail")) host.tree.Write("spool/m0001.out", "");
        const auto check = RunBrix({"box1.bfg", "-check"}, {host.Env()});
        EXPECT_EQ(check.exitCode, 107);
        EXPECT_NE(check.output.find("  error: " + row.problem), std::string::npos) << check.output;
        const auto run = RunBrixApart({"box1.bfg", "-q"}, {host.Env()});
        EXPECT_EQ(run.exitCode, 105);
        EXPECT_TRUE(run.errors.starts_with("Error (" + std::string(row.job) + "): " + row.problem))
            << run.errors;
        EXPECT_NE(run.errors.find("; nothing was done\n"), std::string::npos) << run.errors;
    }
    // An absolute scorefile is taken as it is; one that cannot be read is
    // an error of -check too.
    HostTree host;
    host.tree.Write("BOX1.bfg", news + "QVSCOREAKTIV=J\nSCOREFILE=/etc/brix/score.sc\n");
    const auto check = RunBrix({"box1.bfg", "-check"}, {host.Env()});
    EXPECT_EQ(check.exitCode, 107);
    EXPECT_NE(check.output.find("  scorefile: /etc/brix/score.sc\n  error: the scorefile "
                                "/etc/brix/score.sc cannot be read\n"),
              std::string::npos)
        << check.output;
}

// -check shows the proxy of each protocol: its own key wins over PROXY,
// "-" (or NONE) there means direct; the proxy's password is never shown and
// its command never run.
TEST(Unattended, CheckShowsTheProxyThatHoldsForEachProtocol) {
    HostTree host;
    host.tree.Write("BOX1.bfg", "POP3SERVER=pop.example\nPOP3USER=joe\nPOP3PASS=pw\n"
                                "SMTPSERVER=smtp.example\nNNTPSERVER=news.example\n"
                                "PROXY=http://me@127.0.0.1:3128\n"
                                "POP3PROXY=socks5h://tor@[::1]:9050\nNNTPPROXY=-\n"
                                "PROXYPASSCMD=touch ran\nPROXYPASS=hidden\n");
    ::chmod((host.tree.Path() + "BOX1.bfg").c_str(), 0600);
    const auto check = RunBrix({"box1.bfg", "-check"}, {host.Env()}, host.tree.Path());
    EXPECT_EQ(check.exitCode, 0) << check.output;
    EXPECT_NE(check.output.find("  POP3 pop.example port 110, no TLS, user joe, password ****, "
                                "via SOCKS5 proxy [::1]:9050, user tor, kept"),
              std::string::npos)
        << check.output;
    EXPECT_NE(check.output.find("  SMTP smtp.example port 25, no TLS, user none, password none, "
                                "AUTH none, via HTTP proxy 127.0.0.1:3128, user me, 0 queued"),
              std::string::npos)
        << check.output;
    EXPECT_NE(check.output.find("  NNTP news.example port 119, no TLS, user none, password none, "
                                "COMPRESS DEFLATE when offered and the round trip is 10 ms or "
                                "more, 0 queued"),
              std::string::npos)
        << check.output;
    EXPECT_EQ(check.output.find("hidden"), std::string::npos);
    EXPECT_FALSE(host.tree.Exists("ran"));
}

// ----------------------------------------------------------------------
// The language: the design's texts under a German locale and where none is
// set, English under every other, chosen as gettext would, also for a
// locale that is not generated on the machine.

// A word or letter that only German texts have.
bool LooksGerman(const std::string& text) {
    static const std::regex words(
        "\\b(Fehler|nicht|keine?|Datei|und|oder|mit|f\\?r|Verzeichnis|Schalter|Parameter|"
        "Warte|Weiter|Zeile|Gruppe|erwartet|Zahl|Datum|geholt|versendet|eingetragen)\\b|"
        "\x81|\xc3\xbc|\xc3\xa4|\xc3\xb6|Win32|brix\\.exe");
    return std::regex_search(text, words);
}

TEST(Language, ChosenAsGettextWouldAndEnglishHasNoGermanWord) {
    struct Row {
        std::vector<std::string> env;
        bool english;
    } rows[] = {
        {{}, false}, // the tests' own C.UTF-8
        {{"LANG=en_US.UTF-8"}, true},
        {{"LANG=fr_FR.UTF-8"}, true}, // not generated here: English all the same
        {{"LANG=de_DE.UTF-8"}, false},
        {{"LANG=en_US.UTF-8", "LC_ALL=C"}, false},
        {{"LANG=en_US.UTF-8", "LC_MESSAGES=de_AT.UTF-8"}, false},
        {{"LANG=de_DE.UTF-8", "LC_MESSAGES=en_GB.UTF-8"}, true},
        {{"LANG=en_GB.UTF-8", "LANGUAGE=de:en"}, false},
        {{"LANG=de_DE.UTF-8", "LANGUAGE=en"}, true},
        {{"LANG=C.UTF-8", "LANGUAGE=en"}, false}, // LANGUAGE is not heeded in C
        {{"LC_ALL=POSIX", "LANG=en_US.UTF-8"}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.env.empty() ? "C.UTF-8" : row.env.front());
        const auto r = RunBrixApart({"--help"}, row.env);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.output.starts_with("Usage: brix BOXFILE... [options]\n"), row.english)
            << r.output;
        EXPECT_EQ(LooksGerman(r.output), !row.english) << r.output;
    }
    // A switch that does not exist: the banner, then the start-up error, on
    // standard error.
    for (const bool english : {false, true}) {
        const auto r =
            RunBrixApart({"-nosuch"}, {english ? "LANG=en_US.UTF-8" : "LANG=de_DE.UTF-8"});
        EXPECT_EQ(r.exitCode, 102);
        EXPECT_EQ(r.output.starts_with("Brix 0.4.2l - mail and news for offline readers\n"),
                  english)
            << r.output;
        EXPECT_EQ(r.errors.starts_with(english ? "Error: unknown switch: NOSUCH"
                                               : "Fehler: ung\xc3\xbcltiger Schalter: NOSUCH"),
                  true)
            << r.errors;
        EXPECT_EQ(LooksGerman(r.output + r.errors), !english) << r.output << r.errors;
    }
    // --help and --version: on standard output, exit 0, nothing else.
    const auto help = RunBrixApart({"--help"}, {"LANG=en_US.UTF-8"});
    EXPECT_EQ(help.output.find("multi"), std::string::npos);
    EXPECT_EQ(help.errors, "");
    const auto version = RunBrixApart({"--version"}, {});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "brix 0.4.2l\n");
    // Every start-up error under English.
    HostTree host;
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"-config:"}, {"-workdir:"}, {"box1"}, {"-v"}}) {
        const auto r = RunBrixApart(args, {host.Env(), "LANG=en_US.UTF-8"});
        EXPECT_NE(r.exitCode, 0);
        EXPECT_FALSE(LooksGerman(r.output + r.errors)) << r.output << r.errors;
    }
    EXPECT_FALSE(
        LooksGerman(RunBrixApart({"box1.bfg"}, {"QV=/nonexistent", "LANG=en_US.UTF-8"}).errors));
    // A job's error names the box, the server and the user, and says what
    // the system's number means; the design's line stays as it is.
    host.tree.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=1\nPOP3USER=joe\n");
    ::chmod((host.tree.Path() + "BOX1.bfg").c_str(), 0600);
    EXPECT_EQ(RunBrixApart({"box1.bfg", "-q"}, {host.Env(), "LANG=en_US.UTF-8"}).errors,
              "Error (getmail, box BOX1, joe@127.0.0.1:1): Connect: Cannot connect to "
              "127.0.0.1:1. (Error=111: Connection refused)\n");
    EXPECT_EQ(RunBrixApart({"box1.bfg", "-q"}, {host.Env()}).errors,
              "Error (getmail): Connect: Cannot connect to 127.0.0.1:1. (Error=111)\n");
    // A wait that ran out says how long it waited.
    ScriptServer silent(Script().Pause(2500));
    host.tree.Write("BOX1.bfg",
                    "POP3SERVER=127.0.0.1\nPOP3PORT=" + silent.PortText() + "\nPOP3TIMEOUT=1\n");
    const auto late = RunBrixApart({"box1.bfg", "-q"}, {host.Env(), "LANG=en_US.UTF-8"});
    EXPECT_NE(late.errors.find("(Error=110: Connection timed out after 1 s)\n"), std::string::npos)
        << late.errors;
}

// Counts agree with their words in English; the design's texts stay as
// they are.
TEST(Language, CountsAgreeWithTheirWords) {
    SetLanguage(TLanguage::English);
    EXPECT_EQ(TrCount(1, "%s mails sent"), "1 mail sent");
    EXPECT_EQ(TrCount(0, "%s mails sent"), "0 mails sent");
    EXPECT_EQ(TrCount(1, "%s mails, %s bytes", {"20"}), "1 mail, 20 bytes");
    EXPECT_EQ(Tr("Fehler: Datei %s nicht gefunden", {"/q/qvdesk.cfg"}),
              "Error: file /q/qvdesk.cfg not found (set QV to the offline reader's directory)");
    SetLanguage(TLanguage::Design);
    EXPECT_EQ(TrCount(1, "%s mails sent"), "1 mails sent");
    EXPECT_EQ(TrCount(1, "%s articles received (%s CPS)", {"0"}), "1 articles received (0 CPS)");
}

// Every text of the catalog is English, and every German text of the code
// is in the catalog (a piece of a msgid: texts are put together around the
// "%s" of their entry).
TEST(Language, TheCatalogCoversEveryGermanTextOfTheCode) {
    for (const TCatalogEntry& e : EnglishCatalog())
        EXPECT_FALSE(LooksGerman(std::string(e.msgstr) + " " + std::string(e.msgstrPlural)))
            << e.msgstr;
    const std::regex literal("\"((?:[^\"\\\\]|\\\\.)*)\"");
    const std::filesystem::path src = std::filesystem::path(BRIX_SOURCE_DIR) / "src";
    for (const auto& file : std::filesystem::recursive_directory_iterator(src)) {
        std::ifstream in(file.path());
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            if (line.find("//") != std::string::npos && line.find("//") < line.find('"')) continue;
            for (std::sregex_iterator m(line.begin(), line.end(), literal), end; m != end; ++m) {
                // The literal as the compiler reads it: \x81 is one byte.
                std::string text = std::regex_replace((*m)[1].str(), std::regex("\\\\x81"), "\x81");
                text = std::regex_replace(text, std::regex("\\\\n"), "\n");
                if (!LooksGerman(text)) continue;
                const bool covered = std::any_of(
                    EnglishCatalog().begin(), EnglishCatalog().end(), [&](const TCatalogEntry& e) {
                        return std::string(e.msgid).find(text) != std::string::npos;
                    });
                EXPECT_TRUE(covered) << file.path() << ":" << number << ": " << text;
            }
        }
    }
}

// ----------------------------------------------------------------------
// The SMTP-after-POP pause at the edges of the millisecond clock.

// A clock that went backwards counts as no time elapsed; 24.8 days of
// uptime are nothing special.
TEST(SmtpAfterPop, PauseIsTheRestOfTheDelay) {
    EXPECT_EQ(SmtpAfterPopPause(1000, 13000, 30), 18000);
    EXPECT_EQ(SmtpAfterPopPause(5000, 100, 2), 2000);
    EXPECT_EQ(SmtpAfterPopPause(0x7FFFFF00, 0x80000100, 1), 488);
}

} // namespace
} // namespace brix
