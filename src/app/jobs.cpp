#include "app/jobs.h"

#include "context/log.h"
#include "display/status_screen.h"
#include "filter/pho.h"
#include "mail/get_mail.h"
#include "mail/send_mail.h"
#include "news/get_news.h"
#include "news/newsgroup_list.h"
#include "news/post_news.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace brix {

// Each job of the sequence, and the filters the fetch jobs consult.
void ProgramJobs::GetMail(tbrixconfig& box, bool phoActive) {
    brix::GetMail(box, phoActive);
}
void ProgramJobs::SendMail(tbrixconfig& box) {
    brix::SendMail(box);
}
void ProgramJobs::GetNewsgroupList(tbrixconfig& box) {
    brix::GetNewsgroupList(box);
}
void ProgramJobs::PostNews(tbrixconfig& box) {
    brix::PostNews(box);
}
void ProgramJobs::GetNews(tbrixconfig& box, bool phoActive) {
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
