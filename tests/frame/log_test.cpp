#include "frame/log.h"
#include "frame/settings.h"
#include "platform/fakes.h"
#include "support/errors.h"
#include "support/textfile.h"
#include "testing/settings_scope.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

class LogTest : public ::testing::Test {
  protected:
    void TearDown() override { SetLogScreenShown(false); }
    testing::TempTree tree;
    testing::SettingsScope settings{tree};
    testing::MemoryScreen screen;
    testing::FixedClock clock;
};

TEST_F(LogTest, StampedLineFormat) {
    clock.now = {2001, 3, 5, 9, 7, 3};
    WriteLog("hello", 1);
    EXPECT_EQ(tree.Read("qv-ppp.log"), "05.03.2001 09:07:03 hello\r\n");
    EXPECT_EQ(StampPrefix({2001, 2, 3, 9, 5, 0}), "03.02.2001 09:05:00 ");
}

TEST_F(LogTest, WithoutDebugLevelNoBoxLogIsWritten) {
    WriteLog("a", 2);
    WriteLog("b", 3);
    EXPECT_FALSE(tree.Exists("BOX1.log"));
    EXPECT_EQ(tree.Read("qv-ppp.log"), "03.02.2001 09:05:00 b\r\n");
}

TEST_F(LogTest, DebugLevelWritesPlainLinesToTheBoxLog) {
    Settings().DebugLevel = 1;
    WriteLog("a", 2);
    WriteLog("b", 3);
    WriteLog("c", 1);
    EXPECT_EQ(tree.Read("BOX1.log"), "a\r\nb\r\n");
    EXPECT_EQ(tree.Read("qv-ppp.log"), "03.02.2001 09:05:00 b\r\n03.02.2001 09:05:00 c\r\n");
}

TEST_F(LogTest, SameMessageTwiceGivesTwoLines) {
    WriteLog("x", 1);
    WriteLog("x", 1);
    EXPECT_EQ(tree.Read("qv-ppp.log"), "03.02.2001 09:05:00 x\r\n03.02.2001 09:05:00 x\r\n");
}

TEST_F(LogTest, LinesAreCutAt255WithTheStamp) {
    WriteLog(std::string(250, 'm'), 1);
    EXPECT_EQ(tree.Read("qv-ppp.log"), "03.02.2001 09:05:00 " + std::string(235, 'm') + "\r\n");
}

TEST_F(LogTest, ConsoleEcho) {
    // Verbose: every level, even 0 and a level-2 message without debug log.
    Settings().VerboseMode = true;
    WriteLog("zero", 0);
    WriteLog("two", 2);
    EXPECT_EQ(screen.output, "zero\ntwo\n");
    EXPECT_FALSE(tree.Exists("qv-ppp.log"));
    // Normal mode while the status window is shown: nothing on the console.
    Settings().VerboseMode = false;
    screen.output.clear();
    SetLogScreenShown(true);
    WriteLog("run", 3);
    EXPECT_EQ(screen.output, "");
    // After the window is released, run-log messages reach the console.
    SetLogScreenShown(false);
    WriteLog("report", 3);
    WriteLog("debug only", 2);
    EXPECT_EQ(screen.output, "report\n");
}

TEST_F(LogTest, ProtocolLinesGoToTheBoxLogAndVerboseConsole) {
    Settings().DebugLevel = 1;
    Settings().VerboseMode = true;
    LogProtocolLine("<USER hans");
    LogProtocolLine(">+OK");
    EXPECT_EQ(tree.Read("BOX1.log"), "<USER hans\r\n>+OK\r\n");
    EXPECT_EQ(screen.output, "<USER hans\n>+OK\n");
}

TEST_F(LogTest, LogFileFoundUnderAnotherCaseIsAppendedTo) {
    Settings().DebugLevel = 1;
    tree.Write("box1.log", "old\r\n");
    WriteLog("new", 2);
    EXPECT_EQ(tree.Read("box1.log"), "old\r\nnew\r\n");
    EXPECT_FALSE(tree.Exists("BOX1.log"));
}

// A full disk or a vanished log directory never ends a job; once a log has
// failed, its later lines are dropped.
TEST_F(LogTest, UnwritableLogIsReportedOnceAndSkipped) {
    Settings().LogDir = tree.Path() + "missing/";
    EXPECT_NO_THROW(WriteLog("x", 1));
    tree.MakeDir("missing");
    EXPECT_NO_THROW(WriteLog("y", 1));
    EXPECT_FALSE(tree.Exists("missing/qv-ppp.log"));
}

} // namespace
} // namespace brix
