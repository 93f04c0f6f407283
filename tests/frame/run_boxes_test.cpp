// The run over the boxes with recorded jobs: their order, the settings a box
// derives, the box list, the SMTP-after-POP pause, filters per box, a job's
// exception, and the keys that abort a job.

#include "frame/abort.h"
#include "frame/log.h"
#include "frame/run_boxes.h"
#include "frame/settings.h"
#include "mail/mail_testing.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using Calls = std::vector<std::string>;

// Records the calls of the sequence; a job can be told to raise.
class RecordingJobs : public BoxJobs {
  public:
    void GetMail(tbrixconfig& box, bool pho) override {
        Note("GetMail(" + Settings().CurrentBox + (pho ? ",pho)" : ")"), box);
        if (clock) clock->ticks += 12000;
    }
    void SendMail(tbrixconfig& box) override {
        Note("SendMail(" + Settings().CurrentBox + ")", box);
    }
    void GetNewsgroupList(tbrixconfig& box) override { Note("NgList", box); }
    void PostNews(tbrixconfig& box) override { Note("PostNews", box); }
    void GetNews(tbrixconfig& box, bool) override { Note("GetNews", box); }
    bool PhoOpen(const std::string&) override { return Note("PhoOpen"), true; }
    void PhoLoad() override { Note("PhoLoad"); }
    void PhoFree() override { Note("PhoFree"); }
    bool ScoreLoad(const std::string&) override { return Note("ScoreLoad"), true; }
    void ScoreFree() override { Note("ScoreFree"); }

    Calls calls;
    std::string raiseIn;
    testing::FixedClock* clock = nullptr; // advanced by each fetch
    tbrixconfig lastBox;

  private:
    void Note(const std::string& what) { calls.push_back(what); }
    void Note(const std::string& what, tbrixconfig& box) {
        Note(what);
        lastBox = box;
        if (!raiseIn.empty() && what.starts_with(raiseIn))
            throw EListError("List index out of bounds (5)");
    }
};

class RunBoxesTest : public testing::MailJobTest {
  protected:
    // Runs the one box BOX1 with this box file.
    void RunBox(const std::string& bfg) {
        tree.Write("BOX1.bfg", bfg);
        Settings().BoxList = "BOX1";
        RunBoxes(jobs);
    }

    RecordingJobs jobs;
};

TEST_F(RunBoxesTest, JobOrderDerivedSettingsAndBoxList) {
    tree.Write("spool/m0001.out", "x");
    RunBox("POP3SERVER=p\nSMTPSERVER=s\nNNTPSERVER=n\n");
    EXPECT_EQ(jobs.calls,
              (Calls{"SendMail(BOX1)", "GetMail(BOX1)", "NgList", "PostNews", "GetNews"}));
    EXPECT_EQ(jobs.lastBox.NNTPSPOOL, tree.Path() + "spool/");
    RunBox("NNTPSERVER=n\nPPP_UUZ_SPOOL=/u/\nPOP3SPOOL=/p/\nSMTPAUTH=login\n");
    EXPECT_EQ(jobs.lastBox.POP3SPOOL, "/p/");
    EXPECT_EQ(jobs.lastBox.SMTPSPOOL, "/u/");
    EXPECT_EQ(jobs.lastBox.SMTPAUTH, "LOGIN");

    // Nothing queued: no send job; a second server's spool counts too.
    jobs.calls.clear();
    std::filesystem::remove(tree / "spool/m0001.out");
    RunBox("SMTPSERVER=s\n");
    EXPECT_TRUE(jobs.calls.empty());
    tree.Write("s2/m0001.out", "x");
    RunBox("SMTPSERVER=a b\nSMTPSPOOL=" + tree.Path() + "s1/ " + tree.Path() + "s2/\n");
    EXPECT_EQ(jobs.calls, (Calls{"SendMail(BOX1)"}));

    // The first box's PPP_BOXPAKETE replaces the rest of the list.
    jobs.calls.clear();
    tree.Write("A.bfg", "PPP_BOXPAKETE=B C\nNNTPSERVER=n\n");
    for (const char* name : {"B.bfg", "C.bfg", "D.bfg"})
        tree.Write(name, "POP3SERVER=p\n");
    Settings().BoxList = "A D";
    RunBoxes(jobs);
    EXPECT_EQ(jobs.calls, (Calls{"NgList", "PostNews", "GetNews", "GetMail(B)", "GetMail(C)"}));
}

TEST_F(RunBoxesTest, SmtpAfterPopPausesForTheRestOfTheDelay) {
    tree.Write("spool/M0001.OUT", "x"); // queued under an upper-case name
    jobs.clock = &clock;
    RunBox("POP3SERVER=p\nSMTPSERVER=s\nSMTPAFTERPOP=J\nSMTPAFTERPOPDELAY=30\n");
    EXPECT_EQ(jobs.calls, (Calls{"GetMail(BOX1)", "SendMail(BOX1)"}));
    EXPECT_EQ(clock.sleeps, (std::vector<std::uint32_t>{18000}));
    // A clock that went backwards counts as no time elapsed; 24.8 days of
    // uptime are nothing special.
    EXPECT_EQ(SmtpAfterPopPause(5000, 100, 2), 2000);
    EXPECT_EQ(SmtpAfterPopPause(0x7FFFFF00, 0x80000100, 1), 488);
}

TEST_F(RunBoxesTest, ReasonLinesInDebugMode) {
    Settings().DebugLevel = 1;
    RunBox("NNTPSERVER=n\n");
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

// A job's exception still frees the box's filters, is reported with where it
// came from, and ends the run; a broken box file ends it too.
TEST_F(RunBoxesTest, ExceptionFromAJobRunsEndPartsAndEndsTheRun) {
    tree.Write("pho.txt", "x");
    tree.Write("A.bfg", "POP3SERVER=p\nNNTPSERVER=n\nPPP_KILLFILE=" + tree.Path() +
                            "pho.txt\nQVSCOREAKTIV=J\nSCOREFILE=QVSCORE.SC\n");
    tree.Write("B.bfg", "POP3SERVER=p\n");
    Settings().BoxList = "A B";
    Settings().DebugLevel = 1;
    Settings().VerboseMode = false;
    jobs.raiseIn = "GetMail(A";
    RunBoxesReported(jobs);
    EXPECT_EQ(jobs.calls,
              (Calls{"PhoOpen", "PhoLoad", "ScoreLoad", "GetMail(A,pho)", "ScoreFree", "PhoFree"}));
    std::string log = tree.Read("qv-ppp.log");
    EXPECT_NE(log.find(" Reading PHO-Filter...\r\n"), std::string::npos);
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
    EXPECT_NE(tree.Read("qv-ppp.log").find(" Error (main): Fehler in der Config-Datei\r\n"),
              std::string::npos);
}

// Only ESC aborts, with a bell; the escape sequences of other keys do not.
TEST(UserAbort, EscAbortsWithABellOtherKeysAreSwallowed) {
    testing::MemoryScreen screen;
    testing::ScriptedKeyboard keys;
    for (const char* typed : {"a", "\x1b[A", "\x1bOP", "\x1b[15~", "\r\x1b[B", "\x1b", "\x1bq"}) {
        keys.Type(typed);
        const bool esc = typed[0] == '\x1b' && (typed[1] == 0 || typed[1] == 'q');
        try {
            CheckUserAbort();
            EXPECT_FALSE(esc) << typed;
            EXPECT_FALSE(keys.KeyPressed()) << typed;
        } catch (const ebrix_break& e) {
            EXPECT_TRUE(esc) << typed;
            EXPECT_EQ(e.Message(), "aborted by user ...");
        }
    }
    EXPECT_EQ(screen.bells, 2);
}

} // namespace
} // namespace brix
