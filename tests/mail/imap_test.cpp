// The IMAP fetch job against an IMAP server played on the scripted
// server's connection: a mailbox that lives across runs, cut at every
// break point of a delete-mode and a keep-mode session (after each answer
// line, inside each literal), and the hostile answers a real server cannot
// be made to give. After a cut run and a whole one, every message is in the
// spool exactly once, and none left the server unstored.

#include "clients/imap_client.h"
#include "mail/get_imap.h"
#include "testing/job_test.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <set>

namespace brix {
namespace {

using namespace testing;

// A mailbox and the server's side of the dialogue, one command line at a
// time. Its output can be cut after any byte.
struct FakeImap {
    std::map<std::uint32_t, std::string> box; // UID -> text with CR LF
    std::set<std::uint32_t> deleted;
    std::uint32_t validity = 7;
    bool uidplus = true;
    // Each answer to a body fetch adds a FETCH of this UID's body first.
    std::uint32_t foreignBody = 0;
    // ... and this UID's body twice.
    std::uint32_t twice = 0;
    // The listing leaves this UID out.
    std::uint32_t hidden = 0;
    std::string refuse; // a command word answered NO
    std::string byeOn;  // a command word answered by BYE and a close
    std::int64_t cutAt = -1, sent = 0;
    // Where the output could be cut: after each line, inside each literal.
    std::vector<std::int64_t> breaks;
    std::vector<std::string> commands;
    // The order of commands across servers: each takes its number here.
    std::atomic<int>* clock = nullptr;
    std::map<std::string, int> at; // command word -> its number

    std::string Numbered(std::uint32_t uid) const {
        return std::to_string(std::distance(box.begin(), box.find(uid)) + 1);
    }
    // The UIDs of a set that the box holds.
    std::vector<std::uint32_t> Set(const std::string& set) const {
        std::vector<std::uint32_t> out;
        for (const auto& [a, b] : ImapUidRanges(set))
            for (auto it = box.lower_bound(a); it != box.end() && it->first <= b; ++it)
                out.push_back(it->first);
        return out;
    }
    void Line(std::string& out, const std::string& line) {
        out += line + "\r\n";
        breaks.push_back(sent + static_cast<std::int64_t>(out.size()));
    }
    void Literal(std::string& out, const std::string& head, const std::string& text,
                 const std::string& tail) {
        out += head + "{" + std::to_string(text.size()) + "}\r\n";
        breaks.push_back(sent + static_cast<std::int64_t>(out.size() + text.size() / 2));
        out += text;
        Line(out, tail);
    }
    bool Answer(const std::string& line, std::string& out) {
        out.clear();
        commands.push_back(line);
        const std::string tag = line.substr(0, line.find(' '));
        const std::string rest = line.substr(tag.size() + 1);
        const std::string word = rest.substr(0, rest.find(' '));
        if (clock) at.emplace(word, ++*clock);
        bool open = true;
        if (!byeOn.empty() && rest.starts_with(byeOn)) {
            Line(out, "* BYE server going down");
            open = false;
        } else if (!refuse.empty() && rest.starts_with(refuse)) {
            Line(out, tag + " NO [UNAVAILABLE] not now");
        } else if (word == "LOGIN") {
            Line(out, tag + " OK [CAPABILITY IMAP4rev1" + std::string(uidplus ? " UIDPLUS" : "") +
                          "] in");
        } else if (word == "EXAMINE" || word == "SELECT") {
            Line(out, "* " + std::to_string(box.size()) + " EXISTS");
            Line(out, "* OK [UIDVALIDITY " + std::to_string(validity) + "] v");
            Line(out, tag + " OK [READ-" + (word == "SELECT" ? "WRITE" : "ONLY") + "] done");
        } else if (rest.starts_with("UID FETCH 1:* (UID RFC822.SIZE)")) {
            for (const auto& [uid, text] : box)
                if (uid != hidden)
                    Line(out, "* " + Numbered(uid) + " FETCH (UID " + std::to_string(uid) +
                                  " RFC822.SIZE " + std::to_string(text.size()) + ")");
            Line(out, tag + " OK listed");
        } else if (rest.starts_with("UID FETCH ")) {
            const std::string set = rest.substr(10, rest.find(' ', 10) - 10);
            const bool header = rest.ends_with("(UID BODY.PEEK[HEADER])");
            if (foreignBody && !header)
                Literal(out, "* 9 FETCH (UID " + std::to_string(foreignBody) + " BODY[] ",
                        "From: x\r\n\r\nnot asked\r\n", ")");
            for (std::uint32_t uid : Set(set)) {
                const std::string& text = box[uid];
                for (int n = uid == twice && !header ? 2 : 1; n > 0; --n)
                    Literal(out,
                            "* " + Numbered(uid) + " FETCH (UID " + std::to_string(uid) +
                                (header ? " BODY[HEADER] " : " BODY[] "),
                            header ? text.substr(0, text.find("\r\n\r\n") + 4) : text, ")");
            }
            Line(out, tag + " OK fetched");
        } else if (rest.starts_with("UID STORE ")) {
            for (std::uint32_t uid : Set(rest.substr(10, rest.find(' ', 10) - 10)))
                deleted.insert(uid);
            Line(out, tag + " OK stored");
        } else if (rest.starts_with("UID EXPUNGE ") && uidplus) {
            for (std::uint32_t uid : Set(rest.substr(12)))
                if (deleted.count(uid)) {
                    Line(out, "* " + Numbered(uid) + " EXPUNGE");
                    box.erase(uid);
                    deleted.erase(uid);
                }
            Line(out, tag + " OK expunged");
        } else if (word == "LOGOUT") {
            Line(out, "* BYE bye");
            Line(out, tag + " OK out");
            open = false;
        } else {
            Line(out, tag + " BAD what");
        }
        if (cutAt >= 0 && sent + static_cast<std::int64_t>(out.size()) > cutAt) {
            out.resize(static_cast<std::size_t>(std::max<std::int64_t>(cutAt - sent, 0)));
            open = false;
        }
        sent += static_cast<std::int64_t>(out.size());
        return open;
    }
};

const std::string kGreet = "* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] ready";

class ImapFetchTest : public MailJobTest {
  protected:
    void SetUp() override {
        MailJobTest::SetUp();
        Settings().SpoolDir = SpoolDir();
        box.IMAPSERVER = "127.0.0.1";
        box.IMAPUSER = "joe";
        box.IMAPPASS = "secret";
        box.IMAPSPOOL = SpoolDir();
        box.IMAPTIMEOUT = "3";
        // Five messages, the third larger than a socket's block.
        for (std::uint32_t i = 1; i <= 5; ++i)
            fake.box[i * 10] = "From: a@b\r\nSubject: " + std::to_string(i) + "\r\nMessage-ID: <" +
                               std::to_string(i) + "@b>\r\n\r\n" +
                               (i == 3 ? std::string(20000, 'z') : "body") + "\r\n";
    }
    void Run() {
        fake.sent = 0;
        // One port for every run: the port is part of the account.
        ScriptServer server(
            Script().Send(kGreet).Answer([this](const std::string& line, std::string& reply) {
                return fake.Answer(line, reply);
            }),
            std::chrono::seconds(5), ScriptServer::On::V4, port_);
        port_ = server.Port();
        box.IMAPPORT = server.PortText();
        GetImap(box, false);
        server.Received();
    }
    // No spool file and no state: a first run again.
    void Fresh() {
        for (const std::string& name : Spool())
            std::filesystem::remove(SpoolDir() + name);
        std::filesystem::remove(tree.Path() + "e-mail.imap");
    }
    // How often each message's subject stands in the spool.
    std::map<std::string, int> Spooled() const {
        std::map<std::string, int> seen;
        for (const std::string& name : Spool()) {
            const std::string text = tree.Read("spool/" + name);
            const std::size_t at = text.find("Subject: ");
            if (at == std::string::npos) continue;
            ++seen[text.substr(at + 9, text.find('\n', at) - at - 9)];
        }
        return seen;
    }
    FakeImap fake;
    int port_ = 0;
};

// Two accounts on two hosts: the second logs in while the first one's
// messages arrive, and everything else keeps its turn.
TEST_F(ImapFetchTest, TheNextAccountLogsInWhileThisOnesMessagesArrive) {
    std::atomic<int> clock{0};
    FakeImap second = fake;
    fake.clock = second.clock = &clock;
    auto serve = [](FakeImap& f) {
        return Script().Send(kGreet).Answer(
            [&f](const std::string& line, std::string& reply) { return f.Answer(line, reply); });
    };
    ScriptServer one(serve(fake)),
        two(serve(second), std::chrono::seconds(5), ScriptServer::On::V4Second);
    box.IMAPSERVER = "127.0.0.1 127.0.0.2";
    box.IMAPPORT = one.PortText() + " " + two.PortText();
    GetImap(box, false);
    one.Received();
    two.Received();
    EXPECT_EQ(Spool().size(), 10u);
    ASSERT_TRUE(second.at.count("LOGIN") && fake.at.count("LOGOUT"));
    EXPECT_LT(second.at["LOGIN"], fake.at["LOGOUT"]);
    EXPECT_GT(second.at["EXAMINE"], fake.at["LOGOUT"]);
    const std::vector<std::string> log = RunLog();
    const auto first = std::find(log.begin(), log.end(), "IMAP: 127.0.0.1:" + one.PortText());
    const auto next = std::find(log.begin(), log.end(), "IMAP: 127.0.0.2:" + two.PortText());
    EXPECT_LT(first, next);
    EXPECT_NE(next, log.end());
}

// Every break point of a whole session, in delete and in keep mode: the cut
// run, then a whole one. Each message is in the spool once; in delete mode
// the mailbox ends empty, in keep mode untouched and never selected for
// writing (EXAMINE, BODY.PEEK, no STORE); no journal is left.
TEST_F(ImapFetchTest, EveryBreakPointLosesAndDoublesNothing) {
    for (bool keep : {false, true}) {
        box.IMAPKEEP = keep ? "J" : "N";
        const FakeImap seeded = fake;
        Run();
        const std::vector<std::int64_t> breaks = fake.breaks;
        ASSERT_GT(breaks.size(), 20u);
        for (std::int64_t cut : breaks) {
            SCOPED_TRACE(std::string(keep ? "keep" : "delete") + ", cut after byte " +
                         std::to_string(cut));
            Fresh();
            fake = seeded;
            fake.cutAt = cut;
            Run();
            fake.cutAt = -1;
            Run();
            const std::map<std::string, int> seen = Spooled();
            EXPECT_EQ(seen.size(), 5u);
            for (const auto& [subject, times] : seen)
                EXPECT_EQ(times, 1) << subject;
            EXPECT_EQ(fake.box.size(), keep ? 5u : 0u);
            EXPECT_FALSE(tree.Exists("e-mail.ijn"));
            for (const std::string& command : fake.commands)
                EXPECT_TRUE(!keep || (command.find("STORE") == std::string::npos &&
                                      command.find("SELECT") == std::string::npos &&
                                      command.find(" BODY[") == std::string::npos))
                    << command;
        }
        fake = seeded;
        Fresh();
    }
}

// What a real server will not do on request, and what becomes of it.
TEST_F(ImapFetchTest, HostileAnswersEndOnlyWhatTheySpoil) {
    struct Row {
        const char* name;
        std::function<void(FakeImap&, tbrixconfig&)> set;
        std::size_t spooled; // after the run
        std::size_t leftOnServer;
        const char* logged; // in the run log
    };
    const std::vector<Row> rows = {
        {"no UIDPLUS: flagged, nothing expunged",
         [](FakeImap& f, tbrixconfig& b) {
             f.uidplus = false;
             b.IMAPKEEP = "N";
         },
         5, 5, "the server offers no UID EXPUNGE (UIDPLUS): 5 stored messages"},
        {"folder refused", [](FakeImap& f, tbrixconfig&) { f.refuse = "EXAMINE"; }, 0, 5,
         "Error (getimap): Select. (Error=A0002 NO [UNAVAILABLE] not now)"},
        {"fetch refused", [](FakeImap& f, tbrixconfig&) { f.refuse = "UID FETCH 10"; }, 0, 5,
         "Error (getimap): Fetch. (Error=F10 NO [UNAVAILABLE] not now)"},
        {"BYE at the listing", [](FakeImap& f, tbrixconfig&) { f.byeOn = "UID FETCH 1:*"; }, 0, 5,
         "Error (getimap): Bye. (Error=server going down)"},
        {"a body nobody asked for, and one twice",
         [](FakeImap& f, tbrixconfig&) {
             f.foreignBody = 99;
             f.twice = 30;
         },
         5, 5, "IMAP: 127.0.0.1:"},
        {"a folder that does not exist",
         [](FakeImap& f, tbrixconfig& b) {
             f.refuse = "EXAMINE \"Gone\"";
             b.IMAPFOLDERS = "Gone,INBOX";
         },
         5, 5, "Error (getimap): Select. (Error=A0002 NO"},
    };
    const FakeImap seeded = fake;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Fresh();
        std::filesystem::remove(tree.Path() + "qv-ppp.log");
        fake = seeded;
        box.IMAPKEEP = "J";
        box.IMAPFOLDERS = "";
        row.set(fake, box);
        Run();
        EXPECT_EQ(Spool().size(), row.spooled);
        EXPECT_EQ(fake.box.size(), row.leftOnServer);
        const std::string log = tree.Read("qv-ppp.log");
        EXPECT_NE(log.find(row.logged), std::string::npos) << log;
    }
    // A new UIDVALIDITY with new UIDs: the messages are known by their
    // Message-IDs, and only the new one is fetched.
    Fresh();
    fake = seeded;
    box.IMAPFOLDERS = "";
    Run();
    std::map<std::uint32_t, std::string> renumbered;
    for (const auto& [uid, text] : fake.box)
        renumbered[uid + 1000] = text;
    renumbered[2000] = "From: n@w\r\nSubject: new\r\n\r\nhi\r\n";
    fake.box = renumbered;
    fake.validity = 8;
    Run();
    const std::map<std::string, int> seen = Spooled();
    EXPECT_EQ(seen.size(), 6u);
    for (const auto& [subject, times] : seen)
        EXPECT_EQ(times, 1) << subject;
    // Once more renumbered, in delete mode, with a second message under a
    // fetched one's Message-ID: the known ones go, but neither of those two
    // is deleted for the other's sake, nor fetched.
    renumbered.clear();
    for (const auto& [uid, text] : fake.box)
        renumbered[uid + 1000] = text;
    renumbered[5000] = "From: a@b\r\nSubject: twin\r\nMessage-ID: <1@b>\r\n\r\nx\r\n";
    fake.box = renumbered;
    fake.validity = 9;
    box.IMAPKEEP = "N";
    Run();
    EXPECT_EQ(Spooled().size(), 6u);
    EXPECT_EQ(fake.box.size(), 2u);
    EXPECT_TRUE(fake.box.count(5000));
    // A listing that leaves a message out does not make it new next time.
    Fresh();
    fake = seeded;
    box.IMAPKEEP = "J";
    Run();
    fake.hidden = 20;
    Run();
    fake.hidden = 0;
    Run();
    EXPECT_EQ(Spool().size(), 5u);
}

} // namespace
} // namespace brix
