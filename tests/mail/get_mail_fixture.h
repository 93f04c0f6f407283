#pragma once
// Shared set-up of the mail fetch job tests: run settings in a temporary
// host tree, a box with one account on the scripted server, test doubles for
// the console, clock and keyboard, and readers for the files the job leaves.

#include "display/status_screen.h"
#include "filter/pho.h"
#include "frame/config.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "mail/get_mail.h"
#include "platform/fakes.h"
#include "platform/keyboard.h"
#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace brix::testing {

// Answers ESC at the n-th abort check of the job (counting from 1).
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

inline const char* kGreeting = "+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>";

// Greeting, USER joe, PASS secret.
inline Script LoginScript() {
    return Script()
        .Send(kGreeting)
        .Expect("USER joe")
        .Send("+OK")
        .Expect("PASS secret")
        .Send("+OK");
}

// A multi-line answer: "+OK", the lines (dot-stuffed) and ".".
inline Script& SendBody(Script& script, const std::vector<std::string>& lines) {
    std::vector<std::string> wire;
    for (const std::string& line : lines)
        wire.push_back(!line.empty() && line[0] == '.' ? "." + line : line);
    wire.push_back(".");
    return script.Send("+OK").SendLines(wire);
}

class GetMailTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = Settings();
        RunSettings& s = Settings();
        s = RunSettings{};
        s.VerboseMode = true;
        s.QvPath = tree.Path();
        s.SpoolDir = tree.Path() + "spool/";
        s.LogDir = tree.Path();
        s.CurrentBox = "BOX1";
        tree.MakeDir("spool");
        box.POP3SERVER = "127.0.0.1";
        box.POP3USER = "joe";
        box.POP3PASS = "secret";
        box.POP3KEEP = "J";
        box.POP3SPOOL = tree.Path() + "spool/";
        box.POP3TIMEOUT = "3";
    }
    void TearDown() override {
        CloseStatusScreen();
        SetLogScreenShown(false);
        PhoFree();
        Settings() = saved_;
    }

    // Runs the job against the scripted server (its port as POP3PORT).
    void Run(ScriptServer& server, bool pho = false) {
        box.POP3PORT = server.PortText();
        GetMail(box, pho);
    }
    // The run log without its time stamps.
    std::vector<std::string> RunLog() const { return LogLines("qv-ppp.log", 20); }
    std::vector<std::string> BoxLog() const { return LogLines("BOX1.log", 0); }
    std::vector<std::string> LogLines(const std::string& name, std::size_t stamp) const {
        std::vector<std::string> lines;
        std::string text = tree.Read(name);
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find("\r\n", pos);
            if (end == std::string::npos) end = text.size();
            lines.push_back(text.substr(pos, end - pos).substr(std::min(stamp, end - pos)));
            pos = end + 2;
        }
        return lines;
    }
    // Names in the spool directory, sorted.
    std::vector<std::string> Spool() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(tree.Path() + "spool"))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string Spooled(const std::string& name) const { return tree.Read("spool/" + name); }
    std::string Uids() const { return tree.Read("e-mail.uid"); }
    // Loads a sender filter with these "brix-pho:" entries.
    void LoadPho(const std::string& entries) {
        tree.Write("pho.txt", entries);
        ASSERT_TRUE(PhoOpen(tree.Path() + "pho.txt"));
        PhoLoad();
    }

    TempTree tree;
    MemoryScreen screen;
    FixedClock clock;
    ScriptedKeyboard keyboard;
    tbrixconfig box;
    RunSettings saved_;
};

// Identifier of a UIDL id of joe at the scripted server.
inline std::string Id(const std::string& uid) {
    return "<" + uid + "@joe.127.0.0.1>";
}

} // namespace brix::testing
