// The real binary's start-up: exit codes, console texts and the run log.

#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::RunBrix;
using testing::TempTree;

const std::string kBanner = "Brix Win32 v0.4.2l Beta - Mail & News (Linux)\n"
                            "POP3, SMTP und NNTP f\xC3\xBCr den Offline-Reader\n\n";
const std::string kHint = "\r\n\r\nHilfe zu den Aufrufparametern mit Brix -?\r\n\n";

// A host reader tree; QV names it.
struct HostTree {
    TempTree tree;
    explicit HostTree(const std::string& cfg = "Farben=1\r\n") {
        tree.MakeDir("spool");
        tree.Write("qvdesk.cfg", cfg);
    }
    std::string Env() const { return "QV=" + tree.Path(); }
};

TEST(Startup, UsageText) {
    const std::string usage =
        kBanner + "\nUsage: brix.exe <configfile> [-h] [-v] [-smtp] [-debug[1..9]]\n\n"
                  " <configfile>   configuration file (*.BFG)\n"
                  " -h             help\n"
                  " -v             verbose mode\n"
                  " -smtp          make batched smtp files\n"
                  " -debugX        make debug level X logfile (where X is between 1 and 2)\n"
                  " -multiX        X=0: no multithreading\n"
                  "                X=1: news multithreading\n"
                  "                X=2: complete multithreading (default)\n\n"
                  "Box keys, files, exit codes and examples: man brix\n";
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"x.bfg", "-?"}, {"/h"}}) {
        auto r = RunBrix(args, {"LC_ALL=C.UTF-8"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.output, usage);
    }
}

TEST(Startup, ErrorsBeforeTheRun) {
    HostTree host;
    TempTree noSpool;
    noSpool.Write("qvdesk.cfg", "");
    TempTree noCfg;
    noCfg.MakeDir("spool");
    HostTree noLog("LOGDIR=/nonexistent/logs/\r\n");
    const std::string utf8 = "LC_ALL=C.UTF-8";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> env;
        int exitCode;
        std::string output; // after the banner
    } cases[] = {
        {{"-v"}, {host.Env(), utf8}, 100, "Fehler: keine Config-Datei angegeben\n"},
        {{"box1"}, {utf8}, 102, "Fehler: ung\xC3\xBCltiger Parameter: BOX1" + kHint},
        {{"box1"}, {"LC_ALL=C"}, 102, "Fehler: ung?ltiger Parameter: BOX1" + kHint},
        {{"-"}, {utf8}, 102, "Fehler: ung\xC3\xBCltiger Parameter: -" + kHint},
        {{"a.bfg", "-multi2"}, {utf8}, 102, "Fehler: ung\xC3\xBCltiger Schalter: MULTI2" + kHint},
        {{"-bogus", "-config:"}, {utf8}, 102, "Fehler: ung\xC3\xBCltiger Schalter: BOGUS" + kHint},
        {{"-config:"}, {utf8}, 101, "Fehler: -config: Parameterformat falsch\n"},
        {{"a.bfg", "/workdir:"}, {utf8}, 101, "Fehler: -workdir: Parameterformat falsch\n"},
        {{"box1.bfg"},
         {"QV=" + noSpool.Path().substr(0, noSpool.Path().size() - 1), utf8},
         103,
         "Fehler: QV-Pfad " + noSpool.Path() + " falsch oder SPOOL-Verzeichnis nicht gefunden.\n"},
        {{"box1.bfg"},
         {"QV=" + noCfg.Path(), utf8},
         100,
         "Fehler: Datei " + noCfg.Path() + "qvdesk.cfg nicht gefunden\n"},
        {{"box1.bfg"},
         {noLog.Env(), utf8},
         103,
         "Fehler: QV-Pfad " + noLog.tree.Path() + " falsch oder LOG-Verzeichnis nicht gefunden.\n"},
    };
    for (const Case& c : cases) {
        auto r = RunBrix(c.args, c.env);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.output;
        std::string banner = kBanner;
        if (c.env.back() == "LC_ALL=C") banner.replace(banner.find("\xC3\xBC"), 2, "?");
        EXPECT_EQ(r.output, banner + c.output);
    }
    EXPECT_FALSE(noLog.tree.Exists("qv-ppp.log"));
}

TEST(Startup, SystemErrorsEndWithCodeTwo) {
    auto r = RunBrix({"-workdir:/nonexistent/Brix-Dir", "a.bfg"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("/nonexistent/Brix-Dir"), std::string::npos) << r.output;
}

TEST(Startup, UnsetQvMeansTheProgramDirectory) {
    std::string bin = BRIX_BINARY;
    auto r = RunBrix({"box1.bfg"});
    EXPECT_EQ(r.exitCode, 103);
    EXPECT_NE(r.output.find("QV-Pfad " + bin.substr(0, bin.rfind('/') + 1) + " falsch"),
              std::string::npos)
        << r.output;
}

TEST(Startup, ValidTreeWritesTheStartLinesToTheRunLog) {
    HostTree host;
    host.tree.Write("BOX1.bfg", "# empty box\r\n");
    auto r = RunBrix({"box1.bfg"}, {host.Env()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(host.tree.Read("qv-ppp.log"),
              "\r\nBrix Win32 v0.4.2l Beta - Mail & News (Linux)\r\n"
              "POP3, SMTP und NNTP f\x81r den Offline-Reader\r\n\r\n");
}

TEST(Startup, LogDirKeepsItsCaseAndIsAPlainPrefix) {
    HostTree host;
    host.tree.MakeDir("Logs");
    host.tree.Write("box1.bfg", "");
    // "Logs/run-" names no directory: the check looks at the value as given.
    host.tree.Write("qvdesk.cfg", "  logdir=" + host.tree.Path() + "Logs/run-  \r\n");
    EXPECT_EQ(RunBrix({"box1.bfg"}, {host.Env()}).exitCode, 103);
    host.tree.Write("qvdesk.cfg",
                    "LOGDIR=/nowhere/\r\n  logdir=" + host.tree.Path() + "Logs/ \r\n");
    EXPECT_EQ(RunBrix({"box1.bfg"}, {host.Env()}).exitCode, 0);
    EXPECT_TRUE(host.tree.Exists("Logs/qv-ppp.log"));
}

TEST(Startup, BoxNamesFromPathsAndConfigSwitch) {
    HostTree host;
    host.tree.Write("BOX1.bfg", "");
    host.tree.Write("b2.bfg", "");
    auto r = RunBrix({host.tree.Path() + "box1.bfg", "-config:c:\\qv\\B2", "-v", "-debug"},
                     {host.Env()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(host.tree.Exists("BOX1.log"));
    EXPECT_TRUE(host.tree.Exists("B2.log"));
}

TEST(Startup, MissingBoxFileIsReportedInTheLog) {
    HostTree host;
    auto r = RunBrix({"nobox.bfg", "-v"}, {host.Env()});
    EXPECT_EQ(r.exitCode, 0);
    const std::string line =
        "Error (main): Config-Datei '" + host.tree.Path() + "NOBOX.bfg' nicht gefunden";
    EXPECT_NE(r.output.find(line + "\n"), std::string::npos) << r.output;
    EXPECT_NE(host.tree.Read("qv-ppp.log").find(" " + line + "\r\n"), std::string::npos);
}

} // namespace
} // namespace brix
