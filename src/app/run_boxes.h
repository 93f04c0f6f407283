#pragma once
// The job sequence: every box of the run, its filters and its jobs in their
// fixed order.

#include "context/config.h"

#include <string>

namespace brix {

// One entry per job and filter step, so that the sequence can be driven with
// test doubles; the program wires the real jobs.
class BoxJobs {
  public:
    virtual ~BoxJobs() = default;
    virtual void GetMail(tbrixconfig& box, bool phoActive) = 0;
    // The IMAP fetch, after the POP3 fetch. Not pure: a test double that
    // has nothing to say about it need not know it.
    virtual void GetImap(tbrixconfig& box, bool phoActive) {
        (void)box;
        (void)phoActive;
    }
    virtual void SendMail(tbrixconfig& box) = 0;
    virtual void GetNewsgroupList(tbrixconfig& box) = 0;
    virtual void PostNews(tbrixconfig& box) = 0;
    virtual void GetNews(tbrixconfig& box, bool phoActive) = 0;

    // The sender filter: true when the file could be opened for loading.
    virtual bool PhoOpen(const std::string& fileName) = 0;
    virtual void PhoLoad() = 0;
    virtual void PhoFree() = 0;
    // The scorefile: true when it is loaded and to be used.
    virtual bool ScoreLoad(const std::string& fileName) = 0;
    virtual void ScoreFree() = 0;
};

// Which jobs of a box have work (decided before the first job runs).
struct BoxWork {
    bool MailFetch = false;
    bool ImapFetch = false;
    bool MailSend = false;
    bool NewsJobs = false;
    bool SmtpServerMissing = false;
    bool NothingToSend = false;
};
BoxWork DecideWork(const tbrixconfig& box);

// The box file of a box name: in QvPath, name + ".bfg".
std::string BoxFileOf(const std::string& box);
// A spool left empty in the box file falls back to the box's UUZ spool, and
// that one to the general spool; IMAPSPOOL to POP3SPOOL's first word.
void FillSpoolDefaults(tbrixconfig& box, const std::string& spoolDir);
// Each warning of the boxes' files, once per run (run log, standard error).
void ReportBoxWarnings(const std::string& boxList);

// The box list after the first box's PPP_BOXPAKETE.
std::string ExpandBoxList(const std::string& boxList, const std::string& boxPakete);

// The pause before sending with SMTP after POP, in milliseconds.
std::int64_t SmtpAfterPopPause(std::int64_t t0, std::int64_t t1, std::int32_t delaySeconds);

void RunBoxes(BoxJobs& jobs);

// RunBoxes inside the last-resort exception report.
void RunBoxesReported(BoxJobs& jobs);

} // namespace brix
