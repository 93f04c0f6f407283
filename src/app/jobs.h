#pragma once
// The real jobs and filters behind the job sequence.

#include "app/run_boxes.h"
#include "filter/scorefile.h"

namespace brix {

class ProgramJobs final : public BoxJobs {
  public:
    void GetMail(tbrixconfig& box, bool phoActive) override;
    void GetImap(tbrixconfig& box, bool phoActive) override;
    void SendMail(tbrixconfig& box) override;
    void GetNewsgroupList(tbrixconfig& box) override;
    void PostNews(tbrixconfig& box) override;
    void GetNews(tbrixconfig& box, bool phoActive) override;
    bool PhoOpen(const std::string& fileName) override;
    void PhoLoad() override;
    void PhoFree() override;
    bool ScoreLoad(const std::string& fileName) override;
    void ScoreFree() override;

  private:
    // The box's scorefile, for the news fetch job.
    tbrix_scorefile score_;
};

} // namespace brix
