// The scorefile named by a box, loaded by the real program: a good file lets
// the run go on, a bad one ends it with the report and its exit code.

#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

// SCOREFILE is relative to the program's directory: climb from there to "/".
std::string FromProgramDir(const std::string& absolute) {
    std::string bin = BRIX_BINARY;
    std::string dir = bin.substr(0, bin.rfind('/'));
    std::string up;
    for (char c : dir)
        if (c == '/') up += "../";
    return up + absolute.substr(1);
}

struct ScoreTree {
    testing::TempTree tree;
    explicit ScoreTree(const std::string& scorefile) {
        tree.MakeDir("spool");
        tree.Write("qvdesk.cfg", "");
        tree.Write("qvscore.sc", scorefile);
        tree.Write("BOX1.bfg",
                   "QVSCOREAKTIV=J\nSCOREFILE=" + FromProgramDir(tree / "QVSCORE.SC") + "\n");
    }
};

TEST(ScorefileRun, GoodScorefileLetsTheRunGoOn) {
    ScoreTree t("-999 -1 KILL\n[*]\nscore -5\nFrom=*x*\n");
    auto r = testing::RunBrix({"box1.bfg", "-v"}, {"QV=" + t.tree.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.find("Fehler"), std::string::npos) << r.output;
}

TEST(ScorefileRun, BadScorefileEndsTheRunWithItsExitCode) {
    ScoreTree t("[*]\nscore x\n");
    auto r = testing::RunBrix({"box1.bfg"}, {"QV=" + t.tree.Path(), "LC_ALL=C.UTF-8"});
    EXPECT_EQ(r.exitCode, 8) << r.output;
    EXPECT_NE(r.output.find("Fehler in Zeile 2:\nscore x\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\rWeiter mit Return ... [00:30] \n"), std::string::npos) << r.output;
}

TEST(ScorefileRun, MissingScorefileIsAnIoErrorReport) {
    testing::TempTree t;
    t.MakeDir("spool");
    t.Write("qvdesk.cfg", "");
    t.Write("BOX1.bfg", "QVSCOREAKTIV=J\nSCOREFILE=" + FromProgramDir(t / "none.sc") + "\n");
    auto r = testing::RunBrix({"box1.bfg", "-v"}, {"QV=" + t.Path()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.find("Exception EInOutError at address "), std::string::npos) << r.output;
}

} // namespace
} // namespace brix
