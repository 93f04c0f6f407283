#include "app/run_boxes.h"

#include "context/log.h"
#include "context/settings.h"
#include "display/status_screen.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/textfile.h"
#include "support/language.h"
#include "support/text.h"

#include <algorithm>
#include <new>
#include <set>

namespace brix {

namespace {

// Keeps the log routine informed while the status window is on screen, and
// releases the window on every way out of the run.
class ScreenGuard {
  public:
    explicit ScreenGuard(bool show) {
        if (!show) return;
        OpenStatusScreen(Tr(kBannerLine1), Tr(kBannerLine2), Settings().QvPath);
        SetLogScreenShown(true);
        shown_ = true;
    }
    ~ScreenGuard() {
        if (!shown_) return;
        CloseStatusScreen();
        SetLogScreenShown(false);
    }
    ScreenGuard(const ScreenGuard&) = delete;
    ScreenGuard& operator=(const ScreenGuard&) = delete;

  private:
    bool shown_ = false;
};

// The box's end part: filters freed also when a job raised.
class FilterGuard {
  public:
    FilterGuard(BoxJobs& jobs, const tbrixconfig& box, const bool& phoActive)
        : jobs_(jobs), box_(box), phoActive_(phoActive) {}
    ~FilterGuard() {
        try {
            if (box_.QVSCOREAKTIV) jobs_.ScoreFree();
            if (phoActive_) jobs_.PhoFree();
        } catch (...) {
            // Freeing memory cannot fail in a way worth more than the
            // exception that may already be on its way.
        }
    }
    FilterGuard(const FilterGuard&) = delete;
    FilterGuard& operator=(const FilterGuard&) = delete;

  private:
    BoxJobs& jobs_;
    const tbrixconfig& box_;
    const bool& phoActive_;
};

void LogBoxStart() {
    RotateLog(BoxLogPath());
    AppendBoxLog(std::string(72, '-'), false);
    AppendBoxLog(Tr(kBannerLine1), false);
    AppendBoxLog(Tr(kBannerLine2), false);
}

void LoadPhoFilter(BoxJobs& jobs, const tbrixconfig& box, bool phoActive) {
    if (phoActive && jobs.PhoOpen(box.PPP_KILLFILE)) {
        jobs.PhoLoad();
        WriteLog("Reading PHO-Filter...", 3);
    }
}

void LoadScorefile(BoxJobs& jobs, tbrixconfig& box, const std::string& programDir) {
    if (box.QVSCOREAKTIV && !box.SCOREFILE.empty())
        box.QVSCOREAKTIV = jobs.ScoreLoad(ScorefileOf(box, programDir));
    else
        box.QVSCOREAKTIV = false;
}

// In steps, since one sleep takes at most 32 bits of milliseconds.
void SleepMs(std::int64_t pause) {
    while (pause > 0) {
        const std::int64_t step = std::min<std::int64_t>(pause, 1'000'000'000);
        TheClock().Sleep(static_cast<std::uint32_t>(step));
        pause -= step;
    }
}

void GetMailThenWait(BoxJobs& jobs, tbrixconfig& box, bool phoActive) {
    std::int64_t t0 = TheClock().MonotonicMs();
    jobs.GetMail(box, phoActive);
    std::int64_t t1 = TheClock().MonotonicMs();
    SleepMs(SmtpAfterPopPause(t0, t1, box.SMTPAFTERPOPDELAY));
}

void RunMailJobs(BoxJobs& jobs, tbrixconfig& box, const BoxWork& work, bool phoActive) {
    if (box.SMTPAFTERPOP) {
        if (work.MailFetch) GetMailThenWait(jobs, box, phoActive);
        if (work.MailSend) jobs.SendMail(box);
        // After the sending: the POP3 login that opened the SMTP server
        // counts only for a while.
        if (work.ImapFetch) jobs.GetImap(box, phoActive);
    } else {
        if (work.MailSend) jobs.SendMail(box);
        if (work.MailFetch) jobs.GetMail(box, phoActive);
        if (work.ImapFetch) jobs.GetImap(box, phoActive);
    }
}

void LogMailNotDone(const tbrixconfig& box, const BoxWork& work) {
    if (!work.MailFetch && !work.ImapFetch) {
        WriteLog(Tr("Keine Mail geholt, weil ..."), 3);
        WriteLog(Tr(" - kein POP3-Server eingetragen ist"), 3);
    }
    if (!work.MailSend) {
        WriteLog(Tr("Keine Mail versendet, weil ..."), 3);
        if (work.SmtpServerMissing) WriteLog(Tr(" - kein SMTP-Server eingetragen ist"), 3);
        if (work.NothingToSend)
            WriteLog(
                Tr(" - nichts zu versenden ist, Verzeichnis:%s", {ExtractWord(1, box.SMTPSPOOL)}),
                3);
    }
}

void RunNewsJobs(BoxJobs& jobs, tbrixconfig& box, const BoxWork& work, bool phoActive) {
    if (work.NewsJobs) {
        jobs.GetNewsgroupList(box);
        jobs.PostNews(box);
        jobs.GetNews(box, phoActive);
    } else if (Settings().DebugLevel > 0) {
        WriteLog(Tr("Keine News geholt, weil ..."), 3);
        WriteLog(Tr(" - kein NNTP-Server eingetragen ist"), 3);
    }
}

void RunOneBox(BoxJobs& jobs) {
    RunSettings& s = Settings();
    if (s.DebugLevel > 0) LogBoxStart();
    tbrixconfig box(BoxFileOf(s.CurrentBox));
    ++Totals().boxes;

    bool phoActive = !box.PPP_KILLFILE.empty() && FileExists(box.PPP_KILLFILE);
    FilterGuard filters(jobs, box, phoActive);
    LoadPhoFilter(jobs, box, phoActive);
    FillSpoolDefaults(box, s.SpoolDir);
    box.SMTPAUTH = UpperAscii(box.SMTPAUTH);
    LoadScorefile(jobs, box, s.ProgramDir);

    BoxWork work = DecideWork(box);
    RunMailJobs(jobs, box, work, phoActive);
    if (s.DebugLevel > 0) LogMailNotDone(box, work);
    RunNewsJobs(jobs, box, work, phoActive);
}

} // namespace

std::string BoxFileOf(const std::string& box) {
    return Settings().QvPath + box + ".bfg";
}

void FillSpoolDefaults(tbrixconfig& box, const std::string& spoolDir) {
    if (box.PPP_UUZ_SPOOL.empty()) box.PPP_UUZ_SPOOL = spoolDir;
    if (box.POP3SPOOL.empty()) box.POP3SPOOL = box.PPP_UUZ_SPOOL;
    // The mail of an IMAP account goes where the first POP3 account's does.
    if (box.IMAPSPOOL.empty()) box.IMAPSPOOL = ExtractWord(1, box.POP3SPOOL);
    if (box.SMTPSPOOL.empty()) box.SMTPSPOOL = box.PPP_UUZ_SPOOL;
    if (box.NNTPSPOOL.empty()) box.NNTPSPOOL = box.PPP_UUZ_SPOOL;
}

void ReportBoxWarnings(const std::string& boxList) {
    static std::set<std::string> told;
    for (int i = 1; i <= WordCount(boxList); ++i) {
        try {
            for (const std::string& w : tbrixconfig(BoxFileOf(ExtractWord(i, boxList))).Warnings)
                if (told.insert(w).second) WriteWarning(w);
        } catch (const Exception&) {
            // A box that cannot be read is reported when its turn comes.
        }
    }
}

BoxWork DecideWork(const tbrixconfig& box) {
    BoxWork w;
    w.MailFetch = !box.POP3SERVER.empty();
    w.ImapFetch = !box.IMAPSERVER.empty();
    w.NewsJobs = !box.NNTPSERVER.empty();
    w.SmtpServerMissing = box.SMTPSERVER.empty();
    // Every server's spool counts, not only the first one's: mail queued for
    // the second server must not wait for mail to the first.
    bool anyFile = false;
    int servers = WordCount(box.SMTPSERVER);
    if (servers < 1) servers = 1;
    for (int i = 1; i <= servers && !anyFile; ++i)
        anyFile = FileMatchExists(ExtractWord(i, box.SMTPSPOOL) + "m*.out");
    w.NothingToSend = !anyFile;
    w.MailSend = !w.SmtpServerMissing && anyFile;
    return w;
}

std::string ExpandBoxList(const std::string& boxList, const std::string& boxPakete) {
    std::string list = boxList;
    if (boxPakete.size() > 2) list = ExtractWord(1, boxList) + " " + boxPakete;
    TrimBlanks(list);
    return list;
}

std::int64_t SmtpAfterPopPause(std::int64_t t0, std::int64_t t1, std::int32_t delaySeconds) {
    std::int64_t elapsed = t1 >= t0 ? t1 - t0 : 0;
    std::int64_t wanted = std::int64_t{delaySeconds} * 1000;
    if (delaySeconds > 0 && wanted > elapsed) return wanted - elapsed;
    return 0;
}

void RunBoxes(BoxJobs& jobs) {
    RunSettings& s = Settings();
    {
        tbrixconfig first(BoxFileOf(ExtractWord(1, s.BoxList)));
        s.BoxList = ExpandBoxList(s.BoxList, first.PPP_BOXPAKETE);
    }
    // Before the window covers the screen.
    ReportBoxWarnings(s.BoxList);
    ScreenGuard screen(!s.VerboseMode);
    int boxes = WordCount(s.BoxList);
    for (int i = 1; i <= boxes; ++i) {
        s.CurrentBox = ExtractWord(i, s.BoxList);
        RunOneBox(jobs);
    }
}

void RunBoxesReported(BoxJobs& jobs) {
    try {
        RunBoxes(jobs);
    } catch (const ebrixconfigerror& e) {
        WriteFailure("Error (main): " + e.Message());
    } catch (const Exception& e) {
        WriteFailure(std::string("Exception ") + e.ClassName() + " at address " + e.AddressCode() +
                     ".");
        WriteFailure("File: " + e.SourceFile() + ", line #" + std::to_string(e.SourceLine()));
        WriteFailure(e.Message());
    } catch (const std::bad_alloc&) {
        WriteFailure("Exception EOutOfMemory at address 00000000.");
        WriteFailure("Out of memory");
    } catch (const std::exception& e) {
        WriteFailure("Exception Exception at address 00000000.");
        WriteFailure(e.what());
    }
}

} // namespace brix
