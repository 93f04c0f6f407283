#include "app/jobs.h"

#include "context/job.h"
#include "context/log.h"
#include "display/status_screen.h"
#include "filter/pho.h"
#include "mail/get_imap.h"
#include "mail/get_mail.h"
#include "mail/send_mail.h"
#include "news/get_news.h"
#include "news/newsgroup_list.h"
#include "news/post_news.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace brix {

namespace {

// A job whose keys cannot be used as they stand (a word outside a key's
// set, a password cut by the box line) does not start: what it would do
// with a guess could delete mail or send a secret in plain text. Its error
// line names the key.
bool KeysUsable(const tbrixconfig& box, const char* job, std::initializer_list<const char*> keys) {
    const std::string problem = box.KeyError(keys);
    if (problem.empty()) return true;
    LogJobError(job, ebrix_joberror(problem + "; nothing was done"));
    return false;
}

} // namespace

// Each job of the sequence, and the filters the fetch jobs consult.
void ProgramJobs::GetMail(tbrixconfig& box, bool phoActive) {
    if (KeysUsable(box, "getmail", {"POP3KEEP", "POP3USEENVELOPE"})) brix::GetMail(box, phoActive);
}
void ProgramJobs::GetImap(tbrixconfig& box, bool phoActive) {
    if (KeysUsable(box, "getimap", {"IMAPKEEP", "IMAPUSEENVELOPE", "IMAPFOLDERS"}))
        brix::GetImap(box, phoActive);
}
void ProgramJobs::SendMail(tbrixconfig& box) {
    if (KeysUsable(box, "sendmail", {"SMTPAFTERPOP"})) brix::SendMail(box);
}
void ProgramJobs::GetNewsgroupList(tbrixconfig& box) {
    if (!box.NNTPLIST && box.KeyError({"NNTPLIST"}).empty()) return;
    if (KeysUsable(box, "getnglist", {"NNTPLIST"})) brix::GetNewsgroupList(box);
}
void ProgramJobs::PostNews(tbrixconfig& box) {
    if (!FileMatchExists(box.NNTPSPOOL + "n*.out") ||
        KeysUsable(box, "postnews", {"NNTPREPLACEOWN"}))
        brix::PostNews(box);
}
void ProgramJobs::GetNews(tbrixconfig& box, bool phoActive) {
    if (KeysUsable(box, "getnews", {"NNTPRESCAN", "NNTPCOMPRESS", "QVSCOREAKTIV"}))
        brix::GetNews(box, phoActive, box.QVSCOREAKTIV ? &score_ : nullptr);
}
bool ProgramJobs::PhoOpen(const std::string& fileName) {
    return brix::PhoOpen(fileName);
}
void ProgramJobs::PhoLoad() {
    brix::PhoLoad();
}
void ProgramJobs::PhoFree() {
    brix::PhoFree();
}
bool ProgramJobs::ScoreLoad(const std::string& fileName) {
    std::vector<std::string> lines = ReadLines(fileName);
    if (std::optional<tscloaderror> error = score_.Parse(lines, Today())) {
        // The report and its prompt belong below the window, not over it.
        CloseStatusScreen();
        SetLogScreenShown(false);
        HaltOnScorefileError(fileName, *error);
    }
    return true;
}

void ProgramJobs::ScoreFree() {
    score_.Free();
}

} // namespace brix
