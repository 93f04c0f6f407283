#include "testing/test_pki.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>

namespace brix::testing {

namespace {
const std::string kNewKey = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ";
}

TestPki::TestPki() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "brix-pki-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a temporary folder");
    dir_ = tmpl;
    ::chmod(dir_.c_str(), 0755); // the servers read their keys as their own users
    for (const char* ca : {"ca", "stranger"})
        Openssl("openssl req -x509 -days 30 -subj /CN=" + std::string(ca) + kNewKey + ca +
                ".key -out " + ca + ".pem");
    localhost_ = Issue("localhost");
}

TestPki::~TestPki() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void TestPki::Openssl(const std::string& commands) const {
    std::string script = "cd '" + dir_ + "' && " + commands + " && chmod 644 * 2>/dev/null";
    if (std::system(("(" + script + ") >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("openssl failed: " + commands);
}

TestPki::Pair TestPki::Issue(const std::string& dns, int days, bool trusted) {
    const std::string n = std::to_string(++serial_), ca = trusted ? "ca" : "stranger";
    Openssl("openssl req -new -subj /CN=" + dns + " -addext subjectAltName=DNS:" + dns + kNewKey +
            "key" + n + ".pem | openssl x509 -req -copy_extensions copy -days " +
            std::to_string(days) + " -CA " + ca + ".pem -CAkey " + ca + ".key -out cert" + n +
            ".pem && cat " + ca + ".pem >> cert" + n + ".pem");
    return {dir_ + "/cert" + n + ".pem", dir_ + "/key" + n + ".pem"};
}

} // namespace brix::testing
