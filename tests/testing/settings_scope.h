#pragma once
// Run settings for one test, pointing at its tree, restored afterwards.

#include "frame/settings.h"
#include "testing/temp_tree.h"

namespace brix::testing {

class SettingsScope {
  public:
    // Fresh settings with the host reader's directory, logs and spool in the
    // tree, box BOX1.
    explicit SettingsScope(const TempTree& tree) : saved_(Settings()) {
        RunSettings& s = Settings();
        s = RunSettings{};
        s.QvPath = tree.Path();
        s.LogDir = tree.Path();
        s.SpoolDir = tree.Path() + "spool/";
        s.ProgramDir = tree.Path() + "prog/";
        s.CurrentBox = "BOX1";
        tree.MakeDir("spool");
    }
    ~SettingsScope() { Settings() = saved_; }
    SettingsScope(const SettingsScope&) = delete;
    SettingsScope& operator=(const SettingsScope&) = delete;

  private:
    RunSettings saved_;
};

} // namespace brix::testing
