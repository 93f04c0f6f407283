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
const std::string kUtf8 = "LC_ALL=C.UTF-8";

// A host reader tree with spool directory and configuration.
struct HostTree {
    TempTree tree;
    HostTree(const std::string& cfg = "Farben=1\r\n") {
        tree.MakeDir("spool");
        tree.Write("qvdesk.cfg", cfg);
    }
    std::string Env() const { return "QV=" + tree.Path(); }
};

TEST(Startup, NoArgumentsShowsUsage) {
    auto r = RunBrix({}, {kUtf8});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output,
              kBanner + "\nUsage: brix.exe <configfile> [-h] [-v] [-smtp] [-debug[1..9]]\n\n"
                        " <configfile>   configuration file (*.BFG)\n"
                        " -h             help\n"
                        " -v             verbose mode\n"
                        " -smtp          make batched smtp files\n"
                        " -debugX        make debug level X logfile (where X is between 1 and 2)\n"
                        " -multiX        X=0: no multithreading\n"
                        "                X=1: news multithreading\n"
                        "                X=2: complete multithreading (default)\n\n");
}

TEST(Startup, HelpWinsOverANamedBox) {
    EXPECT_EQ(RunBrix({"x.bfg", "-?"}).exitCode, 1);
    EXPECT_EQ(RunBrix({"/h"}).exitCode, 1);
    EXPECT_EQ(RunBrix({"-HELP", "a.bfg"}).exitCode, 1);
}

TEST(Startup, VerboseAloneNamesNoBox) {
    HostTree host;
    auto r = RunBrix({"-v"}, {host.Env(), kUtf8});
    EXPECT_EQ(r.exitCode, 100);
    EXPECT_EQ(r.output, kBanner + "Fehler: keine Config-Datei angegeben\n");
}

TEST(Startup, NameWithoutExtensionIsRejectedInUpperCase) {
    auto r = RunBrix({"box1"}, {kUtf8});
    EXPECT_EQ(r.exitCode, 102);
    EXPECT_EQ(r.output, kBanner + "Fehler: ung\xC3\xBCltiger Parameter: BOX1\r\n\r\nHilfe zu den "
                                  "Aufrufparametern mit Brix -?\r\n\n");
}

TEST(Startup, UnknownSwitchIsRejected) {
    auto r = RunBrix({"a.bfg", "-multi2"}, {kUtf8});
    EXPECT_EQ(r.exitCode, 102);
    EXPECT_NE(r.output.find("Fehler: ung\xC3\xBCltiger Schalter: MULTI2\r\n\r\nHilfe zu den "
                            "Aufrufparametern mit Brix -?\r\n"),
              std::string::npos)
        << r.output;
}

TEST(Startup, LoneDashIsAFileNameAndRejected) {
    auto r = RunBrix({"-"}, {kUtf8});
    EXPECT_EQ(r.exitCode, 102);
    EXPECT_NE(r.output.find("Parameter: -\r\n"), std::string::npos);
}

TEST(Startup, ConsoleWithoutUtf8ShowsQuestionMarks) {
    auto r = RunBrix({"box1"}, {"LC_ALL=C"});
    EXPECT_NE(r.output.find("Fehler: ung?ltiger Parameter: BOX1"), std::string::npos) << r.output;
}

TEST(Startup, EmptyConfigAndWorkdirValues) {
    auto r = RunBrix({"-config:"});
    EXPECT_EQ(r.exitCode, 101);
    EXPECT_NE(r.output.find("Fehler: -config: Parameterformat falsch\n"), std::string::npos);
    r = RunBrix({"a.bfg", "/workdir:"});
    EXPECT_EQ(r.exitCode, 101);
    EXPECT_NE(r.output.find("Fehler: -workdir: Parameterformat falsch\n"), std::string::npos);
}

TEST(Startup, MissingWorkdirEndsWithTheSystemsReason) {
    auto r = RunBrix({"-workdir:/nonexistent/Brix-Dir", "a.bfg"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("/nonexistent/Brix-Dir"), std::string::npos) << r.output;
}

TEST(Startup, FirstFailingArgumentWins) {
    auto r = RunBrix({"-bogus", "-config:"});
    EXPECT_EQ(r.exitCode, 102);
}

TEST(Startup, MissingSpoolDirectory) {
    TempTree tree;
    tree.Write("qvdesk.cfg", "");
    auto r = RunBrix({"box1.bfg"}, {"QV=" + tree.Path().substr(0, tree.Path().size() - 1)});
    EXPECT_EQ(r.exitCode, 103);
    EXPECT_NE(r.output.find("Fehler: QV-Pfad " + tree.Path() +
                            " falsch oder SPOOL-Verzeichnis nicht gefunden.\n"),
              std::string::npos)
        << r.output;
}

TEST(Startup, MissingHostConfiguration) {
    TempTree tree;
    tree.MakeDir("spool");
    auto r = RunBrix({"box1.bfg"}, {"QV=" + tree.Path()});
    EXPECT_EQ(r.exitCode, 100);
    EXPECT_NE(r.output.find("Fehler: Datei " + tree.Path() + "qvdesk.cfg nicht gefunden\n"),
              std::string::npos);
}

TEST(Startup, MissingLogDirectory) {
    HostTree host("LOGDIR=" + std::string("/nonexistent/logs/") + "\r\n");
    auto r = RunBrix({"box1.bfg"}, {host.Env()});
    EXPECT_EQ(r.exitCode, 103);
    EXPECT_NE(r.output.find("LOG-Verzeichnis nicht gefunden.\n"), std::string::npos);
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
    host.tree.Write("qvdesk.cfg", "  logdir=" + host.tree.Path() + "Logs/run-  \r\nX=1\r\n");
    host.tree.Write("box1.bfg", "");
    // The value names no directory of its own: the check looks at it as given.
    auto r = RunBrix({"box1.bfg"}, {host.Env()});
    EXPECT_EQ(r.exitCode, 103);
    host.tree.Write("qvdesk.cfg",
                    "LOGDIR=/nowhere/\r\n  logdir=" + host.tree.Path() + "Logs/ \r\n");
    r = RunBrix({"box1.bfg"}, {host.Env()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(host.tree.Exists("Logs/qv-ppp.log"));
}

TEST(Startup, UnsetQvMeansTheProgramDirectory) {
    // The build directory has no spool directory: the check names it.
    auto r = RunBrix({"box1.bfg"});
    EXPECT_EQ(r.exitCode, 103);
    std::string bin = BRIX_BINARY;
    std::string dir = bin.substr(0, bin.rfind('/') + 1);
    EXPECT_NE(r.output.find("QV-Pfad " + dir + " falsch"), std::string::npos) << r.output;
}

TEST(Startup, BoxNamesFromPathsAndConfigSwitch) {
    HostTree host;
    host.tree.Write("BOX1.bfg", "");
    host.tree.Write("b2.bfg", "");
    auto r = RunBrix({host.tree.Path() + "box1.bfg", "-config:c:\\qv\\B2", "-v", "-debug"},
                     {host.Env()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    // Both box debug logs exist, named as upper-cased on the command line.
    EXPECT_TRUE(host.tree.Exists("BOX1.log"));
    EXPECT_TRUE(host.tree.Exists("B2.log"));
}

TEST(Startup, MissingBoxFileIsReportedInTheLog) {
    HostTree host;
    auto r = RunBrix({"nobox.bfg", "-v"}, {host.Env()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.find("Error (main): Config-Datei '" + host.tree.Path() +
                            "NOBOX.bfg' nicht gefunden\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(host.tree.Read("qv-ppp.log").find(" Error (main): Config-Datei '"),
              std::string::npos);
}

} // namespace
} // namespace brix
