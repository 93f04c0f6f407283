#pragma once
// Scratch directory and file helpers for the scorefile tests.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace brix::testing {

class ScoreTempDir {
  public:
    ScoreTempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "brix-score-XXXXXX").string();
        if (char* made = ::mkdtemp(tmpl.data())) path_ = made;
        path_ += "/";
    }
    ~ScoreTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScoreTempDir(const ScoreTempDir&) = delete;
    ScoreTempDir& operator=(const ScoreTempDir&) = delete;

    // Directory with "/" at the end, like the program's directory values.
    const std::string& Path() const { return path_; }

    std::string Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path_ + name, std::ios::binary) << bytes;
        return path_ + name;
    }

  private:
    std::string path_;
};

} // namespace brix::testing
