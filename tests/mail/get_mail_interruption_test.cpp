// The interruption proof of the mail fetch job: a server that breaks the
// connection at the Nth command, for every N of a whole session, then a run
// without interruption. Every message must end up in the spool exactly once,
// whole, and (in delete mode) gone from the server; a further run changes
// nothing.
//
// The server here is a model of a mailbox, not a script: it answers each
// command from its state and carries out deletions only at QUIT (RFC 1939
// section 6), so the job's own choices decide the dialogue.

#include "get_mail_fixture.h"

#include <algorithm>
#include <arpa/inet.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace brix {
namespace {

using testing::GetMailTest;
using Lines = std::vector<std::string>;

struct ModelMessage {
    std::string uid;
    Lines lines;
};

// Where the connection is cut when the Nth command arrives.
enum class Cut {
    BeforeReply, // the command is read and not carried out
    InsideReply, // carried out; a one-line reply is lost, a longer one cut
                 // after its second line
};

class ModelPop3 {
  public:
    explicit ModelPop3(std::vector<ModelMessage> messages) : mailbox(std::move(messages)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 4);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~ModelPop3() { ::close(listener_); }

    std::string PortText() const { return std::to_string(port_); }

    // Serves one connection in the background; cutAt 0 never cuts.
    void Serve(int cutAt, Cut cut, bool uidl) {
        thread_ = std::thread([=, this] { Session(cutAt, cut, uidl); });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    std::vector<ModelMessage> mailbox;
    int commands = 0; // commands read in the last session
    bool cutDone = false;

  private:
    void Session(int cutAt, Cut cut, bool uidl) {
        commands = 0;
        cutDone = false;
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0) return;
        int fd = ::accept(listener_, nullptr, nullptr);
        auto send = [&](const std::string& line) {
            std::string bytes = line + "\r\n";
            (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        };
        std::set<std::size_t> marked;
        std::string pending;
        send("+OK model ready");
        for (;;) {
            std::size_t lf;
            while ((lf = pending.find('\n')) == std::string::npos) {
                pollfd q{fd, POLLIN, 0};
                char buf[512];
                ssize_t n = ::poll(&q, 1, 3000) > 0 ? ::recv(fd, buf, sizeof buf, 0) : 0;
                if (n <= 0) {
                    ::close(fd);
                    return;
                }
                pending.append(buf, static_cast<std::size_t>(n));
            }
            std::string cmd = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (!cmd.empty() && cmd.back() == '\r') cmd.pop_back();
            ++commands;
            bool cutHere = commands == cutAt;
            if (cutHere && cut == Cut::BeforeReply) {
                cutDone = true;
                ::close(fd);
                return;
            }
            Lines reply = Answer(cmd, marked, uidl);
            if (cutHere) {
                cutDone = true;
                if (reply.size() > 1) send(reply[0]);
                if (reply.size() > 2) send(reply[1]);
                ::close(fd);
                return;
            }
            for (const std::string& line : reply)
                send(line);
            if (cmd == "QUIT") {
                ::close(fd);
                return;
            }
        }
    }

    // The reply lines to one command.
    Lines Answer(const std::string& cmd, std::set<std::size_t>& marked, bool uidl) {
        auto size = [](const ModelMessage& m) {
            std::size_t n = 0;
            for (const std::string& l : m.lines)
                n += l.size() + 2;
            return n;
        };
        std::string verb = cmd.substr(0, cmd.find(' '));
        std::size_t no = 0;
        if (cmd.size() > verb.size()) no = std::strtoul(cmd.c_str() + verb.size() + 1, nullptr, 10);
        bool valid = no >= 1 && no <= mailbox.size() && !marked.count(no - 1);
        if (verb == "USER" || verb == "PASS" || verb == "NOOP") return {"+OK"};
        if (verb == "STAT") {
            std::size_t total = 0;
            for (const ModelMessage& m : mailbox)
                total += size(m);
            return {"+OK " + std::to_string(mailbox.size()) + " " + std::to_string(total)};
        }
        if (verb == "UIDL" && uidl) {
            Lines r = {"+OK"};
            for (std::size_t i = 0; i < mailbox.size(); ++i)
                if (!marked.count(i)) r.push_back(std::to_string(i + 1) + " " + mailbox[i].uid);
            r.push_back(".");
            return r;
        }
        if (verb == "LIST" && valid)
            return {"+OK " + std::to_string(no) + " " + std::to_string(size(mailbox[no - 1]))};
        if ((verb == "RETR" || verb == "TOP") && valid) {
            Lines r = {"+OK"};
            for (const std::string& l : mailbox[no - 1].lines) {
                if (verb == "TOP" && l.empty()) break;
                r.push_back(!l.empty() && l[0] == '.' ? "." + l : l);
            }
            if (verb == "TOP") r.push_back("");
            r.push_back(".");
            return r;
        }
        if (verb == "DELE" && valid) {
            marked.insert(no - 1);
            return {"+OK"};
        }
        if (verb == "RSET") {
            marked.clear();
            return {"+OK"};
        }
        if (verb == "QUIT") {
            std::vector<ModelMessage> kept;
            for (std::size_t i = 0; i < mailbox.size(); ++i)
                if (!marked.count(i)) kept.push_back(mailbox[i]);
            mailbox = kept;
            return {"+OK bye"};
        }
        return {"-ERR"};
    }

    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

std::vector<ModelMessage> ThreeMessages() {
    return {{"u1", {"Message-ID: <1@x>", "Subject: one", "", "first", ".dot"}},
            {"u2", {"Message-ID: <2@x>", "Subject: two", "", "second"}},
            {"u3", {"Message-ID: <3@x>", "Subject: three", "", "third", std::string(5000, 'z')}}};
}

// The spool file of a model message.
std::string SpoolText(const ModelMessage& m) {
    std::string text = "From joe@localhost\n";
    for (const std::string& l : m.lines)
        text += l + "\n";
    return text;
}

struct Mode {
    const char* name;
    bool keep;
    bool uidl;
    Cut cut;
};

class GetMailInterruption : public GetMailTest, public ::testing::WithParamInterface<Mode> {
  protected:
    void ClearState() {
        for (const std::string& name : Spool())
            std::filesystem::remove(tree.Path() + "spool/" + name);
        std::filesystem::remove(tree.Path() + "e-mail.uid");
        std::filesystem::remove(tree.Path() + "e-mail.idx");
    }
    // Runs the job once against the model; false when the cut happened.
    bool RunOnce(ModelPop3& model, int cutAt) {
        model.Serve(cutAt, GetParam().cut, GetParam().uidl);
        box.POP3PORT = model.PortText();
        GetMail(box, false);
        model.Join();
        return !model.cutDone;
    }
    // Each spool file is one whole message; returns how often each was stored.
    std::map<std::string, int> Stored(const std::vector<ModelMessage>& all) {
        std::map<std::string, int> count;
        for (const std::string& name : Spool()) {
            EXPECT_EQ(name.size(), 9u) << name; // no temporary file is left
            std::string text = Spooled(name);
            bool known = false;
            for (const ModelMessage& m : all)
                if (text == SpoolText(m)) {
                    ++count[m.uid];
                    known = true;
                }
            EXPECT_TRUE(known) << name << ": " << text;
        }
        return count;
    }
};

TEST_P(GetMailInterruption, EveryMessageArrivesExactlyOnce) {
    Settings().VerboseMode = false;
    box.POP3KEEP = GetParam().keep ? "J" : "N";
    const std::vector<ModelMessage> all = ThreeMessages();
    int cutAt = 1;
    for (;; ++cutAt) {
        SCOPED_TRACE("cut at command " + std::to_string(cutAt));
        ClearState();
        ModelPop3 model(all);
        bool whole = RunOnce(model, cutAt);
        // After the cut: whatever was stored is whole and stored once, and
        // (delete mode) a message gone from the server is in the spool.
        std::map<std::string, int> stored = Stored(all);
        for (const ModelMessage& m : all) {
            bool onServer = std::any_of(model.mailbox.begin(), model.mailbox.end(),
                                        [&](const ModelMessage& k) { return k.uid == m.uid; });
            EXPECT_LE(stored[m.uid], 1) << m.uid;
            if (!onServer) {
                EXPECT_EQ(stored[m.uid], 1) << m.uid << " is lost";
            }
        }
        ASSERT_TRUE(RunOnce(model, 0));
        stored = Stored(all);
        for (const ModelMessage& m : all)
            EXPECT_EQ(stored[m.uid], 1) << m.uid;
        if (GetParam().keep) {
            EXPECT_EQ(model.mailbox.size(), all.size());
        } else {
            EXPECT_TRUE(model.mailbox.empty());
        }
        // A further run fetches nothing.
        std::size_t files = Spool().size();
        ASSERT_TRUE(RunOnce(model, 0));
        EXPECT_EQ(Spool().size(), files);
        if (whole) break;
        ASSERT_LT(cutAt, 40) << "the session never ended";
    }
    // Keep mode: USER PASS STAT UIDL, LIST and RETR for three messages, QUIT;
    // delete mode adds three DELE; without UIDL, a TOP per message.
    int session = 4 + 3 * 2 + 1 + (GetParam().keep ? 0 : 3) + (GetParam().uidl ? 0 : 3);
    EXPECT_EQ(cutAt, session + 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, GetMailInterruption,
                         ::testing::Values(Mode{"KeepBeforeReply", true, true, Cut::BeforeReply},
                                           Mode{"DeleteInsideReply", false, true, Cut::InsideReply},
                                           Mode{"MessageIdKeep", true, false, Cut::InsideReply},
                                           Mode{"MessageIdDelete", false, false, Cut::BeforeReply}),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace brix
