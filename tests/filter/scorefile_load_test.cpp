// A load error ends the process, so those loads run in a child: the test
// executable starts itself again with a hidden test. A fresh process (not a
// bare fork) matters: the console and keyboard decide once whether they talk
// to a terminal.

#include "filter/scorefile.h"
#include "platform/console.h"
#include "platform/fakes.h"
#include "platform/files.h"
#include "platform/terminal.h"
#include "support/errors.h"
#include "support/text.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <map>
#include <poll.h>
#include <pty.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace brix {
namespace {

using testing::FixedClock;
using testing::TempTree;

const std::uint32_t kToday = MakeDate(2001, 6, 15);

std::optional<tscloaderror> ParseText(tbrix_scorefile& sf, const std::string& text) {
    return sf.Parse(SplitLines(text), kToday);
}

TEST(ScorefileLoad, OperatorIsTheLeftmostAndAtItsPlaceTheLongest) {
    struct Case {
        const char *line, *header;
        tcmp op;
        const char* value;
    } cases[] = {

        {"Subject=a==b", "SUBJECT", equi, "A==B"},
        {"Subject==a=b", "SUBJECT", equs, "a=b"},
        {"Subject<a>b", "SUBJECT", lt, "A>B"},

        {"x!y=z", "X!Y", equi, "Z"},
        {" \tReply-To\t =\x84\x94\x81\x82", "REPLY-TO", equi, "\x8E\x99\x9A\x82"},
    };
    for (const Case& c : cases) {
        std::optional<tsccondition> cond = ParseCondition(c.line);
        ASSERT_TRUE(cond) << c.line;
        EXPECT_EQ(cond->header, c.header) << c.line;
        EXPECT_EQ(cond->op, c.op) << c.line;
        EXPECT_EQ(cond->value, c.value) << c.line;
    }
}

TEST(ScorefileLoad, DatesInBothFormsAndTheirRange) {
    int y = 0, m = 0, d = 0;
    EXPECT_TRUE(SplitScoreDate(" 5 . 6 . 2002 ", y, m, d));
    EXPECT_EQ((std::array{y, m, d}), (std::array{2002, 6, 5}));
    for (const char* text : {"31.12.2001x", "2001-12.31", "1.2.3.4"})
        EXPECT_FALSE(SplitScoreDate(text, y, m, d)) << text;
    struct Valid {
        int y, m, d;
        bool ok;
    } valid[] = {
        {2000, 2, 29, true}, {1900, 2, 29, false}, {1700, 1, 1, true}, {65535, 1, 1, true}};
    for (const Valid& v : valid)
        EXPECT_EQ(ValidScoreDate(v.y, v.m, v.d), v.ok) << v.y << "-" << v.m << "-" << v.d;
}

TEST(ScorefileLoad, LoadReadsTheFileUnderAnyCaseAndUsesTheClocksDay) {
    TempTree dir;
    dir.Write("qvscore.sc", "0 10 KILL\r\n[*]\r\nscore 5 expires 3.2.2001\r\n"
                            "score 6 expires 4.2.2001\r\n");
    FixedClock clock; // 3 February 2001
    tbrix_scorefile sf;
    EXPECT_TRUE(sf.Load(dir / "QVSCORE.SC"));
    ASSERT_EQ(sf.Actions().size(), 1u);
    ASSERT_EQ(sf.Sections().at(0).rules.size(), 1u);
    EXPECT_EQ(sf.Sections()[0].rules[0].score, 6);

    EXPECT_THROW(sf.Load(dir / "NONE.SC"), EInOutError);
    EXPECT_THROW(sf.Load(dir.Path()), EInOutError); // a directory
}

// Every check of the loader, with the line it reports and its exit code.
struct ErrorCase {
    const char* file;
    int line;
    const char* raw;
    const char* text;
    int exitCode;
};

const ErrorCase kErrors[] = {
    {"0 10\n", 1, "0 10", ": fehlerhafter Eintrag.", 11},
    {"x 10 KILL\n", 1, "x 10 KILL", ": Zahl erwartet.", 11},
    {"0 0\tKILL x\n", 1, "0 0\tKILL x", ": Zahl erwartet.", 11},
    {"10 0 KILL\n", 1, "10 0 KILL", ": kleinere Zahl zuerst!", 11},
    {"0 10 kaputt\n", 1, "0 10 kaputt", ": falsches Kommando: KAPUTT", 11},
    {"[!]\nscore 1\n", 1, "[!]", ": keine Gruppe.", 7},
    {"[de.*] \nscore 1\n", 1, "[de.*] ", ": keine Gruppe, ']' erwartet.", 7},
    {"0 10 KILL\n# no section follows\n", 2, "# no section follows",
     ": keine Gruppe, '[' erwartet.", 7},
    {"[*]\nFrom=x\n", 2, "From=x", ": kein Score.", 8},
    {"[*]\n", 1, "[*]", ": kein Score.", 8},
    {"[*]\nscore 5 foo\n", 2, "score 5 foo", ": kein Score, Zahl erwartet", 8},
    {"[*]\nscore 99999999999\n", 2, "score 99999999999", ": kein Score, Zahl erwartet", 8},
    {"[*]\nscore 1\nFrom=x\nNAME late\n", 4, "NAME late", ": Name ohne vorheriges SCORE.", 10},
    {"[*]\nscore 1\nNAME\n", 3, "NAME", ": kein Filtereintrag.", 9},
    {"[*]\nscore 1 expires\n", 2, "score 1 expires", ": expires: kein Datum.", 4},
    {"[*]\nscore 1 expires 31.02.2030\n", 2, "score 1 expires 31.02.2030",
     ": expires: Datum ung\x81ltig.", 4},
    {"[*]\nscore 1 expires 1.1.01\n", 2, "score 1 expires 1.1.01", ": expires: Datum ung\x81ltig.",
     4},
    // An expired rule is still read in full.
    {"[*]\nscore 1 expires 1.1.2000\nFrom x\n", 3, "From x", ": kein Filtereintrag.", 9},
    // Line numbers count every line, raw lines keep their leading blanks.
    {"# c\n\n  ; c2\r\n[*]\r\n  score x\r\n", 5, "  score x", ": kein Score, Zahl erwartet", 8},
};

// ---- loads in a child process ---------------------------------------------

constexpr const char* kChildFileVar = "BRIX_SCOREFILE_CHILD";
constexpr const char* kChildFilter = "--gtest_filter=ScorefileChild.Load";

class ScorefileChild : public ::testing::Test {
  public:
    void TestBody() override {
        std::fflush(stdout); // the framework's lines come before the console's
        // As the program does at start-up.
        std::setlocale(LC_ALL, "");
        InstallTerminalGuards();
        EnterRawKeyboard();
        tbrix_scorefile sf;
        sf.Load(std::getenv(kChildFileVar));
        TheConsole().WriteLine("loaded");
        ExitProgram(0);
    }
};

// Registered only in the child, so that it never shows up in a normal run.
const bool kChildRegistered = [] {
    if (std::getenv(kChildFileVar) == nullptr) return false;
    ::testing::RegisterTest("ScorefileChild", "Load", nullptr, nullptr, __FILE__, __LINE__,
                            []() -> ::testing::Test* { return new ScorefileChild; });
    return true;
}();

std::vector<std::string> ChildEnv(const std::string& path) {
    return {std::string(kChildFileVar) + "=" + path, "LC_ALL=C.UTF-8", "GTEST_OUTPUT="};
}

// The console of a child whose console is a pipe, without the framework's
// lines before it.
testing::ProgramResult LoadInChild(const std::string& path) {
    testing::ProgramResult r =
        testing::RunProgram("/proc/self/exe", {kChildFilter}, ChildEnv(path));
    const std::string start = "[ RUN      ] ScorefileChild.Load\n";
    std::size_t at = r.output.find(start);
    r.output.erase(0, at == std::string::npos ? 0 : at + start.size());
    return r;
}

constexpr const char* kPrompt = "Weiter mit Return ... [00:30] ";

struct TtyRun {
    bool ended = false; // within the deadline
    int exitCode = -1;
    std::string output;
};

// Loads the file in a child on a pseudo-terminal; Return answers the prompt.
TtyRun LoadOnTerminal(const std::string& path) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "GTEST_", 6) != 0 && std::strncmp(*e, "LC_ALL=", 7) != 0)
            env.push_back(*e);
    for (const std::string& e : ChildEnv(path))
        env.push_back(e);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe", filter = kChildFilter;
    char* argv[] = {self.data(), filter.data(), nullptr};
    TtyRun run;
    std::fflush(nullptr);
    int ours = -1;
    pid_t pid = ::forkpty(&ours, nullptr, nullptr, nullptr);
    if (pid < 0) return run;
    if (pid == 0) {
        ::execve(self.c_str(), argv, envp.data());
        ::_exit(127);
    }
    bool answered = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{ours, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(ours, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) { // EIO once the child is gone
            run.ended = true;
            break;
        }
        run.output.append(buf, static_cast<std::size_t>(n));
        if (!answered && run.output.find(kPrompt) != std::string::npos)
            answered = ::write(ours, "\r", 1) == 1;
    }
    ::close(ours);
    if (!run.ended) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The child runs under C.UTF-8; without it the console shows "?" for
// anything beyond ASCII.
std::string AsConsoleShowsIt(const std::string& cp850) {
    if (locale_t utf8 = ::newlocale(LC_ALL_MASK, "C.UTF-8", nullptr)) {
        ::freelocale(utf8);
        return Cp850ToUtf8(cp850);
    }
    std::string out = cp850;
    for (char& c : out)
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    return out;
}

TEST(ScorefileLoad, EveryCheckEndsTheProgramWithItsReportAndExitCode) {
    TempTree dir;
    const std::string path = dir / "QVSCORE.SC";
    std::map<std::string, std::string> codeOfText;
    for (const ErrorCase& c : kErrors) {
        SCOPED_TRACE(c.file);
        tbrix_scorefile sf;
        std::optional<tscloaderror> err = ParseText(sf, c.file);
        ASSERT_TRUE(err);
        // A failed load leaves nothing half-built behind.
        EXPECT_TRUE(sf.Actions().empty());
        EXPECT_TRUE(sf.Sections().empty());
        // Eight hex digits, one per check, the same on every load.
        ASSERT_EQ(err->code.size(), 8u);
        EXPECT_EQ(err->code.find_first_not_of("0123456789ABCDEF"), std::string::npos) << err->code;
        std::string check =
            err->text.rfind(": falsches Kommando: ", 0) == 0 ? ": falsches Kommando: " : err->text;
        auto [it, added] = codeOfText.emplace(check, err->code);
        EXPECT_EQ(it->second, err->code) << "one check, one code: " << check;

        dir.Write("QVSCORE.SC", c.file);
        testing::ProgramResult run = LoadInChild(path);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.output,
                  AsConsoleShowsIt("\n\nFehler in Zeile " + std::to_string(c.line) + ":\n" + c.raw +
                                   "\n\nFehler in " + path + " bei " + err->code + c.text + "\n") +
                      "\r" + kPrompt + "\n");
    }
    EXPECT_EQ(codeOfText.size(), 13u);
    std::set<std::string> codes;
    for (const auto& [text, code] : codeOfText)
        codes.insert(code);
    EXPECT_EQ(codes.size(), codeOfText.size()) << "codes must tell the checks apart";
}

TEST(ScorefileLoad, ReturnAtTheTerminalPromptEndsWithTheExitCode) {
    TempTree dir;
    const std::string path = dir / "QVSCORE.SC";
    dir.Write("QVSCORE.SC", "[*]\nscore 1\nNAME a\nNAME b\n");
    TtyRun run = LoadOnTerminal(path);
    // Unanswered, the prompt would count down for 30 seconds.
    ASSERT_TRUE(run.ended) << "child still running; output so far: " << run.output;
    EXPECT_EQ(run.exitCode, 10);
    // The terminal turns each line end into CR LF.
    EXPECT_NE(
        run.output.find("\r\nFehler in Zeile 4:\r\nNAME b\r\n\r\nFehler in " + path + " bei "),
        std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(": Name ohne vorheriges SCORE.\r\n\r" + std::string(kPrompt)),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("[00:25]"), std::string::npos) << run.output;
}

} // namespace
} // namespace brix
