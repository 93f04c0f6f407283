#pragma once
// A scratch directory for colour files, removed with everything in it.

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace brix::testing {

class DisplayTempDir {
  public:
    DisplayTempDir() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "brix-display-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl + "/";
    }
    ~DisplayTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    DisplayTempDir(const DisplayTempDir&) = delete;
    DisplayTempDir& operator=(const DisplayTempDir&) = delete;

    // Directory with "/" at the end, as the host reader's path is kept.
    const std::string& Path() const { return path_; }
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(path_ + name, std::ios::binary);
        out << bytes;
    }

  private:
    std::string path_;
};

} // namespace brix::testing
