#include "frame/abort.h"
#include "frame/log.h"
#include "frame/run_boxes.h"
#include "frame/settings.h"
#include "platform/fakes.h"
#include "testing/settings_scope.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace brix {
namespace {

// Records the calls of the sequence; a job can be told to raise.
class RecordingJobs : public BoxJobs {
  public:
    explicit RecordingJobs(testing::FixedClock* clock = nullptr) : clock_(clock) {}
    void GetMail(tbrixconfig& box, bool pho) override {
        Note("GetMail(" + Settings().CurrentBox + (pho ? ",pho)" : ")"), box);
        if (clock_) clock_->ticks += fetchMillis;
    }
    void SendMail(tbrixconfig& box) override {
        Note("SendMail(" + Settings().CurrentBox + ")", box);
    }
    void GetNewsgroupList(tbrixconfig& box) override { Note("NgList", box); }
    void PostNews(tbrixconfig& box) override { Note("PostNews", box); }
    void GetNews(tbrixconfig& box, bool pho) override {
        Note(pho ? "GetNews(pho)" : "GetNews", box);
    }
    bool PhoOpen(const std::string& f) override {
        calls.push_back("PhoOpen(" + f.substr(f.rfind('/') + 1) + ")");
        return true;
    }
    void PhoLoad() override { calls.push_back("PhoLoad"); }
    void PhoFree() override { calls.push_back("PhoFree"); }
    bool ScoreLoad(const std::string& f) override {
        calls.push_back("ScoreLoad(" + f.substr(f.rfind('/') + 1) + ")");
        return true;
    }
    void ScoreFree() override { calls.push_back("ScoreFree"); }

    std::vector<std::string> calls;
    std::string raiseIn;
    std::uint32_t fetchMillis = 0;
    tbrixconfig lastBox;

  private:
    void Note(const std::string& what, tbrixconfig& box) {
        calls.push_back(what);
        lastBox = box;
        if (!raiseIn.empty() && what.rfind(raiseIn, 0) == 0)
            throw EListError("List index out of bounds (5)");
    }
    testing::FixedClock* clock_;
};

class RunBoxesTest : public ::testing::Test {
  protected:
    void SetUp() override { Settings().VerboseMode = true; }
    std::string RunLog() { return tree.Read("qv-ppp.log"); }
    // Runs the one box BOX1 with this box file.
    void RunBox(const std::string& bfg, RecordingJobs& jobs) {
        tree.Write("BOX1.bfg", bfg);
        Settings().BoxList = "BOX1";
        RunBoxes(jobs);
    }

    testing::TempTree tree;
    testing::MemoryScreen screen;
    testing::FixedClock clock;
    testing::SettingsScope settings{tree};
};

using Calls = std::vector<std::string>;

TEST_F(RunBoxesTest, JobOrderDerivedSettingsAndBoxList) {
    tree.Write("spool/m0001.out", "x");
    RecordingJobs jobs;
    RunBox("POP3SERVER=p\nSMTPSERVER=s\nNNTPSERVER=n\n", jobs);
    EXPECT_EQ(jobs.calls,
              (Calls{"SendMail(BOX1)", "GetMail(BOX1)", "NgList", "PostNews", "GetNews"}));
    EXPECT_EQ(jobs.lastBox.POP3SPOOL, tree.Path() + "spool/");
    EXPECT_EQ(jobs.lastBox.NNTPSPOOL, tree.Path() + "spool/");
    RunBox("NNTPSERVER=n\nPPP_UUZ_SPOOL=/u/\nPOP3SPOOL=/p/\nSMTPAUTH=login\n", jobs);
    EXPECT_EQ(jobs.lastBox.POP3SPOOL, "/p/");
    EXPECT_EQ(jobs.lastBox.SMTPSPOOL, "/u/");
    EXPECT_EQ(jobs.lastBox.SMTPAUTH, "LOGIN");

    // Nothing queued: no send job; a second server's spool counts too.
    jobs.calls.clear();
    std::filesystem::remove(tree / "spool/m0001.out");
    RunBox("SMTPSERVER=s\n", jobs);
    EXPECT_TRUE(jobs.calls.empty());
    tree.Write("s2/m0001.out", "x");
    RunBox("SMTPSERVER=a b\nSMTPSPOOL=" + tree.Path() + "s1/ " + tree.Path() + "s2/\n", jobs);
    EXPECT_EQ(jobs.calls, (Calls{"SendMail(BOX1)"}));

    // The first box's PPP_BOXPAKETE replaces the rest of the list.
    jobs.calls.clear();
    tree.Write("A.bfg", "PPP_BOXPAKETE=B C\nNNTPSERVER=n\n");
    for (const char* name : {"B.bfg", "C.bfg", "D.bfg"})
        tree.Write(name, "POP3SERVER=p\n");
    Settings().BoxList = "A D";
    RunBoxes(jobs);
    EXPECT_EQ(jobs.calls, (Calls{"NgList", "PostNews", "GetNews", "GetMail(B)", "GetMail(C)"}));
    EXPECT_EQ(ExpandBoxList("A D", "BC"), "A D"); // too short: ignored
}

TEST_F(RunBoxesTest, SmtpAfterPopPausesForTheRestOfTheDelay) {
    tree.Write("spool/M0001.OUT", "x"); // queued under an upper-case name
    RecordingJobs jobs(&clock);
    jobs.fetchMillis = 12000;
    RunBox("POP3SERVER=p\nSMTPSERVER=s\nSMTPAFTERPOP=J\nSMTPAFTERPOPDELAY=30\n", jobs);
    EXPECT_EQ(jobs.calls, (Calls{"GetMail(BOX1)", "SendMail(BOX1)"}));
    EXPECT_EQ(clock.sleeps, (std::vector<std::uint32_t>{18000}));
    EXPECT_EQ(SmtpAfterPopPause(1000, 41000, 30), 0);
    // A clock that went backwards counts as no time elapsed; 24.8 days of
    // uptime are nothing special.
    EXPECT_EQ(SmtpAfterPopPause(5000, 100, 2), 2000);
    EXPECT_EQ(SmtpAfterPopPause(0x7FFFFF00, 0x80000100, 1), 488);
    EXPECT_EQ(SmtpAfterPopPause(0, 0, 2147483647), 2147483647000LL);
}

TEST_F(RunBoxesTest, ReasonLinesInDebugMode) {
    Settings().DebugLevel = 1;
    RecordingJobs jobs;
    RunBox("NNTPSERVER=n\n", jobs);
    EXPECT_EQ(tree.Read("BOX1.log"), std::string(72, '-') +
                                         "\r\nBrix Win32 v0.4.2l Beta - Mail & News (Linux)\r\n"
                                         "POP3, SMTP und NNTP f\x81r den Offline-Reader\r\n"
                                         "Keine Mail geholt, weil ...\r\n"
                                         " - kein POP3-Server eingetragen ist\r\n"
                                         "Keine Mail versendet, weil ...\r\n"
                                         " - kein SMTP-Server eingetragen ist\r\n"
                                         " - nichts zu versenden ist, Verzeichnis:" +
                                         tree.Path() + "spool/\r\n");
}

TEST_F(RunBoxesTest, FiltersAreLoadedAndFreedPerBox) {
    tree.Write("pho.txt", "brix-pho: a@b\n");
    const std::string pho = "POP3SERVER=p\nPPP_KILLFILE=" + tree.Path() + "pho.txt\n";
    RecordingJobs jobs;
    RunBox(pho + "QVSCOREAKTIV=J\nSCOREFILE=QVSCORE.SC\n", jobs);
    EXPECT_EQ(jobs.calls, (Calls{"PhoOpen(pho.txt)", "PhoLoad", "ScoreLoad(QVSCORE.SC)",
                                 "GetMail(BOX1,pho)", "ScoreFree", "PhoFree"}));
    EXPECT_NE(RunLog().find("Reading PHO-Filter...\r\n"), std::string::npos);
    // A missing filter file, or QVSCOREAKTIV without SCOREFILE: no filters.
    jobs.calls.clear();
    RunBox("POP3SERVER=p\nPPP_KILLFILE=/nonexistent/pho\nQVSCOREAKTIV=J\n", jobs);
    EXPECT_EQ(jobs.calls, (Calls{"GetMail(BOX1)"}));
}

TEST_F(RunBoxesTest, ExceptionFromAJobRunsEndPartsAndEndsTheRun) {
    tree.Write("pho.txt", "x");
    tree.Write("A.bfg", "POP3SERVER=p\nNNTPSERVER=n\nPPP_KILLFILE=" + tree.Path() + "pho.txt\n");
    tree.Write("B.bfg", "POP3SERVER=p\n");
    Settings().BoxList = "A B";
    Settings().DebugLevel = 1;
    Settings().VerboseMode = false;
    RecordingJobs jobs;
    jobs.raiseIn = "GetMail(A";
    RunBoxesReported(jobs);
    EXPECT_EQ(jobs.calls, (Calls{"PhoOpen(pho.txt)", "PhoLoad", "GetMail(A,pho)", "PhoFree"}));
    std::string log = RunLog();
    EXPECT_NE(log.find(" Exception EListError at address "), std::string::npos) << log;
    EXPECT_NE(log.find(" File: run_boxes_test.cpp, line #"), std::string::npos) << log;
    EXPECT_NE(log.find(" List index out of bounds (5)\r\n"), std::string::npos) << log;
    EXPECT_FALSE(tree.Exists("B.log"));
    // The window was released before the report, so it reached the console.
    EXPECT_NE(screen.output.find("Exception EListError at address "), std::string::npos);

    tree.Write("B.bfg", "broken line\n");
    tree.Write("A.bfg", "NNTPSERVER=n\n");
    jobs.calls.clear();
    RunBoxesReported(jobs);
    EXPECT_EQ(jobs.calls, (Calls{"NgList", "PostNews", "GetNews"}));
    EXPECT_NE(RunLog().find(" Error (main): Fehler in der Config-Datei\r\n"), std::string::npos);
}

TEST(UserAbort, EscAbortsWithABellOtherKeysAreSwallowed) {
    testing::MemoryScreen screen;
    testing::ScriptedKeyboard keys;
    for (const char* typed : {"", "a", "\x1b[A", "\x1bOP", "\x1b[15~", "\r\x1b[B"}) {
        keys.Type(typed);
        EXPECT_NO_THROW(CheckUserAbort()) << typed;
        EXPECT_FALSE(keys.KeyPressed());
    }
    EXPECT_EQ(screen.bells, 0);
    for (const char* typed : {"\x1b", "\x1b\x1b", "\x1bq"}) {
        keys.Type(typed);
        try {
            CheckUserAbort();
            ADD_FAILURE() << typed;
        } catch (const ebrix_break& e) {
            EXPECT_EQ(e.Message(), "aborted by user ...");
        }
    }
    EXPECT_EQ(screen.bells, 3);
}

} // namespace
} // namespace brix
