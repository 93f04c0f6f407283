#pragma once
// A temporary directory tree for a test, removed with everything in it.

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <stdlib.h>

namespace brix::testing {

class TempTree {
  public:
    TempTree() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "brix-test-XXXXXX").string();
        char* made = mkdtemp(tmpl.data());
        // Without a folder of its own a test would write into the working
        // directory: better to stop it at once.
        if (!made) throw std::runtime_error("cannot create a temporary folder");
        path_ = std::string(made) + "/";
    }
    ~TempTree() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // The directory with "/" at the end.
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

    void Write(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(path_ + name).parent_path());
        WriteAny(path_ + name, bytes);
    }
    std::string Read(const std::string& name) const { return ReadAny(path_ + name); }
    // Any file's bytes, by its full path.
    static std::string ReadAny(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void WriteAny(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    bool Exists(const std::string& name) const { return std::filesystem::exists(path_ + name); }
    void MakeDir(const std::string& name) const {
        std::filesystem::create_directories(path_ + name);
    }

  private:
    std::string path_;
};

} // namespace brix::testing
