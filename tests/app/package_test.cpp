// What the package and `cmake --install` put in place, tried with the real
// binary: the README's first box as a reader types it, the example boxes,
// the bash completion, where the install rules put the systemd units for
// each prefix, and lintian's verdict on the package.

#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace brix {
namespace {

using namespace testing;
namespace fs = std::filesystem;

const std::string kSource = BRIX_SOURCE_DIR;

std::string BinaryDir() {
    const std::string bin = BRIX_BINARY;
    return bin.substr(0, bin.rfind('/'));
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The shell lines of the README's walk-through: the fenced block after its
// marker comment, as a reader copies them.
std::string WalkThrough(const std::string& readme) {
    constexpr auto none = std::string::npos;
    auto open = readme.find("```sh\n", readme.find("<!-- walk-through"));
    const auto close = open == none ? none : readme.find("\n```", open += 6);
    return close == none ? "" : readme.substr(open, close - open + 1);
}

// A fresh home directory (no "/" at the end: "~/qv/" must not become
// "//qv/") and a path that finds the built brix first.
struct FreshHome {
    TempTree tree;
    std::string Dir() const { return tree.Path().substr(0, tree.Path().size() - 1); }
    std::vector<std::string> Env() const {
        return {"HOME=" + Dir(), "PATH=" + BinaryDir() + ":/usr/bin:/bin"};
    }
};

TEST(Package, ReadmeWalkThroughPassesItsCheck) {
    const std::string lines = WalkThrough(TempTree::ReadAny(kSource + "/README.md"));
    ASSERT_TRUE(Contains(lines, "-check")) << "no walk-through found in README.md:\n" << lines;
    FreshHome home;
    home.tree.Write("walk-through.sh", lines);
    // -e: a line that fails stops it, as the reader would notice.
    const auto r =
        RunProgram("/bin/bash", {"-e", home.tree / "walk-through.sh"}, home.Env(), home.Dir());
    EXPECT_EQ(r.exitCode, 0) << lines << r.output;
    EXPECT_TRUE(Contains(r.output, "Box HOME: " + home.Dir() + "/qv/HOME.bfg")) << r.output;
    EXPECT_FALSE(Contains(r.output, "warning")) << r.output;
}

// Each example, set up as the README's walk-through does (reader's tree,
// the copy made the owner's alone), reads cleanly and says what it is for.
TEST(Package, ExampleBoxesPassTheirCheck) {
    struct Case {
        std::string box;
        std::vector<std::string> files;
        std::vector<std::string> shown;
    } cases[] = {
        {"HOME.bfg",
         {"HOME.bfg"},
         {"POP3 pop.example.org port 995, TLS, user alice, password ****, kept on the server",
          "SMTP mail.example.org port 587, STARTTLS, user alice, password ****, AUTH LOGIN"}},
        {"NEWS.bfg",
         {"NEWS.bfg", "NEWS.rc"},
         {"NNTP news.example.org port 563, TLS, user alice, password ****", "de.test after 0",
          "de.comp.lang.c after -20, headers only", "jobs: getnglist getnews"}},
        {"GMAIL.bfg",
         {"GMAIL.bfg"},
         {"POP3 pop.gmail.com port 995, TLS, user alice@gmail.com, password from `brix-oauth2 "
          "token gmail`, AUTH XOAUTH2",
          "SMTP smtp.gmail.com port 587, STARTTLS, user alice@gmail.com, password from "
          "`brix-oauth2 token gmail`, AUTH XOAUTH2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.box);
        TempTree qv;
        qv.MakeDir("spool");
        qv.Write("qvdesk.cfg", "");
        for (const auto& f : c.files)
            qv.Write(f, TempTree::ReadAny(kSource + "/dist/examples/" + f));
        ::chmod((qv / c.box).c_str(), 0600);
        const auto r = RunBrix({c.box, "-check"}, {"QV=" + qv.Path()});
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_FALSE(Contains(r.output, "warning")) << r.output;
        for (const auto& s : c.shown)
            EXPECT_TRUE(Contains(r.output, s)) << s << "\n" << r.output;
    }
}

// The words the completion offers for `line` (the cursor at its end), run
// in bash in workDir with the extra environment.
std::vector<std::string> Complete(const std::string& line, const std::string& workDir,
                                  const std::vector<std::string>& env = {}) {
    const std::string script = "source \"$1\"\n"
                               "COMP_LINE=$2\n"
                               "COMP_POINT=${#2}\n"
                               "_brix brix\n"
                               "printf '<%s>\\n' \"${COMPREPLY[@]}\"\n";
    const auto r = RunProgram("/bin/bash",
                              {"-c", script, "bash", kSource + "/dist/brix.bash-completion", line},
                              env, workDir);
    std::vector<std::string> words;
    std::istringstream lines(r.output);
    for (std::string l; std::getline(lines, l);)
        if (l.size() > 2 && l.front() == '<' && l.back() == '>')
            words.push_back(l.substr(1, l.size() - 2));
        else if (!l.empty() && l != "<>")
            ADD_FAILURE() << "completion said: " << l;
    std::sort(words.begin(), words.end());
    return words;
}

TEST(Package, BashCompletionOffersTheSwitchesAndTheBoxesOfQv) {
    TempTree qv, other;
    qv.MakeDir("spool");
    qv.Write("qvdesk.cfg", "");
    for (const char* f : {"HOME.bfg", "news.BFG", "notes.txt", "HOME.rc"})
        qv.Write(f, "");
    qv.MakeDir("old.bfg"); // a folder, not a box
    ::chmod((qv / "HOME.bfg").c_str(), 0600);
    other.Write("WORK.bfg", "");
    other.MakeDir("mail");
    const std::string inQv = "QV=" + qv.Path();
    const std::string debugs = "-debug -debug1 -debug2 -debug3 -debug4 -debug5 -debug6 "
                               "-debug7 -debug8 -debug9";
    auto join = [](const std::vector<std::string>& v) {
        std::string s;
        for (const auto& w : v)
            s += (s.empty() ? "" : " ") + w;
        return s;
    };
    struct Case {
        std::string line;
        std::string workDir;
        std::vector<std::string> env;
        std::string words; // sorted, blank-separated
    } cases[] = {
        {"brix --", qv.Path(), {}, "--help --version"},
        {"brix -ch", qv.Path(), {}, "-check"},
        {"brix -debug", qv.Path(), {}, debugs},
        {"brix HOME.bfg -c", qv.Path(), {}, "-check -config:"},
        // The boxes of $QV, in any case, wherever brix is started.
        {"brix ", other.Path(), {inQv}, "HOME.bfg news.BFG"},
        {"brix h", other.Path(), {inQv}, "HOME.bfg"},
        {"brix -v N", other.Path(), {inQv}, "news.BFG"},
        // QV given on the command line counts as well.
        {"QV=" + qv.Path() + " brix ", other.Path(), {}, "HOME.bfg news.BFG"},
        // Without QV, those of the current directory.
        {"brix ", other.Path(), {}, "WORK.bfg"},
        // bash replaces only what follows the ':'.
        {"brix -config:h", other.Path(), {inQv}, "HOME"},
        {"brix -workdir:m", other.Path(), {}, "mail/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(join(Complete(c.line, c.workDir, c.env)), c.words);
    }

    // Every switch offered is one brix takes.
    const auto all = Complete("brix -", qv.Path());
    for (const char* s : {"--help", "--version", "-h", "-check", "-q", "-v", "-smtp", "-debug",
                          "-debug9", "-config:", "-workdir:"})
        EXPECT_NE(std::find(all.begin(), all.end(), s), all.end()) << s;
    for (std::string s : all) {
        if (s == "-config:") s += "HOME";
        if (s == "-workdir:") s += qv.Path();
        const auto r = RunBrix({"HOME.bfg", s, "-check"}, {inQv});
        const int expected = s == "-h" ? 1 : 0;
        EXPECT_EQ(r.exitCode, expected) << s << "\n" << r.output;
    }
}

// gzip -9n: no file name, no time stamp, the most compression.
void ExpectReproducibleGzip(const std::string& path) {
    const std::string bytes = TempTree::ReadAny(path);
    ASSERT_GE(bytes.size(), 10u) << path;
    EXPECT_EQ(bytes.substr(0, 2), "\x1f\x8b") << path;
    EXPECT_EQ(bytes[3], 0) << path << ": flags (a file name?)";
    EXPECT_EQ(bytes.substr(4, 4), std::string(4, '\0')) << path << ": time stamp";
    EXPECT_EQ(bytes[8], 2) << path << ": not -9";
}

// `cmake --install` of this build: the units where the user manager looks
// for the prefix, naming the program's full path (its search path has no
// ~/.local/bin); the rest where bash and man find it.
TEST(Package, InstallPutsEachFileWhereItIsFound) {
    TempTree t;
    struct Case {
        std::string prefix;
        std::string unitDir; // relative to the prefix
    } cases[] = {
        {"/usr", "lib/systemd/user"},
        {"/usr/local", "lib/systemd/user"},
        {t.Path() + "home/alice/.local", "share/systemd/user"},
        {"/opt/brix", "share/systemd/user"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.prefix);
        // Never onto this machine's own /usr: everything goes below DESTDIR.
        const std::string dest = t.Path() + "stage" + std::to_string(&c - cases);
        const auto r =
            RunProgram(BRIX_CMAKE_COMMAND, {"--install", BRIX_BUILD_DIR, "--prefix", c.prefix},
                       {"DESTDIR=" + dest});
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const std::string root = dest + c.prefix + "/";
        const std::string other =
            c.unitDir == "lib/systemd/user" ? "share/systemd/user" : "lib/systemd/user";
        EXPECT_TRUE(fs::is_regular_file(root + c.unitDir + "/brix@.timer"));
        EXPECT_FALSE(fs::exists(root + other));
        const std::string service = TempTree::ReadAny(root + c.unitDir + "/brix@.service");
        EXPECT_TRUE(Contains(service, "\nExecStart=" + c.prefix + "/bin/brix %i.bfg -q\n"))
            << service;
        for (const char* file :
             {"bin/brix", "bin/brix-oauth2", "share/bash-completion/completions/brix",
              "share/doc/brix/copyright"})
            EXPECT_TRUE(fs::is_regular_file(root + file)) << file;
        for (const char* page : {"brix.1.gz", "brix-oauth2.1.gz"})
            ExpectReproducibleGzip(root + "share/man/man1/" + page);
        ExpectReproducibleGzip(root + "share/doc/brix/changelog.Debian.gz");
        for (const char* example :
             {"HOME.bfg", "NEWS.bfg", "NEWS.rc", "GMAIL.bfg", "brix.crontab"}) {
            struct stat st {};
            EXPECT_EQ(::stat((root + "share/doc/brix/examples/" + example).c_str(), &st), 0)
                << example;
            EXPECT_EQ(st.st_mode & 07777, 0644u) << example;
        }
    }
}

bool OnPath(const std::string& program) {
    return RunProgram("/bin/sh", {"-c", "command -v " + program}).exitCode == 0;
}

// The package as CPack builds it, as lintian sees it: no error, and no
// warning that the package does not override with its reason.
TEST(Package, LintianFindsNothingToMend) {
    if (!OnPath("lintian") || !OnPath("dpkg-deb"))
        GTEST_SKIP() << "lintian or dpkg-deb is not installed (scripts/test installs them)";
    TempTree out;
    const auto pack = RunProgram(
        BRIX_CPACK_COMMAND, {"-G", "DEB", "--config",
                             std::string(BRIX_BUILD_DIR) + "/CPackConfig.cmake", "-B", out.Path()});
    ASSERT_EQ(pack.exitCode, 0) << pack.output;
    std::string deb;
    for (const auto& e : fs::directory_iterator(out.Path()))
        if (e.path().extension() == ".deb") deb = e.path().string();
    ASSERT_FALSE(deb.empty()) << pack.output;
    const auto r = RunProgram("/usr/bin/lintian", {"--fail-on", "error,warning", deb});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_FALSE(Contains(r.output, "\nE: ") || r.output.rfind("E: ", 0) == 0) << r.output;
    EXPECT_FALSE(Contains(r.output, "\nW: ") || r.output.rfind("W: ", 0) == 0) << r.output;
}

} // namespace
} // namespace brix
