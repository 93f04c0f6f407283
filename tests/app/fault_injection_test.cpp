// Break points generated from each job's dialogue (POP3 fetch in keep and
// delete mode, with and without UIDL; SMTP send; NNTP post, newsgroup list,
// news fetch with the requests by Message-ID; the login of a box's next POP3
// server, opened while the first one's messages arrive): the scripted server plays
// the job's whole dialogue up to a step, then closes the connection (after
// every step, and in the middle of every multi-line answer) or stalls past
// the time-out; both fetches also meet a refusal of each command that ends
// their session and a spool that fills up, the news fetch ESC at each of its
// abort checks. After each such run nothing is lost, no partial file is
// left, the state files hold exactly what was completed and the log says why
// the job ended; a second run, whose dialogue is generated from the state the
// first one left, completes the work with no duplicate beyond the one the
// design allows (a message or posting whose acceptance was lost on the way).
// A proxy in front of the servers refuses, cuts or stalls at each step of
// its handshake: the program's jobs end as after a failed connect, with the
// proxy's words, and the mailbox and the queue stay as they were.

#include "mail/send_mail.h"
#include "news/newsgroup_list.h"
#include "news/post_news.h"
#include "testing/job_test.h"
#include "testing/real_servers.h"
#include "testing/run_program.h"
#include "testing/script_proxy.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace brix {
namespace {

using namespace testing;

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
// A multi-line answer: the first line, the lines dot-stuffed, ".".
Op Multi(const std::string& first, const Lines& lines) {
    return S(DataLines(first, lines));
}

// A command and its answer.
void Ask(Dialogue& d, const std::string& command, Op answer) {
    d.push_back(E(command));
    d.push_back(std::move(answer));
}

// Where a run is broken: after `ops` steps (and `lines` lines of the next
// one), the server closes, stalls, refuses the command it has just read, or
// goes on to the end; Esc marks the steps done when the user stopped it,
// Full those done when the disk filled up.
enum class Fault { Cut, Stall, Refuse, Esc, Full, None, RefuseOne };
struct Break {
    std::size_t ops;
    std::size_t lines = 0;
    Fault fault = Fault::Cut;
};

Script Play(const Dialogue& d, Break b) {
    Script s;
    // A full disk is met where the job writes: the server goes on to the end.
    std::size_t n = b.fault == Fault::None || b.fault == Fault::Full ? d.size() : b.ops;
    for (std::size_t i = 0; i < n; ++i) {
        if (d[i].send)
            s.SendLines(d[i].lines);
        else if (d[i].text == ".")
            s.ExpectBody();
        else
            s.Expect(d[i].text);
    }
    if (b.lines > 0 && n < d.size())
        s.SendLines(Lines(d[n].lines.begin(), d[n].lines.begin() + b.lines));
    if (b.fault == Fault::Stall) s.Pause(1500); // the jobs wait one second
    // After a refusal a client one command at a time says QUIT; a pipelining
    // one, with answers still in flight, only closes.
    if (b.fault == Fault::Refuse)
        s.Send("502 permission denied").Answer([](const std::string& line, std::string& reply) {
            reply = line == "QUIT" ? "205 bye\r\n" : "";
            return line != "QUIT";
        });
    // One command of one message refused (POP3): the server goes on with the
    // rest of the dialogue, answering each command the client still sends
    // (those of the refused message's later steps are never asked).
    if (b.fault == Fault::RefuseOne) {
        auto at = std::make_shared<std::size_t>(n + 1);
        s.Send("-ERR permission denied")
            .Answer([d, at](const std::string& line, std::string& reply) {
                std::size_t i = *at;
                while (i < d.size() && (d[i].send || d[i].text != line))
                    ++i;
                reply.clear();
                if (i + 1 >= d.size()) {
                    reply = "-ERR unexpected\r\n";
                    return false;
                }
                for (const std::string& l : d[i + 1].lines)
                    reply += l + "\r\n";
                *at = i + 2;
                return line != "QUIT";
            });
    }
    if (b.fault == Fault::Cut || b.fault == Fault::Stall) s.Close();
    return s;
}

// The dialogue answered command by command, so that the client may leave
// early with QUIT; *at counts the steps done.
Script Serve(const Dialogue& d, std::shared_ptr<std::size_t> at) {
    *at = 1;
    return Script()
        .SendLines(d[0].lines)
        .Answer([d, at](const std::string& line, std::string& reply) {
            const bool next = *at < d.size() && d[*at].text == line;
            reply.clear();
            for (const std::string& l : next ? d[*at + 1].lines : Lines{"205 bye"})
                reply += l + "\r\n";
            if (next) *at += 2;
            return next && line != "QUIT";
        });
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

std::string Trace(const Break& b) {
    return "break " + std::to_string(static_cast<int>(b.fault)) + " after step " +
           std::to_string(b.ops) + " + " + std::to_string(b.lines);
}

// The last line of a broken run names why the job ended.
void CheckEnd(const std::vector<std::string>& log, const Break& b, const std::string& job) {
    ASSERT_FALSE(log.empty());
    const std::string& last = log.back();
    if (b.fault == Fault::Full) {
        // The write error is the job's, naming the file and the cause.
        EXPECT_TRUE(last.starts_with("Error (" + job + "): ")) << last;
        return;
    }
    if (b.fault == Fault::Esc) {
        EXPECT_EQ(last, "aborted by user ...");
        return;
    }
    EXPECT_TRUE(last.starts_with("Error (" + job + "): ")) << last;
    EXPECT_TRUE(b.fault != Fault::Stall || last.ends_with("(Error=110)")) << last;
    EXPECT_TRUE(b.fault != Fault::Refuse || last.ends_with("(Error=502 permission denied)"))
        << last;
}

// Empties the spool and removes the named files of the tree.
void Clear(const testing::TempTree& tree, std::initializer_list<const char*> names) {
    for (const auto& e : std::filesystem::directory_iterator(tree / "spool"))
        std::filesystem::remove(e.path());
    for (const char* name : names)
        std::filesystem::remove(tree / name);
}

// The spool on a small file system with room for about 12 KB (or, where
// nothing can be mounted or `mount` is false, under a write limit of 1000
// bytes a file, which the file system does not tell) until Free() makes room.
class SmallSpool {
  public:
    explicit SmallSpool(std::string dir, bool mount = true) : dir_(std::move(dir)) {
        mounted_ = mount && ::geteuid() == 0 &&
                   ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=16k") == 0;
        if (mounted_)
            std::ofstream(dir_ + "filler") << std::string(4096, 'x');
        else
            limit_.emplace(1000);
    }
    bool Mounted() const { return mounted_; }
    ~SmallSpool() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    void Free() {
        std::filesystem::remove(dir_ + "filler");
        if (mounted_) ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT, "size=1m");
        limit_.reset();
    }

  private:
    std::string dir_;
    bool mounted_;
    std::optional<testing::FileSizeLimit> limit_;
};

// ---------------------------------------------------------------- POP3

struct Message {
    std::string uid;
    Lines lines;
};

const std::vector<Message> kMailbox = {
    {"aaa", {"Message-ID: <aaa@x>", "Subject: one", "", "first", ".dot line"}},
    // Too big for what is left of a small spool.
    {"bbb", {"Message-ID: <bbb@x>", "Subject: two", "", std::string(9000, 'b')}},
    {"ccc", {"Message-ID: <ccc@x>", "Subject: three", "", "third"}},
};

std::string SpoolText(const Message& m) {
    std::string text = "From joe@localhost\n";
    for (const std::string& l : m.lines)
        text += l + "\n";
    return text;
}

// Keep or delete mode; identifiers from UIDL, or from the Message-ID of
// each message's header (a server without UIDL, or one that gives the last
// two messages one UIDL identifier); commands one at a time, or pipelined
// (the server announces PIPELINING).
struct Mode {
    const char* name;
    bool keep, uidl, pipelined, sharedUid = false;
};

// The UIDL identifier of a message: with a shared one, the last two
// messages of the mailbox have the same.
std::string UidOf(Mode mode, const Message& m) {
    return mode.sharedUid && m.uid != "aaa" ? "dup" : m.uid;
}

// Whether message i of mailbox is known by its Message-ID in this mode: its
// UIDL identifier is missing, or the server gives it to another message too.
bool ByMessageId(Mode mode, const std::vector<Message>& mailbox, std::size_t i) {
    return !mode.uidl || std::count_if(mailbox.begin(), mailbox.end(), [&](const Message& m) {
                             return UidOf(mode, m) == UidOf(mode, mailbox[i]);
                         }) > 1;
}

// The fetch job's whole dialogue with a server holding `mailbox`, when the
// job already knows the messages `known`: the TOP of every message that is
// known by its Message-ID first, then in the designed order one at a time;
// pipelined, each command as soon as it is known (every message's LIST,
// RETR or DELE at once) and each DELE of a fetched message once its RETR
// answer is in.
Dialogue FetchDialogue(const std::vector<Message>& mailbox, const std::set<std::string>& known,
                       Mode mode) {
    Lines uidl;
    for (std::size_t i = 0; i < mailbox.size(); ++i)
        uidl.push_back(std::to_string(i + 1) + " " + UidOf(mode, mailbox[i]));
    Dialogue d = {S({testing::kGreeting})};
    Ask(d, "CAPA", mode.pipelined ? Multi("+OK", {"TOP", "PIPELINING"}) : S({"-ERR unknown"}));
    for (const char* command : {"USER joe", "PASS secret"})
        Ask(d, command, S({"+OK"}));
    Ask(d, "STAT", S({"+OK " + std::to_string(mailbox.size()) + " 999"}));
    Ask(d, "UIDL", mode.uidl ? Multi("+OK", uidl) : S({"-ERR unsupported"}));
    for (std::size_t i = 0; i < mailbox.size(); ++i) {
        const Lines& lines = mailbox[i].lines;
        if (ByMessageId(mode, mailbox, i))
            Ask(d, "TOP " + std::to_string(i + 1) + " 0",
                Multi("+OK", Lines(lines.begin(), std::find(lines.begin(), lines.end(), "") + 1)));
    }
    // Per message: the rest, and the DELE sent once it is stored.
    std::vector<Dialogue> rest(mailbox.size()), later(mailbox.size());
    for (std::size_t i = 0; i < mailbox.size(); ++i) {
        const std::string no = std::to_string(i + 1);
        const bool fetched = !known.count(mailbox[i].uid);
        if (fetched) Ask(rest[i], "RETR " + no, Multi("+OK", mailbox[i].lines));
        if (!mode.keep)
            Ask(fetched && mode.pipelined ? later[i] : rest[i], "DELE " + no, S({"+OK"}));
    }
    for (const Dialogue& part : rest)
        d.insert(d.end(), part.begin(), part.end());
    for (const Dialogue& part : later)
        d.insert(d.end(), part.begin(), part.end());
    Ask(d, "QUIT", S({"+OK bye"}));
    return d;
}

class FetchFaults : public testing::GetMailTest, public ::testing::WithParamInterface<Mode> {
  protected:
    Mode mode() const { return GetParam(); }
    void SetUp() override {
        GetMailTest::SetUp();
        box.POP3KEEP = mode().keep ? "J" : "N";
        box.POP3TIMEOUT = "1";
    }
    void Reset() { Clear(tree, {"e-mail.uid", "e-mail.idx", "e-mail.jnl", "qv-ppp.log"}); }
    // How often each message is in the spool; every file must be one whole
    // message under its final name.
    std::multiset<std::string> Stored() {
        std::multiset<std::string> stored;
        for (const std::string& name : Spool()) {
            EXPECT_TRUE(name.ends_with(".msg")) << name;
            for (const Message& m : kMailbox)
                if (Spooled(name) == SpoolText(m)) stored.insert(m.uid);
        }
        EXPECT_EQ(stored.size(), Spool().size()) << "a spool file is no whole message";
        return stored;
    }
    // Both identifier files (each identifier once, in any order), and that
    // no journal is left.
    std::string State() const {
        EXPECT_FALSE(tree.Exists("e-mail.jnl"));
        return Sorted(tree.Read("e-mail.uid")) + " | " + Sorted(tree.Read("e-mail.idx"));
    }
    static std::string Sorted(const std::string& text) {
        std::vector<std::string> ids;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = text.find('>', at);
            ids.push_back(text.substr(at, end - at + 1));
            at = end == std::string::npos ? text.size() : end + 1;
        }
        std::sort(ids.begin(), ids.end());
        std::string all;
        for (const std::string& id : ids)
            all += id;
        return all;
    }
    // The identifier files' texts for these messages (of the server on port,
    // holding the whole mailbox), with the shared UIDL identifier itself
    // when `shared`.
    std::string IdsOf(const std::set<std::string>& uids, const std::string& port,
                      bool shared = false) const {
        std::string uid = shared ? testing::Id("dup", port) : "", idx;
        for (std::size_t i = 0; i < kMailbox.size(); ++i) {
            if (!uids.count(kMailbox[i].uid)) continue;
            if (ByMessageId(mode(), kMailbox, i))
                idx += "<" + kMailbox[i].uid + "@x>";
            else
                uid += testing::Id(kMailbox[i].uid, port);
        }
        return Sorted(uid) + " | " + Sorted(idx);
    }
    // Runs the job once broken at `b`, checks what it left, then completes
    // the work with a second run.
    void BrokenRunThenRecovery(Break b) {
        Reset();
        const Dialogue d = FetchDialogue(kMailbox, {}, mode());
        std::optional<SmallSpool> small;
        if (b.fault == Fault::Full) small.emplace(SpoolDir());
        int port = 0;
        {
            ScriptServer server(Play(d, b));
            port = server.Port();
            Run(server);
            // The server's deletions were taken back before the goodbye:
            // nothing left it. (Pipelined, the answers still in flight are
            // read first, so that RSET and QUIT are in step.)
            if (b.fault == Fault::Full && !mode().keep) {
                const std::string received = server.Received();
                EXPECT_NE(received.find("RSET\r\nQUIT\r\n"), std::string::npos) << received;
            }
        }
        if (small) small->Free();
        // The command refused alone, if any.
        const std::string refused = b.fault == Fault::RefuseOne ? d[b.ops - 1].text : "";
        // What the server gave and took: a message whose whole answer was
        // sent may be stored; deletions count only once QUIT was read. A
        // refusal of one message's command leaves that message alone and
        // the rest of the dialogue to its end.
        std::set<std::string> sent, deleted;
        for (std::size_t i = 0; i < kMailbox.size(); ++i) {
            const std::string no = std::to_string(i + 1);
            if (refused == "RETR " + no || refused == "TOP " + no + " 0") continue;
            std::size_t retr = Find(d, "RETR " + no);
            const bool whole = b.fault == Fault::RefuseOne;
            if (retr < d.size() && (whole || Done(b, retr + 1))) sent.insert(kMailbox[i].uid);
            if (refused == "DELE " + no) continue;
            if ((whole && !mode().keep) ||
                (Done(b, Find(d, "DELE " + no)) && Done(b, Find(d, "QUIT"))))
                deleted.insert(kMailbox[i].uid);
        }
        // A message deleted was sent before: it is in the spool, once.
        EXPECT_EQ(Stored(), std::multiset<std::string>(sent.begin(), sent.end()));
        // The state files name exactly the stored messages still on the
        // server (those whose deletion QUIT committed are gone).
        std::set<std::string> recorded;
        for (const std::string& uid : sent)
            if (b.fault != Fault::RefuseOne || !deleted.count(uid)) recorded.insert(uid);
        // A run that got to its end with both messages of the shared UIDL
        // identifier stored remembers the identifier too, while one of them
        // stays on the server.
        const bool whole = b.fault == Fault::RefuseOne;
        const bool sharedKept =
            mode().sharedUid && (whole || b.ops >= Find(d, "QUIT")) && sent.count("bbb") &&
            sent.count("ccc") &&
            (mode().keep || !whole || !deleted.count("bbb") || !deleted.count("ccc"));
        EXPECT_EQ(State(), IdsOf(recorded, std::to_string(port), sharedKept));
        if (b.fault == Fault::RefuseOne) {
            const std::vector<std::string> log = RunLog();
            // The command's tag: "Retr", "Top", "Dele".
            std::string tag = refused.substr(0, refused.find(' '));
            for (std::size_t k = 1; k < tag.size(); ++k)
                tag[k] = static_cast<char>(std::tolower(static_cast<unsigned char>(tag[k])));
            EXPECT_NE(std::find(log.begin(), log.end(),
                                "Error (getmail): " + tag + ". (Error=-ERR permission denied)"),
                      log.end());
        } else {
            CheckEnd(RunLog(), b, "getmail");
        }

        // The second run finds what is left on the server and knows what
        // it has; its dialogue must match the generated one exactly.
        std::vector<Message> left;
        for (const Message& m : kMailbox)
            if (!deleted.count(m.uid)) left.push_back(m);
        std::filesystem::remove(tree / "qv-ppp.log");
        {
            const Dialogue again = FetchDialogue(left, sent, mode());
            ScriptServer server(Play(again, {0, 0, Fault::None}), std::chrono::seconds(5),
                                ScriptServer::On::V4, port);
            Run(server);
            EXPECT_TRUE(server.Passed()) << server.Report();
            // Pipelined, the commands of the later messages are on their way
            // before the first answer is in; one at a time, never.
            std::set<std::string> messages;
            for (const Op& o : again)
                if (o.text.starts_with("RETR") || o.text.starts_with("DELE") ||
                    o.text.starts_with("TOP"))
                    messages.insert(o.text.substr(o.text.find(' ') + 1, 1));
            // The login goes out in one round as well.
            const std::vector<std::string> ahead = server.Ahead();
            const auto aheadOf = [&](const char* command) {
                return std::count_if(ahead.begin(), ahead.end(), [&](const std::string& line) {
                    return line.starts_with(command);
                });
            };
            EXPECT_EQ(aheadOf("RETR") + aheadOf("DELE") + aheadOf("TOP") == 0,
                      !mode().pipelined || messages.size() < 2)
                << server.Report();
            EXPECT_EQ(aheadOf("PASS") + aheadOf("STAT") + aheadOf("UIDL"), mode().pipelined ? 3 : 0)
                << server.Report();
        }
        // A server without UIDL is no failure.
        for (const std::string& line : RunLog())
            EXPECT_FALSE(line.starts_with("Error")) << line;
        EXPECT_EQ(Stored(), (std::multiset<std::string>{"aaa", "bbb", "ccc"}));
        // Without UIDL nothing tells that a message whose goodbye was lost
        // has left the server: its Message-ID stays until it ages out.
        // One whose deletion was refused while it was known by its
        // Message-ID is known by the UIDL identifier alone afterwards: its
        // Message-ID stays too.
        std::set<std::string> kept;
        if (mode().keep)
            kept = {"aaa", "bbb", "ccc"};
        else
            for (std::size_t i = 0; i < kMailbox.size(); ++i)
                if (ByMessageId(mode(), kMailbox, i) &&
                    (b.fault == Fault::RefuseOne
                         ? mode().uidl && refused == "DELE " + std::to_string(i + 1)
                         : deleted.count(kMailbox[i].uid) > 0))
                    kept.insert(kMailbox[i].uid);
        EXPECT_EQ(State(), IdsOf(kept, std::to_string(port), mode().keep && mode().sharedUid));
    }
};

TEST_P(FetchFaults, EveryBreakPointLosesAndDoublesNothing) {
    const Dialogue d = FetchDialogue(kMailbox, {}, mode());
    std::vector<Break> points = BreakPoints(d);
    // Stalls waiting for the login reply, inside a message, for the goodbye
    // (the time-out does not depend on where the identifiers come from).
    if (mode().uidl && !mode().sharedUid)
        for (Break b :
             {Break{Find(d, "USER joe") + 1}, Break{Find(d, "RETR 2") + 1, 2}, Break{d.size() - 1}})
            points.push_back({b.ops, b.lines, Fault::Stall});
    // A refusal in place of each answer but CAPA's, UIDL's (its refusal is
    // the other mode) and QUIT's: the login's end the session, a message's
    // concern that message alone.
    for (std::size_t i = 0; i < Find(d, "QUIT"); ++i) {
        if (!d[i].send || (i > 0 && (d[i - 1].text == "UIDL" || d[i - 1].text == "CAPA"))) continue;
        const bool message = i > Find(d, "UIDL");
        points.push_back({i, 0, message ? Fault::RefuseOne : Fault::Refuse});
    }
    std::printf("fetch (%s): %zu break points\n", mode().name, points.size());
    for (const Break& b : points) {
        SCOPED_TRACE(Trace(b));
        BrokenRunThenRecovery(b);
    }
}

// The spool fills up with the second message.
TEST_P(FetchFaults, FullDiskLosesNothing) {
    BrokenRunThenRecovery(
        {Find(FetchDialogue(kMailbox, {}, mode()), "RETR 2") + 1, 0, Fault::Full});
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FetchFaults,
    ::testing::Values(Mode{"Keep", true, true, false}, Mode{"Delete", false, true, false},
                      Mode{"MessageIdKeep", true, false, false},
                      Mode{"MessageIdDelete", false, false, false},
                      Mode{"PipelinedKeep", true, true, true},
                      Mode{"PipelinedDelete", false, true, true},
                      Mode{"PipelinedMessageIdDelete", false, false, true},
                      Mode{"SharedUidDelete", false, true, false, true},
                      Mode{"PipelinedSharedUidDelete", false, true, true, true},
                      Mode{"PipelinedSharedUidKeep", true, true, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The second server of a box is opened while the first one's messages
// arrive: broken at every step of its login (closed, stalled past the
// time-out, refused), it is its own error line in its turn, after the
// first server's lines; the first server's fetch is whole, nothing of the
// second is stored or recorded, and the next run fetches its messages once.
class EarlyLoginFaults : public testing::GetMailTest {
  protected:
    void SetUp() override {
        GetMailTest::SetUp();
        box.POP3SERVER = "127.0.0.1 127.0.0.2";
        box.POP3USER = "joe joe";
        box.POP3PASS = "secret secret";
        box.POP3KEEP = "J J";
        box.POP3TIMEOUT = "1";
    }
    // Both servers, the second one's dialogue broken at b; the ports of a
    // run before when given.
    void RunBoth(const Dialogue& first, const Dialogue& second, Break b, int ports[2]) {
        ScriptServer one(Play(first, {0, 0, Fault::None}), std::chrono::seconds(5),
                         ScriptServer::On::V4, ports[0]);
        ScriptServer two(Play(second, b), std::chrono::seconds(5), ScriptServer::On::V4Second,
                         ports[1]);
        ports[0] = one.Port();
        ports[1] = two.Port();
        box.POP3PORT = one.PortText() + " " + two.PortText();
        GetMail(box, false);
        EXPECT_TRUE(one.Passed()) << one.Report();
    }
    std::string Ids(const std::string& where) const {
        std::string ids;
        for (const Message& m : kMailbox)
            ids += "<" + m.uid + "@joe." + where + ">";
        return ids;
    }
};

TEST_F(EarlyLoginFaults, EveryBreakPointOfTheNextLoginIsItsOwnErrorInItsTurn) {
    const Mode keep{"Keep", true, true, false};
    const Dialogue d = FetchDialogue(kMailbox, {}, keep);
    std::vector<Break> points;
    for (std::size_t i = 0; i < Find(d, "UIDL"); ++i) {
        points.push_back({i});
        if (d[i].send && (i == 0 || d[i - 1].text != "CAPA"))
            points.push_back({i, 0, Fault::Refuse});
    }
    points.push_back({0, 0, Fault::Stall});
    points.push_back({Find(d, "PASS secret") + 1, 0, Fault::Stall});
    std::printf("early login: %zu break points\n", points.size());
    for (const Break& b : points) {
        SCOPED_TRACE(Trace(b));
        Clear(tree, {"e-mail.uid", "e-mail.idx", "e-mail.jnl", "qv-ppp.log"});
        int ports[2] = {0, 0};
        RunBoth(d, d, b, ports);
        const std::string where1 = "127.0.0.1:" + std::to_string(ports[0]),
                          where2 = "127.0.0.2:" + std::to_string(ports[1]);
        EXPECT_EQ(Spool(), (Lines{"m0000.msg", "m0001.msg", "m0002.msg"}));
        for (std::size_t i = 0; i < kMailbox.size(); ++i)
            EXPECT_EQ(Spooled("m000" + std::to_string(i) + ".msg"), SpoolText(kMailbox[i]));
        EXPECT_EQ(Uids(), Ids(where1));
        EXPECT_FALSE(tree.Exists("e-mail.jnl"));
        // (The warning of a password in plain text to 127.0.0.2 comes once
        // a run, in its place after the server's line.)
        Lines log = RunLog();
        std::erase_if(log, [](const std::string& line) { return line.starts_with("Warning"); });
        ASSERT_EQ(log.size(), 4u) << ::testing::PrintToString(log);
        EXPECT_EQ(Lines(log.begin(), log.begin() + 3),
                  (Lines{"POP3: " + where1, "3 mails, 999 bytes", "POP3: " + where2}));
        CheckEnd(log, b, "getmail");

        // The next run knows the first server's messages and fetches the
        // second one's, once.
        std::filesystem::remove(tree / "qv-ppp.log");
        RunBoth(FetchDialogue(kMailbox, {"aaa", "bbb", "ccc"}, keep), d, {0, 0, Fault::None},
                ports);
        EXPECT_EQ(Spool().size(), 6u);
        EXPECT_EQ(Uids(), Ids(where1) + Ids(where2));
        for (const std::string& line : RunLog())
            EXPECT_FALSE(line.starts_with("Error")) << line;
    }
}

// ---------------------------------------------------- SMTP and NNTP post

// A message of a queued file: its bytes in the file, the body the server
// must receive, the steps that hand it over, and the question the next run
// asks the server when its verdict was lost (none: it is sent again).
struct Piece {
    std::string text, body;
    Dialogue steps;
    std::string recheck = {};
};

// A queued file: its messages between what comes before and after them.
struct Queued {
    std::string file, head, tail;
    std::vector<Piece> pieces;
    std::string Text() const {
        std::string text = head;
        for (const Piece& p : pieces)
            text += p.text;
        return text + tail;
    }
};

// The first file holds two messages, the second one.
const std::vector<Queued> kOutgoing = [] {
    auto message = [](const std::string& n) {
        const std::string from = "anna" + n + "@client.example", to = "bert" + n + "@mx.example";
        const std::string body = "Subject: m" + n + "\r\n\r\n..dot\r\n.\r\n";
        return Piece{"MAIL FROM:<" + from + ">\r\nRCPT TO:<" + to + ">\r\nDATA\r\n" + body,
                     body,
                     {E("MAIL FROM: <" + from + ">"), S({"250 ok"}), E("RCPT TO: <" + to + ">"),
                      S({"250 ok"}), E("DATA"), S({"354 go"}), E("."), S({"250 queued"})}};
    };
    const std::string helo = "HELO client.example\r\n", quit = "QUIT\r\n";
    return std::vector<Queued>{{"m0001.out", helo, quit, {message("1"), message("2")}},
                               {"m0002.out", helo, quit, {message("3")}}};
}();

const std::vector<Queued> kPostings = [] {
    std::vector<Queued> queue;
    for (std::string n : {"1", "2"}) {
        const std::string text =
            "Newsgroups: de.test\r\nMessage-ID: <p" + n + "@x>\r\n\r\nbody " + n + "\r\n";
        queue.push_back({"n000" + n + ".out",
                         "",
                         "",
                         {{text,
                           text + ".\r\n",
                           {E("POST"), S({"340 go"}), E("."), S({"240 ok"})},
                           "STAT <p" + n + "@x>"}}});
    }
    return queue;
}();

class QueueFaults : public testing::MailJobTest {
  protected:
    void SetUp() override {
        MailJobTest::SetUp();
        box.SMTPSERVER = box.NNTPSERVER = "127.0.0.1";
        box.SMTPSPOOL = box.NNTPSPOOL = SpoolDir();
        box.SMTPTIMEOUT = "1";
        box.NNTPTIMEOUT = 1;
    }
    // Every break point of the job that hands `queue` over between `head`
    // and `tail`; the stall waits for the answer to `stall`. With `refuse`,
    // one more run has the server refuse the second message of a file at its
    // end, followed by `afterRefusal`. A message
    // leaves the queue only once its acceptance was read, and a file that the
    // server took in part keeps the rest of it; each body arrives once, but
    // for one whose "." the server read while its acceptance never arrived
    // (the next run asks the server for it where the protocol can, STAT, and
    // sends it again where it cannot) and for the refused one.
    void EveryBreakPoint(const std::vector<Queued>& queue, const Dialogue& head,
                         const Dialogue& tail, const std::string& stall, const std::string& job,
                         bool refuse, const Dialogue& afterRefusal,
                         const std::function<void(const std::string& port)>& run) {
        // The whole dialogue; the refused message's file offers nothing after it.
        auto dialogue = [&](const std::vector<Queued>& files, const Piece* refused) {
            Dialogue d = head;
            for (const Queued& q : files)
                for (const Piece& p : q.pieces) {
                    d.insert(d.end(), p.steps.begin(), p.steps.end());
                    if (&p != refused) continue;
                    d.back() = S({"554 rejected"});
                    d.insert(d.end(), afterRefusal.begin(), afterRefusal.end());
                    break;
                }
            d.insert(d.end(), tail.begin(), tail.end());
            return d;
        };
        // How often each body arrived.
        auto delivered = [&](const std::vector<Queued>& files, Break b, const Piece* refused) {
            ScriptServer server(Play(dialogue(files, refused), b));
            run(server.PortText());
            if (b.fault == Fault::None) {
                EXPECT_TRUE(server.Passed()) << server.Report();
                // Pipelined, the next commands arrive before the answers
                // to those before them; one at a time, never.
                const bool pipelined = head.back().lines.back().ends_with("PIPELINING");
                EXPECT_EQ(!server.Ahead().empty(), pipelined) << server.Report();
            }
            const std::string text = server.Received();
            // An answer still owed after the time-out: no QUIT to be taken
            // for it.
            EXPECT_TRUE(b.fault != Fault::Stall || text.find("QUIT") == std::string::npos) << text;
            std::map<std::string, int> count;
            for (const Queued& q : files)
                for (const Piece& piece : q.pieces)
                    for (std::size_t p = 0; (p = text.find(piece.body, p)) != std::string::npos;
                         ++p)
                        ++count[piece.body];
            return count;
        };
        const Dialogue whole = dialogue(queue, nullptr);
        std::vector<std::pair<Break, const Piece*>> runs;
        for (const Break& b : BreakPoints(whole))
            runs.push_back({b, nullptr});
        runs.push_back({{Find(whole, stall) + 1, 0, Fault::Stall}, nullptr});
        for (const Queued& q : queue)
            if (refuse && q.pieces.size() > 1) {
                const Piece* refused = &q.pieces[1];
                runs.push_back({{dialogue(queue, refused).size(), 0, Fault::None}, refused});
                break;
            }
        std::printf("%s: %zu break points\n", job.c_str(), runs.size());
        for (const auto& [b, refused] : runs) {
            SCOPED_TRACE(Trace(b) + (refused ? ", a message refused" : ""));
            Clear(tree, {"qv-ppp.log", "request.id", "e-news.idx"});
            for (const Queued& q : queue)
                tree.Write("spool/" + q.file, q.Text());
            const Dialogue d = dialogue(queue, refused);
            std::map<std::string, int> first = delivered(queue, b, refused), again, expected;
            const Lines log = RunLog();
            auto logged = [&](const std::string& line) {
                return std::find(log.begin(), log.end(), line) != log.end();
            };
            std::vector<Queued> left;
            std::size_t dot = 0;
            for (const Queued& q : queue) {
                Queued rest{q.file, q.head, q.tail, {}};
                std::size_t accepted = 0;
                bool offered = true;
                for (const Piece& p : q.pieces) {
                    // Handed over whole (as far as the client knows), read by
                    // the server, accepted.
                    bool handed = false, read = false, verdict = false;
                    if (offered) {
                        dot = Find(d, ".", dot + 1);
                        handed = Done(b, dot - 1), read = Done(b, dot);
                        verdict = Done(b, dot + 1) && &p != refused;
                    }
                    offered = offered && &p != refused;
                    EXPECT_EQ(first[p.body], read ? 1 : 0) << p.body;
                    expected[p.body] =
                        read && !verdict && (p.recheck.empty() || &p == refused) ? 2 : 1;
                    if (verdict) {
                        ++accepted;
                        continue;
                    }
                    rest.pieces.push_back(p);
                    EXPECT_TRUE(!read || &p == refused || !p.recheck.empty() ||
                                logged("Mail file " + SpoolDir() + q.file +
                                       " kept for the next run: no answer to its end, the "
                                       "server may hold it already"));
                    if (handed && !p.recheck.empty()) {
                        Dialogue& steps = rest.pieces.back().steps;
                        Dialogue asked = {E(p.recheck), S({read ? "223 0 " + p.recheck.substr(5)
                                                                : "430 no such article"})};
                        if (!read) asked.insert(asked.end(), steps.begin(), steps.end());
                        steps = asked;
                    }
                }
                if (rest.pieces.empty()) {
                    EXPECT_FALSE(tree.Exists("spool/" + q.file)) << q.file;
                    continue;
                }
                // The accepted messages are gone from the file, the rest is
                // there byte for byte, and the log says so.
                EXPECT_EQ(tree.Read("spool/" + q.file), accepted ? rest.Text() : q.Text());
                EXPECT_TRUE(
                    !accepted ||
                    logged("Mail file " + SpoolDir() + q.file + ": the server accepted " +
                           std::to_string(accepted) + " of its " + std::to_string(q.pieces.size()) +
                           " messages; the file keeps the " + std::to_string(rest.pieces.size()) +
                           " not accepted for the next run"))
                    << ::testing::PrintToString(log);
                left.push_back(rest);
            }
            if (refused)
                EXPECT_TRUE(
                    logged("Error (" + job + "): Data: After transfer. (Error=554 rejected)"));
            else if (!left.empty())
                CheckEnd(log, b, job);
            if (!left.empty()) again = delivered(left, {0, 0, Fault::None}, nullptr);
            EXPECT_TRUE(Spool().empty());
            for (const auto& [body, n] : again)
                first[body] += n;
            EXPECT_EQ(first, expected);
        }
    }
};

// Broken at each step, stalled, and with the second message of a file
// refused; with PIPELINING each message's commands go out together, and its
// verdict comes behind the next message's commands (or, within a file,
// before them: the verdict on a file's last message, refused, then ends a
// transaction that the next file's commands follow without RSET). QUIT ends
// the session when it is in step.
TEST_F(QueueFaults, EveryBreakPointOfASendingLosesNothing) {
    for (const Lines& ehlo : {Lines{"250 hello"}, Lines{"250-hello", "250 PIPELINING"}}) {
        SCOPED_TRACE(ehlo.back());
        const Dialogue rset = ehlo.size() == 1 ? Dialogue{E("RSET"), S({"250 reset"})} : Dialogue{};
        EveryBreakPoint(kOutgoing, {S({"220 mx"}), E("EHLO client.example"), S(ehlo)},
                        {E("QUIT"), S({"221 bye"})}, "DATA", "sendmail", true, rset,
                        [&](const std::string& port) {
                            box.SMTPPORT = port;
                            SendMail(box);
                        });
    }
}

TEST_F(QueueFaults, EveryBreakPointOfAPostingLosesNothing) {
    EveryBreakPoint(kPostings, {S({"200 news"})}, {E("QUIT"), S({"205 bye"})}, "POST", "postnews",
                    false, {}, [&](const std::string& port) {
                        box.NNTPPORT = port;
                        PostNews(box);
                    });
}

// ---------------------------------------------------------------- NNTP

class NewsFaults : public testing::NewsJobTest {
  protected:
    void SetUp() override {
        NewsJobTest::SetUp();
        box.NNTPTIMEOUT = 1;
        box.NNTPLIST = true;
    }
    void NoTemporaryFile() {
        for (const auto& e : std::filesystem::recursive_directory_iterator(tree.Path()))
            EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    }
};

// ------------------------------------------------ the newsgroup list

const std::string kOldList = "!new_groups:240101 120000\r\nalt.a 0 1 m\r\nde.b 2 1 y\r\n";
const std::string kWholeList =
    "!new_groups:240307 090501\r\nalt.a 0 1 m\r\nde.b 7 1 y\r\nde.c 0 1 y\r\n";
const std::string kUserList = "de.b 2 1 y\r\n"; // without the marker: never touched

// The list job's dialogue for the list file it finds: the whole list at
// first, later the groups created since the file's marker (asked in UTC).
Dialogue ListDialogue(const std::string& file) {
    Dialogue d = {S({"200 news"})};
    if (file != kUserList) Ask(d, "DATE", S({"111 20240307090501"}));
    if (file.empty())
        Ask(d, "LIST", Multi("215 list", {"alt.a 0 1 m", "de.b 7 1 y", "de.c 0 1 y"}));
    else if (file != kUserList)
        Ask(d, "NEWGROUPS " + file.substr(12, 13) + " GMT",
            Multi("231 new", file == kWholeList ? Lines{} : Lines{"de.c 0 1 y", "de.b 7 1 y"}));
    Ask(d, "QUIT", S({"205 bye"}));
    return d;
}

TEST_F(NewsFaults, EveryBreakPointOfTheListLeavesTheOldListOrTheNewOne) {
    for (const std::string& before : {std::string(), kOldList, kUserList}) {
        const Dialogue d = ListDialogue(before);
        const std::string after = before == kUserList ? before : kWholeList;
        std::vector<Break> points = BreakPoints(d);
        if (d.size() > 4) points.push_back({4, 0, Fault::Stall});
        std::printf("list (%s): %zu break points\n", before.substr(0, 4).c_str(), points.size());
        auto run = [&](const Dialogue& dialogue, Break b) {
            ScriptServer server(Play(dialogue, b));
            box.NNTPPORT = server.PortText();
            GetNewsgroupList(box);
            EXPECT_TRUE(server.Passed()) << server.Report();
        };
        for (const Break& b : points) {
            SCOPED_TRACE(Trace(b));
            std::filesystem::remove(tree / "BOX1.bl");
            std::filesystem::remove(tree / "qv-ppp.log");
            if (!before.empty()) tree.Write("BOX1.bl", before);
            run(d, b);
            // The file changes only with the whole answer, in one step.
            EXPECT_EQ(tree.Read("BOX1.bl"), Done(b, 4) ? after : before);
            CheckEnd(RunLog(), b, "getnglist");
            NoTemporaryFile();
            run(ListDialogue(tree.Read("BOX1.bl")), {0, 0, Fault::None});
            EXPECT_EQ(tree.Read("BOX1.bl"), after);
        }
    }
}

// ------------------------------------------------ news and requests

// The server's groups (behind a login): article numbers, beyond 32 bits in
// the second, with the number of each article's Message-ID; one article
// expired after its overview was sent, one is cross-posted, and one stands
// in its group twice: the job changes its mind about the second copy after
// its command went ahead. Then the requests by Message-ID, one of an article
// the server does not have.
struct Slot {
    std::int64_t no;
    int id; // 0: expired
};
const std::vector<std::pair<std::string, std::vector<Slot>>> kGroups = {
    {"de.a", {{1, 1}, {2, 2}, {3, 0}, {4, 1}, {5, 3}}},
    {"de.b", {{9000000007, 8}, {9000000008, 2}}}};
const std::vector<RequestRecord> kRequests = {{1, 0, "*", "<5@x>"}, {1, 0, "BOX1", "<6@x>"}};
constexpr int kMissing = 6;

Lines ArticleOf(int id) {
    // The first holds what must reach the batch unchanged; the third is too
    // big for what is left of a small spool.
    if (id == 1)
        return {"From: a@b", "Message-ID: <1@x>", "Subject: \xe4\xf6\xfc", "",
                ".",         ".. two dots",       std::string(600, 'y'),   "."};
    Lines a = testing::NewsArticle(id, id == 3 ? std::string(9000, 'z') : "body");
    if (id == 5) a.insert(a.begin() + 4, "X-QV-Mode: Message-ID Request");
    return a;
}

// What the job keeps, by name: each group's pointer, each request's state,
// how often each article is in the duplicate list ("known 2") and in the
// batches ("batched 2").
using NewsState = std::map<std::string, std::int64_t>;
const NewsState kStart = {{"de.a", 0}, {"de.b", 9000000006}, {"request 0", 0}, {"request 1", 0}};

// A step's completion: a group's pointer passes an article, or a request
// is answered (its state becomes 255, or one more failed attempt: -1). An
// article passed over for a 423, which names no article, and those after it
// count only from the next answer that names what was asked (an article's
// number, a GROUP's group, QUIT's 205; not an answer dropped unread); a
// QUIT answered after a broken step confirms them from `done`, the steps
// done when they were treated.
struct Event {
    std::size_t at; // steps done before it
    std::string key;
    std::int64_t value;
    int id;               // the article batched and known, or 0
    std::size_t done = 0; // 0: not waiting for a confirmation
};

// The fetch job's dialogue from the state it starts with.
Dialogue NewsDialogue(const NewsState& s, std::vector<Event>& events) {
    Dialogue d = {S({"200 news"})};
    Ask(d, "AUTHINFO USER joe", S({"381 more"}));
    Ask(d, "AUTHINFO PASS pw", S({"281 ok"}));
    // An RFC 3977 server: the articles' commands go out ahead.
    Ask(d, "CAPABILITIES", Multi("101 capabilities", {"VERSION 2", "READER"}));
    NewsState seen = s;
    std::vector<Event> unconfirmed;
    auto confirm = [&] {
        for (Event& e : unconfirmed) {
            e.at = d.size();
            events.push_back(e);
        }
        unconfirmed.clear();
    };
    for (const auto& [group, slots] : kGroups) {
        const std::int64_t p = s.at(group), last = slots.back().no;
        Ask(d, "GROUP " + group,
            S({"211 " + std::to_string(slots.size()) + " " + std::to_string(slots.front().no) +
               " " + std::to_string(last) + " " + group}));
        confirm();
        if (p >= last) continue;
        Lines overview;
        for (const Slot& slot : slots)
            if (slot.no > p) {
                const std::string line = testing::OverviewLine(slot.id);
                overview.push_back(std::to_string(slot.no) + line.substr(line.find('\t')));
            }
        d.push_back(
            E("XOVER " + std::to_string(p + 1) + (p + 1 < last ? "-" + std::to_string(last) : "")));
        d.push_back(Multi("224 overview", overview));
        // Every article's command goes out before the first answer is read:
        // known is what the job knew then.
        const NewsState known = seen;
        for (const Slot& slot : slots) {
            if (slot.no <= p) continue;
            const std::string id = "known " + std::to_string(slot.id);
            // A known article is passed over without a command; a second
            // copy of one taken in this walk is passed over in its turn,
            // and its answer dropped unread.
            const bool asked = !known.count(id) || known.at(id) == 0;
            const bool taken = asked && seen[id]++ == 0;
            const std::string no = std::to_string(slot.no);
            if (taken)
                Ask(d, "ARTICLE " + no,
                    !slot.id ? S({"423 no such article"}) : Multi("220 " + no, ArticleOf(slot.id)));
            if (taken && slot.id) confirm();
            const Event e{d.size(), group, slot.no, taken ? slot.id : 0};
            if (!unconfirmed.empty() || (taken && !slot.id))
                unconfirmed.push_back({e.at, e.key, e.value, e.id, d.size()});
            else
                events.push_back(e);
            if (asked && !taken) Ask(d, "ARTICLE " + no, Multi("220 " + no, ArticleOf(slot.id)));
        }
    }
    for (std::size_t i = 0; i < kRequests.size(); ++i) {
        if (s.at("request " + std::to_string(i)) >= 199) continue;
        const int id = std::atoi(kRequests[i].messageId.c_str() + 1);
        Ask(d, "ARTICLE " + kRequests[i].messageId,
            id == kMissing ? S({"430 no such article"})
                           : Multi("220 0 " + kRequests[i].messageId, testing::NewsArticle(id)));
        events.push_back({d.size(), "request " + std::to_string(i), id == kMissing ? -1 : 255,
                          id == kMissing ? 0 : id});
    }
    Ask(d, "QUIT", S({"205 bye"}));
    confirm();
    return d;
}

// The state after `ops` steps; of the events of the last step only the
// first `frontier` (ESC, or a full disk, may come between them). `goodbye`:
// the job's QUIT was answered.
NewsState After(NewsState s, const std::vector<Event>& events, std::size_t ops,
                std::size_t frontier, bool goodbye = false) {
    for (const Event& e : events) {
        // Confirmed by the goodbye, it counts from when it was treated.
        const std::size_t at = goodbye && e.done != 0 && e.done <= ops ? e.done : e.at;
        if (at > ops || (at == ops && frontier == 0)) continue;
        if (at == ops) --frontier;
        s[e.key] = e.value < 0 ? s[e.key] + 1 : e.value;
        if (e.id) ++s["known " + std::to_string(e.id)], ++s["batched " + std::to_string(e.id)];
    }
    return s;
}

class NewsFetchFaults : public NewsFaults {
  protected:
    // This dialogue is that of one group at a time (the articles of a group
    // ahead of their answers); the groups asked for ahead have theirs below.
    void SetUp() override {
        NewsFaults::SetUp();
        NewsGroupsAhead() = false;
    }
    void TearDown() override {
        NewsGroupsAhead() = true;
        NewsFaults::TearDown();
    }
    void Reset() {
        Clear(tree, {"e-news.idx", "request.id", "qv-ppp.log"});
        Rc("de.a 0\nde.b 9000000006\n");
        box.NNTPUSER = "joe";
        box.NNTPPASS = "pw";
        for (const RequestRecord& r : kRequests)
            AppendRequestRecord(tree / "request.id", r);
        NewsBatchCounter() = 0;
        goodbye_ = false;
    }
    // Runs the job broken by `fault`, noting whether its QUIT was answered
    // (the scripts answer it after a refusal and after ESC, never after a
    // cut or a stall).
    void RunBroken(const Script& script, Fault fault) {
        ScriptServer server(script);
        box.NNTPPORT = server.PortText();
        GetNews(box, false, nullptr);
        EXPECT_TRUE(server.Passed()) << server.Report();
        goodbye_ = (fault == Fault::Refuse || fault == Fault::Esc) &&
                   server.Received().find("QUIT\r\n") != std::string::npos;
    }
    bool goodbye_ = false;
    // The state as the job left it; every batch entry must be one whole
    // article.
    NewsState Left() {
        NewsState s = kStart;
        std::istringstream rc(Rc());
        for (std::pair<std::string, std::int64_t> g; rc >> g.first >> g.second;)
            s[g.first] = g.second;
        const std::string dupes = Dupes();
        for (std::size_t at = 0; (at = dupes.find('<', at)) != std::string::npos; ++at)
            ++s["known " + std::to_string(std::atoi(dupes.c_str() + at + 1))];
        RequestFile requests(tree / "request.id");
        for (std::int64_t i = 0; i < requests.Count(); ++i)
            s["request " + std::to_string(i)] = requests.Read(i).state;
        std::string batches;
        for (const std::string& name : Spool())
            batches += Batch(name);
        std::size_t whole = 0;
        for (int id : {1, 2, 3, 5, 8}) {
            const std::string entry = testing::Entries({ArticleOf(id)});
            for (std::size_t at = 0; (at = batches.find(entry, at)) != std::string::npos;
                 at += entry.size(), whole += entry.size())
                ++s["batched " + std::to_string(id)];
        }
        EXPECT_EQ(whole, batches.size()) << "a batch holds a broken entry: " << batches;
        return s;
    }
    void FullDiskRun(bool mount);
    // Checks the state a broken run left (of the events of its last step the
    // first `frontier`), then completes the work.
    void CheckThenRecover(const std::vector<Event>& events, Break b,
                          std::size_t frontier = SIZE_MAX) {
        const NewsState left = Left();
        // ESC stops the job at an abort check, between two articles, with
        // the answers the server sent ahead unread: the state is that of
        // some point up to where the server got.
        std::size_t ops = b.ops;
        if (b.fault == Fault::Esc)
            for (std::size_t o = 0; o <= b.ops; ++o)
                for (std::size_t k = 0; k <= events.size(); ++k)
                    if (After(kStart, events, o, k, goodbye_) == left) ops = o, frontier = k;
        EXPECT_EQ(left, After(kStart, events, ops, frontier, goodbye_));
        CheckEnd(RunLog(), b, "getnews");
        NoTemporaryFile();

        std::vector<Event> more;
        std::filesystem::remove(tree / "qv-ppp.log");
        NewsBatchCounter() = 0;
        Run(Play(NewsDialogue(left, more), {0, 0, Fault::None}));
        for (const std::string& line : RunLog())
            EXPECT_FALSE(line.starts_with("Error")) << line;
        NewsState whole = {{"de.a", 5}, {"de.b", 9000000008}, {"request 0", 255}};
        whole["request 1"] = left.at("request 1") + 1;
        for (const char* id : {"1", "2", "3", "5", "8"})
            whole["known " + std::string(id)] = whole["batched " + std::string(id)] = 1;
        EXPECT_EQ(Left(), whole);
    }
};

TEST_F(NewsFetchFaults, EveryBreakPointKeepsBatchesAndStateInStep) {
    std::vector<Event> events;
    const Dialogue d = NewsDialogue(kStart, events);
    std::vector<Break> points = BreakPoints(d);
    for (std::size_t i = 1; i < d.size(); ++i)
        if (d[i - 1].text.starts_with("XOVER") || d[i - 1].text.starts_with("ARTICLE"))
            points.push_back({i, 0, Fault::Refuse});
    // Stalls inside an article, and waiting for a requested one.
    points.push_back({Find(d, "ARTICLE 2") + 1, 3, Fault::Stall});
    points.push_back({Find(d, "ARTICLE <5@x>") + 1, 0, Fault::Stall});
    for (const Break& b : points) {
        SCOPED_TRACE(Trace(b));
        Reset();
        RunBroken(Play(d, b), b.fault);
        CheckThenRecover(events, b);
    }
    // ESC at each abort check in turn, until a run no longer meets one.
    int checks = 1;
    for (;; ++checks) {
        SCOPED_TRACE("ESC at check " + std::to_string(checks));
        Reset();
        auto at = std::make_shared<std::size_t>();
        {
            testing::EscAtCheck esc(checks);
            RunBroken(Serve(d, at), Fault::Esc);
        }
        if (RunLog().back() != "aborted by user ...") break;
        CheckThenRecover(events, {*at, 0, Fault::Esc});
        ASSERT_LT(checks, 100);
    }
    std::printf("news fetch: %zu break points, %d abort checks\n", points.size(), checks - 1);
}

// The batches' disk fills up with the third article: that one is neither
// batched nor known, and the next run fetches it. Where the file system
// tells its room, the job stops before it with its error; a write limit it
// cannot see ends the run through the failed write.
TEST_F(NewsFetchFaults, FullDiskLosesNothing) {
    for (bool mount : {true, false}) {
        SCOPED_TRACE(mount ? "mounted" : "write limit");
        FullDiskRun(mount);
    }
}

void NewsFetchFaults::FullDiskRun(bool mount) {
    std::vector<Event> events;
    const Dialogue d = NewsDialogue(kStart, events);
    Reset();
    SmallSpool spool(SpoolDir(), mount);
    {
        ScriptServer server(Play(d, {0, 0, Fault::None}));
        box.NNTPPORT = server.PortText();
        GetNews(box, false, nullptr);
        // Where the file system tells its room the job stops before the
        // article; under a write limit it cannot see, the failed write is
        // the job's error, naming the file.
        EXPECT_TRUE(RunLog().back().starts_with(
            spool.Mounted() ? "Error (getnews): No space left on device in " + SpoolDir() +
                                  " for the next article"
                            : "Error (getnews): Error: Savetofile: I/O error 27: " + SpoolDir()))
            << RunLog().back();
    }
    spool.Free();
    // The third article's answer is in, and shows that the 423 before it
    // was the expired article's (and the copy after it passed over in its
    // turn); the third itself is not written.
    CheckThenRecover(events, {Find(d, "ARTICLE 5") + 2, 0, Fault::Full}, 2);
}

// ----------------------------------------------------------------------
// A proxy that breaks its handshake, through the program: each step of
// SOCKS5 and HTTP CONNECT refused, cut and stalled, and a proxy that is
// not there. Both the fetch and the sending end with the proxy's error as
// after a failed connect; nothing is fetched and the queue stays as it was.

TEST(ProxyFaults, EveryStepOfTheHandshakeEndsTheJobsAndLosesNothing) {
    using Kind = ScriptProxy::Kind;
    using Step = ScriptProxy::Step;
    using PFault = ScriptProxy::Fault;
    const std::string closedNote = "connection closed by the proxy. (Error=104)";
    const std::string silentNote = "no answer from the proxy. (Error=110)";
    struct Row {
        Kind kind;
        Step step;
        PFault fault;
        bool login;
        std::string expected; // after "Proxy 127.0.0.1:port: "; {server} is the job's
    } rows[] = {
        {Kind::Socks5, Step::Greeting, PFault::Refuse, false,
         "this is no SOCKS5 proxy. (Error=version 4)"},
        {Kind::Socks5, Step::Greeting, PFault::Cut, false, "SOCKS5 method choice: " + closedNote},
        {Kind::Socks5, Step::Greeting, PFault::Stall, false, "SOCKS5 method choice: " + silentNote},
        {Kind::Socks5, Step::MethodChoice, PFault::Refuse, false,
         "the proxy wants a login: give the user in the proxy key (socks5://user@host:port) and "
         "its password. (Error=no acceptable methods)"},
        {Kind::Socks5, Step::MethodChoice, PFault::Cut, true,
         "SOCKS5 method choice: " + closedNote},
        {Kind::Socks5, Step::MethodChoice, PFault::Stall, true,
         "SOCKS5 method choice: " + silentNote},
        {Kind::Socks5, Step::Login, PFault::Refuse, true,
         "the proxy refused the login of u (check the user and PROXYPASS or PROXYPASSCMD). "
         "(Error=status 1)"},
        {Kind::Socks5, Step::Login, PFault::Cut, true, "SOCKS5 login status: " + closedNote},
        {Kind::Socks5, Step::Login, PFault::Stall, true, "SOCKS5 login status: " + silentNote},
        {Kind::Socks5, Step::Request, PFault::Refuse, false,
         "SOCKS5 connect to {server}: connection not allowed by ruleset. (Error=reply 2)"},
        {Kind::Socks5, Step::Request, PFault::Cut, false,
         "SOCKS5 reply for {server}: " + closedNote},
        {Kind::Socks5, Step::Request, PFault::Stall, true,
         "SOCKS5 reply for {server}: " + silentNote},
        {Kind::Socks5, Step::Reply, PFault::Refuse, false,
         "SOCKS5 connect to {server}: Host unreachable. (Error=reply 4)"},
        {Kind::Socks5, Step::Reply, PFault::Cut, true, "SOCKS5 reply for {server}: " + closedNote},
        {Kind::Socks5, Step::Reply, PFault::Stall, false,
         "SOCKS5 reply for {server}: " + silentNote},
        {Kind::Http, Step::Request, PFault::Cut, false, "HTTP CONNECT {server}: " + closedNote},
        {Kind::Http, Step::Request, PFault::Stall, true, "HTTP CONNECT {server}: " + silentNote},
        {Kind::Http, Step::HttpHead, PFault::Refuse, false,
         "HTTP CONNECT {server}: the proxy wants a login: give the user in the proxy key "
         "(http://user@host:port). (Error=HTTP/1.1 407 Proxy Authentication Required)"},
        {Kind::Http, Step::HttpHead, PFault::Cut, true, "HTTP CONNECT {server}: " + closedNote},
        {Kind::Http, Step::HttpHead, PFault::Stall, false, "HTTP CONNECT {server}: " + silentNote},
        // No proxy listens: the rows's proxy is closed before the run.
        {Kind::Socks5, Step::None, PFault::Refuse, false,
         "Cannot connect to the proxy (asked for {server}). (Error=111)"},
    };
    const std::string queued = "HELO r\r\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\n"
                               "Subject: s\r\n\r\nbody\r\n.\r\nQUIT\r\n";
    const std::string closed = std::to_string(FreeLoopbackPort());
    for (const Row& row : rows) {
        std::optional<ScriptProxy> proxy;
        proxy.emplace(
            ScriptProxy::Options{.kind = row.kind,
                                 .user = row.login ? "u" : "",
                                 .password = "p",
                                 .targetPort = std::stoi(closed),
                                 .step = row.step,
                                 .fault = row.fault,
                                 .replyCode = 4,
                                 .refusal = "HTTP/1.1 407 Proxy Authentication Required"});
        const std::string url = proxy->Url(), port = proxy->PortText();
        SCOPED_TRACE(url + " " + row.expected);
        if (row.step == Step::None) proxy.reset();
        TempTree t;
        t.MakeDir("spool");
        t.Write("qvdesk.cfg", "");
        t.Write("spool/m0001.out", queued);
        t.Write("BOX1.bfg", "POP3SERVER=pop.brix-test.invalid\nPOP3USER=joe\nPOP3PASS=pw\n"
                            "POP3KEEP=N\nPOP3TIMEOUT=1\nSMTPSERVER=smtp.brix-test.invalid\n"
                            "SMTPTIMEOUT=1\nPROXY=" +
                                url + "\n" + (row.login ? "PROXYPASS=p\n" : ""));
        const auto r = RunBrix({"box1.bfg", "-v"}, {"QV=" + t.Path()});
        EXPECT_EQ(r.exitCode, 105) << r.output;
        const std::string log = t.Read("qv-ppp.log");
        for (const auto& [job, server] : {std::pair{"getmail", "pop.brix-test.invalid:110"},
                                          std::pair{"sendmail", "smtp.brix-test.invalid:25"}}) {
            std::string expected = row.expected;
            if (const auto at = expected.find("{server}"); at != std::string::npos)
                expected.replace(at, 8, server);
            EXPECT_NE(log.find(std::string("Error (") + job + "): Proxy 127.0.0.1:" + port + ": " +
                               expected),
                      std::string::npos)
                << log;
        }
        // Nothing fetched, the queue as it was.
        std::vector<std::string> files;
        for (const auto& e : std::filesystem::directory_iterator(t.Path() + "spool"))
            files.push_back(e.path().filename().string());
        EXPECT_EQ(files, std::vector<std::string>{"m0001.out"});
        EXPECT_EQ(t.Read("spool/m0001.out"), queued);
    }
}

// ------------------------------------------------ groups asked for ahead

// Several groups, their GROUP and XOVER sent ahead and their articles
// behind a GROUP of their own: one group whose range waits for GROUP's
// answer, a group the server does not have (the XOVER sent behind it is
// answered for no group), an article expired since its overview, a
// crosspost, a pointer counting from the end. The server answers from its
// groups; the run is broken at each command in turn (cut before its answer
// or halfway through it, a stall, a refusal of that command alone) and at
// each abort check, and once by a full disk.
class AheadFaults : public NewsFaults {
  protected:
    static NewsStore Store() {
        NewsStore store;
        store.groups = {
            {"de.a", {{1, 101}, {2, 102}, {3, 100, true}, {4, 103}}},
            {"de.b", {{7, 104}, {8, 102}, {9, 105, false, 2000}}},
            {"de.c", {{1, 106}, {2, 107}, {3, 108}}},
        };
        return store;
    }
    static constexpr const char* kRc = "de.a 0\nde.gone 3\nde.b 6\nde.c -2\n";
    // Where each group starts, and the articles of each that are there.
    static std::map<std::string, std::int64_t> Start() {
        return {{"de.a", 0}, {"de.gone", 3}, {"de.b", 6}, {"de.c", 1}};
    }
    void Reset() {
        Clear(tree, {"e-news.idx", "qv-ppp.log"});
        Rc(kRc);
        NewsBatchCounter() = 0;
    }
    // The whole entries of every batch, in the order of the files; a torn
    // or broken one fails.
    std::vector<std::string> Entries() {
        std::vector<std::string> out;
        for (const std::string& name : Spool()) {
            const std::string text = Batch(name);
            std::size_t at = 0;
            while (at < text.size()) {
                const std::size_t eol = text.find('\n', at);
                EXPECT_TRUE(text.compare(at, 9, "#! rnews ") == 0 && eol != std::string::npos)
                    << name << ": " << text.substr(at);
                if (eol == std::string::npos) break;
                const std::size_t size = std::stoul(text.substr(at + 9, eol - at - 9));
                EXPECT_LE(eol + 1 + size, text.size()) << name << " torn";
                out.push_back(text.substr(eol + 1, size));
                at = eol + 1 + size;
            }
        }
        return out;
    }
    static std::string IdOf(const std::string& entry) {
        const std::size_t at = entry.find("Message-ID: <");
        return at == std::string::npos ? "" : entry.substr(at + 12, entry.find('>', at) - at - 11);
    }
    // Nothing lost, nothing doubled: no article is batched twice, every
    // Message-ID known is batched, and no pointer has passed an article
    // there that is not batched.
    void CheckInStep() {
        std::map<std::string, int> batched;
        for (const std::string& e : Entries())
            ++batched[IdOf(e)];
        for (const auto& [id, n] : batched)
            EXPECT_EQ(n, 1) << id << " batched twice";
        const std::string dupes = Dupes();
        for (std::size_t at = 0; (at = dupes.find('<', at)) != std::string::npos; ++at) {
            const std::string id = dupes.substr(at, dupes.find('>', at) - at + 1);
            EXPECT_TRUE(batched.count(id)) << id << " known, but not batched";
        }
        std::istringstream rc(Rc());
        const NewsStore store = Store();
        for (std::pair<std::string, std::int64_t> g; rc >> g.first >> g.second;) {
            const auto it = store.groups.find(g.first);
            if (it == store.groups.end()) continue;
            for (const NewsStore::Item& item : it->second) {
                if (item.gone || item.no <= Start().at(g.first) || item.no > g.second) continue;
                EXPECT_TRUE(batched.count("<" + std::to_string(item.id) + "@x>"))
                    << g.first << " " << g.second << " passed " << item.no << ", not batched";
            }
        }
    }
    // Runs the job against the store's server, broken by `fault` at its
    // command `at` (0: the first after the greeting) after `lines` lines
    // of its answer; `heard` gets each command with its answer's lines.
    void Run(Fault fault, std::size_t at, std::size_t lines = 0,
             std::vector<std::pair<std::string, std::size_t>>* heard = nullptr) {
        auto inner = Store().Answerer();
        auto count = std::make_shared<std::size_t>(0);
        auto refused = std::make_shared<bool>(false);
        Script::Answerer answer = [=](const std::string& line, std::string& reply) {
            if (*refused) {
                reply = line == "QUIT" ? "205 bye\r\n" : "";
                return line != "QUIT";
            }
            const std::size_t n = (*count)++;
            if (fault == Fault::None || n < at) {
                const bool more = inner(line, reply);
                if (heard)
                    heard->emplace_back(line, static_cast<std::size_t>(
                                                  std::count(reply.begin(), reply.end(), '\n')));
                return more;
            }
            if (fault == Fault::Refuse) {
                // This command alone; the server goes on with the others.
                reply = "502 permission denied\r\n";
                return true;
            }
            if (fault == Fault::Stall) {
                // Nothing more, until the job gives up waiting (one second).
                *refused = true;
                reply.clear();
                return true;
            }
            std::string whole;
            inner(line, whole);
            std::size_t cut = 0;
            for (std::size_t i = 0; i < lines; ++i)
                cut = whole.find('\n', cut) + 1;
            reply = whole.substr(0, cut);
            return false;
        };
        ScriptServer server(Script().Send("200 news").Answer(answer));
        box.NNTPPORT = server.PortText();
        GetNews(box, false, nullptr);
        server.Join();
    }
    // What the fetch comes to in the end.
    void CheckWhole(const std::vector<std::string>& whole) {
        std::vector<std::string> entries = Entries();
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(entries, whole);
        EXPECT_EQ(Rc(), "de.a 4\r\nde.gone 3\r\nde.b 9\r\nde.c 3\r\n");
        CheckInStep();
    }
    // Checks what a broken run left, then completes the work.
    void CheckThenRecover(const std::vector<std::string>& whole, Fault fault) {
        CheckInStep();
        NoTemporaryFile();
        const std::vector<std::string> log = RunLog();
        ASSERT_FALSE(log.empty());
        const std::string& last = log.back();
        if (fault == Fault::Esc) {
            EXPECT_EQ(last, "aborted by user ...");
        } else if (fault == Fault::Refuse) {
            // A refused GROUP passes its group over, a refused XOVER or
            // ARTICLE ends the job in its group's turn; a refused answer
            // that the job did not need in the end says nothing.
            EXPECT_TRUE(!last.starts_with("Error") ||
                        last.ends_with("(Error=502 permission denied)"))
                << last;
        } else {
            EXPECT_TRUE(last.starts_with("Error (getnews): ")) << last;
            EXPECT_TRUE(fault != Fault::Stall || last.ends_with("(Error=110)")) << last;
        }
        std::filesystem::remove(tree / "qv-ppp.log");
        NewsBatchCounter() = 0;
        Run(Fault::None, 0);
        for (const std::string& line : RunLog())
            EXPECT_FALSE(line.starts_with("Error")) << line;
        CheckWhole(whole);
    }
};

TEST_F(AheadFaults, EveryBreakPointOfAPipelineAcrossGroupsLosesAndDoublesNothing) {
    // The unbroken run: what every broken one comes to with the next.
    Reset();
    std::vector<std::pair<std::string, std::size_t>> heard;
    Run(Fault::None, 0, 0, &heard);
    std::vector<std::string> whole = Entries();
    std::sort(whole.begin(), whole.end());
    ASSERT_EQ(whole.size(), 7u);
    CheckWhole(whole);
    // Ahead indeed: every group was asked for before the first article.
    std::size_t firstArticle = 0;
    while (firstArticle < heard.size() && !heard[firstArticle].first.starts_with("ARTICLE"))
        ++firstArticle;
    for (const char* g : {"GROUP de.a", "GROUP de.gone", "GROUP de.b", "GROUP de.c"})
        EXPECT_LT(
            std::find_if(heard.begin(), heard.end(), [&](const auto& h) { return h.first == g; }) -
                heard.begin(),
            static_cast<std::ptrdiff_t>(firstArticle))
            << g;

    std::vector<std::pair<Fault, std::pair<std::size_t, std::size_t>>> points;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        for (Fault f : {Fault::Cut, Fault::Stall, Fault::Refuse})
            points.push_back({f, {i, 0}});
        if (heard[i].second > 2) points.push_back({Fault::Cut, {i, heard[i].second / 2}});
    }
    std::printf("groups ahead: %zu commands, %zu break points\n", heard.size(), points.size());
    for (const auto& [fault, where] : points) {
        SCOPED_TRACE("fault " + std::to_string(static_cast<int>(fault)) + " at command " +
                     std::to_string(where.first) + " (" + heard[where.first].first + ") + " +
                     std::to_string(where.second));
        Reset();
        Run(fault, where.first, where.second);
        CheckThenRecover(whole, fault);
    }
    // ESC at each abort check in turn, until a run no longer meets one.
    int checks = 1;
    for (;; ++checks) {
        SCOPED_TRACE("ESC at check " + std::to_string(checks));
        Reset();
        {
            testing::EscAtCheck esc(checks);
            Run(Fault::None, 0);
        }
        if (RunLog().back() != "aborted by user ...") break;
        CheckThenRecover(whole, Fault::Esc);
        ASSERT_LT(checks, 100);
    }
    // A full disk: no file takes more than 1000 bytes, and de.b's last
    // article is bigger.
    Reset();
    {
        SmallSpool spool(SpoolDir(), false);
        Run(Fault::None, 0);
        EXPECT_TRUE(RunLog().back().starts_with("Error (getnews): ")) << RunLog().back();
        CheckInStep();
        spool.Free();
    }
    CheckThenRecover(whole, Fault::Full);
}

} // namespace
} // namespace brix
