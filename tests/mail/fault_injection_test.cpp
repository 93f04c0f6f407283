// Break points generated from each mail job's dialogue: the scripted server
// plays the job's whole dialogue up to a step, then closes the connection
// (after every step, and in the middle of every multi-line answer) or stalls
// past the time-out, or the spool's disk fills up. After each such run
// nothing is lost, no partial file is left, the state file holds exactly
// what was completed and the log says why the job ended; a second run, whose
// dialogue is generated from the state the first one left, completes the
// work with no duplicate beyond the one the design allows (an SMTP message
// whose acceptance was lost on the way).

#include "get_mail_fixture.h"
#include "mail/send_mail.h"
#include "news/post_news.h"

#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <sys/mount.h>
#include <unistd.h>

namespace brix {
namespace {

using testing::Script;
using testing::ScriptServer;
using Lines = std::vector<std::string>;

// One step of a dialogue: the server sends lines, or reads a command (a
// text; "." reads a whole DATA body).
struct Op {
    bool send;
    Lines lines;
    std::string text;
};
using Dialogue = std::vector<Op>;

Op S(Lines lines) {
    return {true, std::move(lines), {}};
}
Op E(std::string text) {
    return {false, {}, std::move(text)};
}

// Where a run is broken: after `ops` steps (and `lines` lines of the next
// one), the server closes, stalls or goes on to the end.
enum class Fault { Cut, Stall, None };
struct Break {
    std::size_t ops;
    std::size_t lines = 0;
    Fault fault = Fault::Cut;
};

Script Play(const Dialogue& d, Break b) {
    Script s;
    std::size_t n = b.fault == Fault::None ? d.size() : b.ops;
    for (std::size_t i = 0; i < n; ++i) {
        if (d[i].send)
            s.SendLines(d[i].lines);
        else if (d[i].text == ".")
            s.ExpectBody();
        else
            s.Expect(d[i].text);
    }
    if (b.lines > 0) s.SendLines(Lines(d[n].lines.begin(), d[n].lines.begin() + b.lines));
    if (b.fault == Fault::Stall) s.Pause(1500); // the jobs wait one second
    if (b.fault != Fault::None) s.Close();
    return s;
}

// Every break point of a dialogue: after each step, and halfway through each
// answer of more than two lines.
std::vector<Break> BreakPoints(const Dialogue& d) {
    std::vector<Break> all;
    for (std::size_t i = 0; i < d.size(); ++i) {
        all.push_back({i});
        if (d[i].send && d[i].lines.size() > 2) all.push_back({i, d[i].lines.size() / 2});
    }
    return all;
}

// Index of the first step whose text or first line is `what`, from `from`.
std::size_t Find(const Dialogue& d, const std::string& what, std::size_t from = 0) {
    for (std::size_t i = from; i < d.size(); ++i)
        if (d[i].text == what || (d[i].send && d[i].lines[0] == what)) return i;
    return d.size();
}

// Steps completed by the server before the break.
bool Done(const Break& b, std::size_t step) {
    return step < b.ops;
}

// ---------------------------------------------------------------- POP3

struct Message {
    std::string uid;
    Lines lines;
};

const std::vector<Message> kMailbox = {
    {"aaa", {"Subject: one", "", "first", ".dot line"}},
    {"bbb", {"Subject: two", "", std::string(3000, 'b')}},
    {"ccc", {"Subject: three", "", "third"}},
};

std::string SpoolText(const Message& m) {
    std::string text = "From joe@localhost\n";
    for (const std::string& l : m.lines)
        text += l + "\n";
    return text;
}

// The fetch job's whole dialogue with a server holding `mailbox`, when the
// job already knows the identifiers `known`.
Dialogue FetchDialogue(const std::vector<Message>& mailbox, const std::set<std::string>& known,
                       bool keep) {
    Dialogue d = {S({testing::kGreeting}),
                  E("USER joe"),
                  S({"+OK"}),
                  E("PASS secret"),
                  S({"+OK"}),
                  E("STAT"),
                  S({"+OK " + std::to_string(mailbox.size()) + " 999"}),
                  E("UIDL")};
    Lines uidl = {"+OK"};
    for (std::size_t i = 0; i < mailbox.size(); ++i)
        uidl.push_back(std::to_string(i + 1) + " " + mailbox[i].uid);
    uidl.push_back(".");
    d.push_back(S(uidl));
    for (std::size_t i = 0; i < mailbox.size(); ++i) {
        const std::string no = std::to_string(i + 1);
        if (!known.count(mailbox[i].uid)) {
            Lines body = {"+OK"};
            for (const std::string& l : mailbox[i].lines)
                body.push_back(!l.empty() && l[0] == '.' ? "." + l : l);
            body.push_back(".");
            d.push_back(E("RETR " + no));
            d.push_back(S(body));
        }
        if (!keep) {
            d.push_back(E("DELE " + no));
            d.push_back(S({"+OK"}));
        }
    }
    d.push_back(E("QUIT"));
    d.push_back(S({"+OK bye"}));
    return d;
}

class FetchFaults : public testing::GetMailTest, public ::testing::WithParamInterface<bool> {
  protected:
    bool keep() const { return GetParam(); }
    void SetUp() override {
        GetMailTest::SetUp();
        box.POP3KEEP = keep() ? "J" : "N";
        box.POP3TIMEOUT = "1";
    }
    void Reset() {
        for (const std::string& name : Spool())
            std::filesystem::remove(SpoolDir() + name);
        std::filesystem::remove(tree.Path() + "e-mail.uid");
        std::filesystem::remove(tree.Path() + "qv-ppp.log");
    }
    // How often each message is in the spool; every file must be one whole
    // message under its final name.
    std::map<std::string, int> Stored() {
        std::map<std::string, int> count;
        for (const std::string& name : Spool()) {
            EXPECT_TRUE(name.ends_with(".msg")) << name;
            int matches = 0;
            for (const Message& m : kMailbox)
                if (Spooled(name) == SpoolText(m)) ++count[m.uid], ++matches;
            EXPECT_EQ(matches, 1) << name << ": " << Spooled(name);
        }
        return count;
    }
    std::string IdsOf(const std::set<std::string>& uids) {
        std::string text;
        for (const Message& m : kMailbox)
            if (uids.count(m.uid)) text += testing::Id(m.uid);
        return text;
    }
    // The identifiers the state file holds.
    std::set<std::string> Known() {
        std::set<std::string> known;
        for (const Message& m : kMailbox)
            if (Uids().find(testing::Id(m.uid)) != std::string::npos) known.insert(m.uid);
        return known;
    }
    bool LogHas(const std::string& part) {
        for (const std::string& line : RunLog())
            if (line.find(part) != std::string::npos) return true;
        return false;
    }

    // Runs the job once broken at `b`, checks what it left, then completes
    // the work with a second run.
    void BrokenRunThenRecovery(Break b) {
        Reset();
        const Dialogue d = FetchDialogue(kMailbox, {}, keep());
        {
            ScriptServer server(Play(d, b));
            Run(server);
        }
        // What the server gave and took: a message whose whole answer was
        // sent may be stored; deletions count only once QUIT was read.
        std::set<std::string> sent, deleted;
        for (std::size_t i = 0; i < kMailbox.size(); ++i) {
            const std::string no = std::to_string(i + 1);
            std::size_t retr = Find(d, "RETR " + no);
            if (retr < d.size() && Done(b, retr + 1)) sent.insert(kMailbox[i].uid);
            if (Done(b, Find(d, "DELE " + no)) && Done(b, Find(d, "QUIT")))
                deleted.insert(kMailbox[i].uid);
        }
        std::map<std::string, int> stored = Stored();
        std::set<std::string> storedIds;
        for (const auto& [uid, n] : stored) {
            EXPECT_EQ(n, 1) << uid;
            EXPECT_TRUE(sent.count(uid)) << uid << " stored but never sent whole";
            storedIds.insert(uid);
        }
        for (const std::string& uid : deleted)
            EXPECT_EQ(stored[uid], 1) << uid << " left the server but is not in the spool";
        EXPECT_EQ(storedIds, sent);
        // The state file names exactly the stored messages.
        EXPECT_EQ(Uids(), IdsOf(storedIds));
        if (b.fault != Fault::None) {
            EXPECT_TRUE(LogHas("Error (getmail): ")) << tree.Read("qv-ppp.log");
        }
        if (b.fault == Fault::Stall) {
            EXPECT_TRUE(LogHas("(Error=110)")) << tree.Read("qv-ppp.log");
        }

        // The second run finds what is left on the server and knows what
        // it has; its dialogue must match the generated one exactly.
        std::vector<Message> left;
        for (const Message& m : kMailbox)
            if (!deleted.count(m.uid)) left.push_back(m);
        const std::set<std::string> known = Known();
        std::filesystem::remove(tree.Path() + "qv-ppp.log");
        {
            ScriptServer server(Play(FetchDialogue(left, known, keep()), {0, 0, Fault::None}));
            Run(server);
            EXPECT_TRUE(server.Passed()) << server.Report();
        }
        EXPECT_FALSE(LogHas("Error")) << tree.Read("qv-ppp.log");
        for (const Message& m : kMailbox)
            EXPECT_EQ(Stored()[m.uid], 1) << m.uid;
        EXPECT_EQ(Uids(), keep() ? IdsOf({"aaa", "bbb", "ccc"}) : "");
    }
};

TEST_P(FetchFaults, EveryBreakPointLosesAndDoublesNothing) {
    const Dialogue d = FetchDialogue(kMailbox, {}, keep());
    std::vector<Break> points = BreakPoints(d);
    std::printf("fetch (%s): %zu break points\n", keep() ? "keep" : "delete", points.size());
    for (const Break& b : points) {
        SCOPED_TRACE("cut after step " + std::to_string(b.ops) + " + " + std::to_string(b.lines));
        BrokenRunThenRecovery(b);
    }
}

TEST_P(FetchFaults, StalledServerTimesOut) {
    const Dialogue d = FetchDialogue(kMailbox, {}, keep());
    // Waiting for the login reply, inside a message, for the goodbye.
    for (Break b : {Break{2}, Break{Find(d, "RETR 2") + 1, 2}, Break{d.size() - 1}}) {
        SCOPED_TRACE("stall after step " + std::to_string(b.ops));
        b.fault = Fault::Stall;
        BrokenRunThenRecovery(b);
    }
}

// The spool on a small file system that fills up in the middle of the run
// (or, where nothing can be mounted, a write limit that stops the second
// message).
TEST_P(FetchFaults, FullDiskLosesNothing) {
    const std::string spool = SpoolDir();
    struct Mount {
        std::string dir;
        bool done = ::geteuid() == 0 &&
                    ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=12k,mode=0755") == 0;
        ~Mount() {
            if (done) ::umount2(dir.c_str(), MNT_DETACH);
        }
    } mount{spool};
    {
        Reset();
        // One of three pages taken: room for about two messages.
        if (mount.done) tree.Write("spool/filler", std::string(4096, 'x'));
        std::optional<testing::FileSizeLimit> limit;
        if (!mount.done) limit.emplace(1000);
        ScriptServer server(Play(FetchDialogue(kMailbox, {}, keep()), {0, 0, Fault::None}));
        // The job ends with the write error, which the run reports.
        try {
            Run(server);
            ADD_FAILURE() << "the full disk went unnoticed";
        } catch (const EStringListError& e) {
            EXPECT_EQ(e.Message(), "Error: Savetofile");
        }
        // The server's deletions were taken back: nothing left it.
        if (!keep()) {
            EXPECT_NE(server.Received().find("RSET\r\n"), std::string::npos);
        }
    }
    std::filesystem::remove(spool + "filler");
    std::map<std::string, int> stored = Stored();
    EXPECT_FALSE(stored.empty());
    EXPECT_LT(stored.size(), kMailbox.size());
    std::set<std::string> storedIds;
    for (const auto& [uid, n] : stored) {
        EXPECT_EQ(n, 1) << uid;
        storedIds.insert(uid);
    }
    EXPECT_EQ(Uids(), IdsOf(storedIds));

    // Room again: the next run fetches the rest, once.
    std::filesystem::remove(tree.Path() + "qv-ppp.log");
    {
        ScriptServer server(Play(FetchDialogue(kMailbox, storedIds, keep()), {0, 0, Fault::None}));
        Run(server);
        EXPECT_TRUE(server.Passed()) << server.Report();
    }
    for (const Message& m : kMailbox)
        EXPECT_EQ(Stored()[m.uid], 1) << m.uid;
}

INSTANTIATE_TEST_SUITE_P(Modes, FetchFaults, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Keep" : "Delete");
                         });

// ---------------------------------------------------------------- SMTP

struct Outgoing {
    std::string file, from, to;
};
const std::vector<Outgoing> kQueue = {{"m0001.out", "anna@client.example", "bert@mx.example"},
                                      {"m0002.out", "carl@client.example", "dora@mx.example"}};

std::string QueueFile(const Outgoing& m) {
    return "HELO client.example\r\nMAIL FROM:<" + m.from + ">\r\nRCPT TO:<" + m.to +
           ">\r\nDATA\r\nSubject: " + m.file + "\r\n\r\n..dot\r\n.\r\nQUIT\r\n";
}

Dialogue SendDialogue(const std::vector<Outgoing>& queue) {
    Dialogue d = {S({"220 mx"}), E("HELO client.example"), S({"250 hello"})};
    for (const Outgoing& m : queue) {
        for (Op op : {E("MAIL FROM: <" + m.from + ">"), S({"250 ok"}), E("RCPT TO: <" + m.to + ">"),
                      S({"250 ok"}), E("DATA"), S({"354 go"}), E("."), S({"250 queued"})})
            d.push_back(op);
    }
    // The connection is closed without QUIT.
    return d;
}

class SendFaults : public testing::MailJobTest {
  protected:
    void SetUp() override {
        MailJobTest::SetUp();
        box.SMTPSERVER = "127.0.0.1";
        box.SMTPSPOOL = SpoolDir();
        box.SMTPTIMEOUT = "1";
    }
    // Runs the job against the dialogue broken at b; returns how many
    // messages each sender got delivered.
    std::map<std::string, int> RunBroken(const std::vector<Outgoing>& queue, Break b) {
        ScriptServer server(Play(SendDialogue(queue), b));
        box.SMTPPORT = server.PortText();
        SendMail(box);
        if (b.fault == Fault::None) {
            EXPECT_TRUE(server.Passed()) << server.Report();
        }
        std::map<std::string, int> delivered;
        std::string text = server.Received();
        for (const Outgoing& m : queue) {
            std::string whole = "Subject: " + m.file + "\r\n\r\n..dot\r\n.\r\n";
            for (std::size_t p = 0; (p = text.find(whole, p)) != std::string::npos; ++p)
                ++delivered[m.file];
        }
        return delivered;
    }
};

TEST_F(SendFaults, EveryBreakPointLosesNothingAndDoublesOnlyALostAcceptance) {
    const Dialogue d = SendDialogue(kQueue);
    std::vector<Break> points = BreakPoints(d);
    // Waiting for the answer to DATA (the answer to "." may take minutes).
    points.push_back({Find(d, "DATA") + 1, 0, Fault::Stall});
    std::printf("send: %zu break points\n", points.size());
    for (const Break& b : points) {
        SCOPED_TRACE("break after step " + std::to_string(b.ops));
        for (const Outgoing& m : kQueue)
            tree.Write("spool/" + m.file, QueueFile(m));
        std::filesystem::remove(tree.Path() + "qv-ppp.log");
        std::map<std::string, int> delivered = RunBroken(kQueue, b);

        // A file leaves the queue only once its acceptance was read.
        std::vector<Outgoing> left;
        std::size_t from = 0;
        for (const Outgoing& m : kQueue) {
            std::size_t dot = Find(d, ".", from);
            from = dot + 1;
            const bool accepted = Done(b, dot + 1);
            EXPECT_EQ(tree.Exists("spool/" + m.file), !accepted) << m.file;
            EXPECT_EQ(delivered[m.file], Done(b, dot) ? 1 : 0) << m.file;
            if (!accepted) left.push_back(m);
        }
        if (!left.empty()) {
            EXPECT_TRUE(RunLog().back().starts_with("Error (sendmail): ")) << RunLog().back();
            if (b.fault == Fault::Stall) {
                EXPECT_NE(RunLog().back().find("(Error=110)"), std::string::npos);
            }
        }
        std::map<std::string, int> again;
        if (!left.empty()) again = RunBroken(left, {0, 0, Fault::None});
        EXPECT_TRUE(Spool().empty());
        // Each message arrives once, but for one whose "." the server read
        // while its acceptance never arrived: that one is sent again.
        for (const Outgoing& m : kQueue) {
            std::size_t dot = Find(d, ".", Find(d, "MAIL FROM: <" + m.from + ">"));
            int lost = Done(b, dot) && !Done(b, dot + 1) ? 1 : 0;
            EXPECT_EQ(delivered[m.file] + again[m.file], 1 + lost) << m.file;
        }
    }
}

// ---------------------------------------------------------------- NNTP post

std::string NewsFile(int n) {
    return "Newsgroups: de.test\r\nMessage-ID: <p" + std::to_string(n) + "@x>\r\n\r\nbody " +
           std::to_string(n) + "\r\n";
}

Dialogue PostDialogue(const std::vector<int>& queue) {
    Dialogue d = {S({"200 news"})};
    for (int n : queue) {
        (void)n;
        for (Op op : {E("POST"), S({"340 go"}), E("."), S({"240 ok"})})
            d.push_back(op);
    }
    d.push_back(E("QUIT"));
    d.push_back(S({"205 bye"}));
    return d;
}

TEST_F(SendFaults, EveryBreakPointOfAPostingLosesNothing) {
    box.NNTPSERVER = "127.0.0.1";
    box.NNTPSPOOL = SpoolDir();
    box.NNTPTIMEOUT = 1;
    const std::vector<int> queue = {1, 2};
    const Dialogue d = PostDialogue(queue);
    std::vector<Break> points = BreakPoints(d);
    points.push_back({Find(d, "POST") + 1, 0, Fault::Stall});
    std::printf("post: %zu break points\n", points.size());
    auto run = [&](const std::vector<int>& files, Break b) {
        ScriptServer server(Play(PostDialogue(files), b));
        box.NNTPPORT = server.PortText();
        PostNews(box);
        if (b.fault == Fault::None) {
            EXPECT_TRUE(server.Passed()) << server.Report();
        }
        std::map<int, int> posted;
        const std::string text = server.Received();
        for (int n : files)
            for (std::size_t p = 0; (p = text.find(NewsFile(n) + ".\r\n", p)) != std::string::npos;
                 ++p)
                ++posted[n];
        return posted;
    };
    for (const Break& b : points) {
        SCOPED_TRACE("break after step " + std::to_string(b.ops));
        for (int n : queue)
            tree.Write("spool/n000" + std::to_string(n) + ".out", NewsFile(n));
        std::filesystem::remove(tree.Path() + "qv-ppp.log");
        std::map<int, int> posted = run(queue, b);
        std::vector<int> left;
        std::size_t from = 0;
        std::map<int, int> lost;
        for (int n : queue) {
            std::size_t dot = Find(d, ".", from);
            from = dot + 1;
            const bool accepted = Done(b, dot + 1);
            EXPECT_EQ(tree.Exists("spool/n000" + std::to_string(n) + ".out"), !accepted) << n;
            EXPECT_EQ(posted[n], Done(b, dot) ? 1 : 0) << n;
            lost[n] = Done(b, dot) && !accepted ? 1 : 0;
            if (!accepted) left.push_back(n);
        }
        if (!left.empty()) {
            bool logged = false;
            for (const std::string& line : RunLog())
                logged = logged || line.starts_with("Error (");
            EXPECT_TRUE(logged) << tree.Read("qv-ppp.log");
        }
        std::map<int, int> again;
        if (!left.empty()) again = run(left, {0, 0, Fault::None});
        EXPECT_TRUE(Spool().empty());
        for (int n : queue)
            EXPECT_EQ(posted[n] + again[n], 1 + lost[n]) << n;
        std::filesystem::remove(tree.Path() + "request.id");
        std::filesystem::remove(tree.Path() + "e-news.idx");
    }
}

} // namespace
} // namespace brix
