#pragma once
// The base of the job tests: doubles of the platform layer (a screen that
// keeps what is written to it, a fixed clock, a scripted keyboard; each
// installs itself for its lifetime), run settings in a temporary host tree,
// readers of the logs, the spool and the state files; a full disk and ESC at
// an abort check for one scope; then the scripted replies of the POP3 and
// NNTP servers.

#include "context/config.h"
#include "context/log.h"
#include "context/settings.h"
#include "display/status_screen.h"
#include "mail/get_mail.h"
#include "news/batch.h"
#include "news/dupes.h"
#include "news/get_news.h"
#include "news/request_file.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace brix::testing {

class MemoryScreen final : public Console {
  public:
    MemoryScreen() { SetConsole(this); }
    ~MemoryScreen() override { SetConsole(nullptr); }

    void Write(std::string_view text) override { output += text; }
    void WriteAt(int, int, std::string_view) override {}
    void SetAttr(std::uint8_t) override {}
    void ClearScreen() override {}
    void CursorOff() override {}
    void CursorOn() override {}
    void Bell() override { ++bells; }
    bool IsScreen() const override { return true; }

    std::string output;
    int bells = 0;
};

class FixedClock final : public Clock {
  public:
    FixedClock() { SetClock(this); }
    ~FixedClock() override { SetClock(nullptr); }
    // Every look is `step` milliseconds later.
    std::uint32_t TickCount() override { return ticks += step; }
    LocalTime Now() override { return now; }
    std::int64_t UnixNow() override { return unix; }
    void Sleep(std::uint32_t ms) override {
        sleeps.push_back(ms);
        ticks += ms;
    }
    std::uint32_t ticks = 1000, step = 0;
    LocalTime now{2001, 2, 3, 9, 5, 0};
    std::int64_t unix = 981191100;
    std::vector<std::uint32_t> sleeps;
};

class ScriptedKeyboard final : public Keyboard {
  public:
    ScriptedKeyboard() { SetKeyboard(this); }
    ~ScriptedKeyboard() override { SetKeyboard(nullptr); }
    // Raw bytes as a terminal would deliver them.
    void Type(const std::string& bytes) {
        decoder_.Feed(bytes.data(), static_cast<int>(bytes.size()));
    }
    bool KeyPressed() override { return decoder_.HasKey(); }
    int ReadKey() override { return decoder_.Next(); }

  private:
    KeyDecoder decoder_;
};

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
    // Fresh run settings with the host reader's directory, logs and spool in
    // the tree, box BOX1; the old ones come back afterwards.
    void SetUp() override {
        RunSettings& s = Settings() = RunSettings{};
        s.QvPath = s.LogDir = tree.Path();
        s.SpoolDir = SpoolDir();
        s.ProgramDir = tree.Path() + "prog/";
        s.CurrentBox = "BOX1";
        s.VerboseMode = true;
        tree.MakeDir("spool");
    }
    void TearDown() override {
        CloseStatusScreen();
        SetLogScreenShown(false);
        Settings() = saved_;
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
    RunSettings saved_ = Settings();
};

// The mail fetch job's tests: a box with one account on the scripted server,
// login and multi-line answers of its scripts, readers of the spool and the
// UID file.
inline const char* kGreeting = "+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>";

// Login, STAT with `count` messages of 160 bytes, UIDL "1 aaa", "2 bbb", ...
inline Script Listed(int count) {
    Script s = Script().Send(kGreeting).Expect("CAPA").Send("-ERR unknown command");
    s.Expect("USER joe").Send("+OK").Expect("PASS secret").Send("+OK");
    s.Expect("STAT").Send("+OK " + std::to_string(count) + " " + std::to_string(160 * count));
    std::vector<std::string> uidl;
    for (int i = 1; i <= count; ++i)
        uidl.push_back(std::to_string(i) + " " + std::string(3, char('a' + i - 1)));
    return s.Expect("UIDL").SendData("+OK", uidl);
}

// Identifier of a UIDL id of joe at the scripted server, whose port is part
// of it (not POP3's own).
inline std::string Id(const std::string& uid, const std::string& port) {
    return "<" + uid + "@joe.127.0.0.1:" + port + ">";
}

class GetMailTest : public MailJobTest {
  protected:
    void SetUp() override {
        MailJobTest::SetUp();
        Settings().SpoolDir = SpoolDir();
        box.POP3SERVER = "127.0.0.1";
        box.POP3USER = "joe";
        box.POP3PASS = "secret";
        box.POP3KEEP = "J";
        box.POP3SPOOL = SpoolDir();
        box.POP3TIMEOUT = "3";
    }
    void Run(ScriptServer& server) {
        box.POP3PORT = server.PortText();
        GetMail(box, false);
    }
    std::string Spooled(const std::string& name) const { return tree.Read("spool/" + name); }
    std::string Uids() const { return tree.Read("e-mail.uid"); }
};

// Set-up of the news job tests: a box on the scripted NNTP server, the
// replies of its dialogues, and readers of the batches and state files.
using Lines = std::vector<std::string>;

// A news server's greeting, and its answer to CAPABILITIES of an RFC 977
// server (no pipelining).
inline Script NewsReady() {
    return Script().Send("200 news ready").Expect("CAPABILITIES").Send("500 what?");
}

// An article with the given number in its subject and Message-ID <n@x>.
inline Lines NewsArticle(int n, const std::string& body = "body") {
    return {"From: poster@example.org",
            "Subject: s" + std::to_string(n),
            "Message-ID: <" + std::to_string(n) + "@x>",
            "Lines: 1",
            "",
            body};
}

// Its overview line (RFC 2980 field order).
inline std::string OverviewLine(int n) {
    return std::to_string(n) + "\ts" + std::to_string(n) + "\tposter@example.org\tToday\t<" +
           std::to_string(n) + "@x>\t\t99\t1";
}

// What the batch holds for these articles.
inline std::string Entries(const std::vector<Lines>& articles) {
    std::string out;
    for (const Lines& a : articles) {
        std::string text;
        for (const std::string& line : a)
            text += line + "\n";
        out += "#! rnews " + std::to_string(text.size()) + "\n" + text;
    }
    return out;
}

class NewsJobTest : public MailJobTest {
  protected:
    void SetUp() override {
        MailJobTest::SetUp();
        NewsBatchCounter() = 0;
        box.NNTPSERVER = "127.0.0.1";
        box.NNTPSPOOL = SpoolDir();
        box.NNTPTIMEOUT = 3;
    }
    void Rc(const std::string& text) { tree.Write("BOX1.rc", text); }
    std::string Rc() const { return tree.Read("BOX1.rc"); }
    std::string Batch(const std::string& name = "n0000.msg") const {
        return tree.Read("spool/" + name);
    }
    std::string Dupes() const { return tree.Read("e-news.idx"); }
    // Runs the job against the server, which must hear what it expects.
    void Run(const Script& script, bool pho = false, tbrix_scorefile* score = nullptr) {
        ScriptServer server(script);
        box.NNTPPORT = server.PortText();
        GetNews(box, pho, score);
        EXPECT_TRUE(server.Passed()) << server.Report();
    }
    bool Logged(const std::string& line) const {
        for (const std::string& l : RunLog())
            if (l == line) return true;
        return false;
    }
};

// A news server that answers from its groups whatever it is asked, in its
// turn, as a real one does: GROUP selects, XOVER (closed or open ranges),
// HEAD and ARTICLE by number in the selected group.
struct NewsStore {
    struct Item {
        std::int64_t no;
        int id;
        bool gone = false;    // in the overview, but no longer there to read
        std::size_t body = 0; // bytes of body beyond its line
    };
    std::map<std::string, std::vector<Item>> groups;
    // refuseAgain: groups selected once, then refused.
    std::set<std::string> refuseGroup, refuseXover, refuseAgain;
    bool pipelining = true;

    static Lines Text(int id, const std::string& group, std::int64_t no, std::size_t body = 0) {
        return {"From: " + std::string(id % 3 ? "poster" : "spammer") + "@example.org",
                "Newsgroups: " + group,
                "Subject: s" + std::to_string(id),
                "Message-ID: <" + std::to_string(id) + "@x>",
                "Xref: news " + group + ":" + std::to_string(no),
                "Lines: 1",
                "",
                "body of " + std::to_string(id) + std::string(body, 'b')};
    }
    Script::Answerer Answerer() const {
        auto selected = std::make_shared<std::string>();
        auto asked = std::make_shared<std::map<std::string, int>>();
        return [store = *this, selected, asked](const std::string& line, std::string& reply) {
            auto data = [&](const std::string& first, const Lines& lines) {
                reply.clear();
                for (const std::string& l : DataLines(first, lines))
                    reply += l + "\r\n";
            };
            reply = "500 what?\r\n";
            const auto g = store.groups.find(*selected);
            auto items = [&](std::int64_t from, std::int64_t to) {
                std::vector<Item> out;
                if (g != store.groups.end())
                    for (const Item& i : g->second)
                        if (i.no >= from && i.no <= to) out.push_back(i);
                return out;
            };
            if (line == "QUIT") return reply = "205 bye\r\n", false;
            if (line == "CAPABILITIES" && store.pipelining)
                data("101 capabilities", {"VERSION 2", "READER"});
            if (line.starts_with("GROUP ")) {
                const std::string name = line.substr(6);
                const auto it = store.groups.find(name);
                if (store.refuseGroup.count(name) ||
                    (store.refuseAgain.count(name) && (*asked)[name]++ > 0)) {
                    reply = "502 not for you\r\n";
                } else if (it == store.groups.end()) {
                    reply = "411 no such group\r\n";
                } else {
                    *selected = name;
                    const auto& v = it->second;
                    reply = "211 " + std::to_string(v.size()) + " " +
                            std::to_string(v.empty() ? 1 : v.front().no) + " " +
                            std::to_string(v.empty() ? 0 : v.back().no) + " " + name + "\r\n";
                }
            }
            if (line.starts_with("XOVER ")) {
                const std::string range = line.substr(6);
                const std::size_t dash = range.find('-');
                const std::int64_t from = std::stoll(range.substr(0, dash));
                const std::int64_t to = dash == std::string::npos ? from
                                        : dash + 1 == range.size()
                                            ? std::numeric_limits<std::int64_t>::max()
                                            : std::stoll(range.substr(dash + 1));
                Lines overview;
                for (const Item& i : items(from, to)) {
                    const std::string l = OverviewLine(i.id);
                    overview.push_back(std::to_string(i.no) + l.substr(l.find('\t')));
                }
                if (g == store.groups.end())
                    reply = "412 no newsgroup selected\r\n";
                else if (store.refuseXover.count(*selected))
                    reply = "501 not here\r\n";
                else if (overview.empty())
                    reply = "423 no articles in that range\r\n";
                else
                    data("224 overview", overview);
            }
            for (const char* verb : {"ARTICLE ", "HEAD "}) {
                if (!line.starts_with(verb)) continue;
                const std::int64_t no = std::stoll(line.substr(std::strlen(verb)));
                const std::vector<Item> found = items(no, no);
                if (found.empty() || found[0].gone) {
                    reply = "423 no such article\r\n";
                    continue;
                }
                Lines text = Text(found[0].id, *selected, no, found[0].body);
                const bool head = verb[0] == 'H';
                if (head) text.resize(6);
                data(std::string(head ? "221 " : "220 ") + std::to_string(no) + " <" +
                         std::to_string(found[0].id) + "@x>",
                     text);
            }
            return true;
        };
    }
};

} // namespace brix::testing
