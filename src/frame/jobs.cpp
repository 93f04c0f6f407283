#include "frame/jobs.h"

#include "filter/pho.h"

namespace brix {

// Jobs not built yet do nothing; each is wired here as it arrives.
void ProgramJobs::GetMail(tbrixconfig&, bool) {}
void ProgramJobs::SendMail(tbrixconfig&) {}
void ProgramJobs::GetNewsgroupList(tbrixconfig&) {}
void ProgramJobs::PostNews(tbrixconfig&) {}
void ProgramJobs::GetNews(tbrixconfig&, bool) {}
bool ProgramJobs::PhoOpen(const std::string&) {
    return false;
}
void ProgramJobs::PhoLoad() {}
void ProgramJobs::PhoFree() {}
bool ProgramJobs::ScoreLoad(const std::string&) {
    return false;
}
void ProgramJobs::ScoreFree() {}

} // namespace brix
