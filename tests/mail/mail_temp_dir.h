#pragma once
// A scratch directory for spool and state files, removed with its content.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace brix::testing {

class MailTempDir {
  public:
    MailTempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "brix-mail-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl + "/";
    }
    ~MailTempDir() {
        std::error_code ec;
        ::chmod(path_.c_str(), 0700);
        std::filesystem::remove_all(path_, ec);
    }
    MailTempDir(const MailTempDir&) = delete;
    MailTempDir& operator=(const MailTempDir&) = delete;

    // Directory with "/" at the end, used as a plain prefix of file names.
    const std::string& Path() const { return path_; }

    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(path_ + name, std::ios::binary);
        out << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(path_ + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Has(const std::string& name) const {
        struct stat st {};
        return ::lstat((path_ + name).c_str(), &st) == 0;
    }
    // Names in the directory, sorted.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    std::string path_;
};

} // namespace brix::testing
