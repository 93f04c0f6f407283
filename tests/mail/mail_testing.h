#pragma once
// Shared pieces of the mail tests: a full disk for one scope, the names in a
// folder, and the base of the job tests (run settings in a temporary host
// tree, the platform doubles, readers of the logs).

#include "display/status_screen.h"
#include "frame/config.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "platform/fakes.h"
#include "testing/settings_scope.h"
#include "testing/temp_tree.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace brix::testing {

// Writes beyond `bytes` fail as on a full disk (also for root), for one scope.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        rlimit lim = old_;
        lim.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, handler_);
    }

  private:
    rlimit old_{};
    void (*handler_)(int);
};

inline std::vector<std::string> DirNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Answers ESC at the n-th abort check of a job (counting from 1), once.
class EscAtCheck final : public Keyboard {
  public:
    explicit EscAtCheck(int n) : n_(n) { SetKeyboard(this); }
    ~EscAtCheck() override { SetKeyboard(nullptr); }
    bool KeyPressed() override {
        if (!fired_ && ++checks_ == n_) fired_ = pending_ = true;
        return pending_;
    }
    int ReadKey() override {
        pending_ = false;
        return kEscKey;
    }

  private:
    int n_;
    int checks_ = 0;
    bool fired_ = false;
    bool pending_ = false;
};

// The stamp of every log line under FixedClock.
inline const std::string kStamp = "03.02.2001 09:05:00 ";

class MailJobTest : public ::testing::Test {
  protected:
    void SetUp() override { Settings().VerboseMode = true; }
    void TearDown() override {
        CloseStatusScreen();
        SetLogScreenShown(false);
    }
    std::string SpoolDir() const { return tree.Path() + "spool/"; }
    std::vector<std::string> Spool() const { return DirNames(SpoolDir()); }
    // The run log's lines without their stamps (each is checked).
    std::vector<std::string> RunLog() const {
        std::vector<std::string> lines = LogLines("qv-ppp.log");
        for (std::string& line : lines) {
            EXPECT_EQ(line.substr(0, kStamp.size()), kStamp);
            line.erase(0, kStamp.size());
        }
        return lines;
    }
    // A log's lines, each of which must end in CR LF.
    std::vector<std::string> LogLines(const std::string& name) const {
        std::string text = tree.Read(name);
        EXPECT_TRUE(text.empty() || text.ends_with("\r\n")) << name;
        std::vector<std::string> lines;
        for (std::size_t pos = 0, end; (end = text.find("\r\n", pos)) != std::string::npos;
             pos = end + 2)
            lines.push_back(text.substr(pos, end - pos));
        return lines;
    }

    TempTree tree;
    MemoryScreen screen;
    FixedClock clock;
    ScriptedKeyboard keyboard;
    tbrixconfig box;
    SettingsScope settings{tree};
};

} // namespace brix::testing
