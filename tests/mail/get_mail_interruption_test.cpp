// The interruption proof of the mail fetch job in Message-ID mode (a server
// without UIDL): the connection is cut at
// the Nth command, for every N of a whole session, then a run goes without
// a cut. Every message must end up in the spool exactly once, whole, and (in
// delete mode) gone from the server; a further run changes nothing.
//
// The server is a model of a mailbox rather than a script: it answers each
// command from its state and carries out deletions only at QUIT (RFC 1939
// section 6), so the job's own choices decide the dialogue.

#include "get_mail_fixture.h"

#include <map>
#include <set>

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
    InsideReply, // carried out; a one-line reply is lost, a longer one cut after its second line
};

struct ModelPop3 {
    std::vector<ModelMessage> mailbox;
    bool uidl = true;

    // One session: the greeting, then every command answered; cutAt 0 never cuts.
    testing::Script Session(int cutAt, Cut cut, bool& cutDone) {
        auto marked = std::make_shared<std::set<std::size_t>>();
        auto commands = std::make_shared<int>(0);
        cutDone = false;
        return testing::Script()
            .Send("+OK model ready")
            .Answer([=, this, &cutDone](const std::string& cmd, std::string& reply) {
                const bool cutHere = ++*commands == cutAt;
                Lines lines;
                if (!(cutHere && cut == Cut::BeforeReply)) lines = Answer(cmd, *marked);
                if (cutHere) lines.resize(lines.size() > 2 ? 2 : lines.size() > 1 ? 1 : 0);
                reply.clear();
                for (const std::string& line : lines)
                    reply += line + "\r\n";
                cutDone = cutDone || cutHere;
                return !cutHere && cmd != "QUIT";
            });
    }

    Lines Answer(const std::string& cmd, std::set<std::size_t>& marked) {
        auto size = [](const ModelMessage& m) {
            std::size_t n = 0;
            for (const std::string& l : m.lines)
                n += l.size() + 2;
            return n;
        };
        std::string verb = cmd.substr(0, cmd.find(' '));
        std::size_t no =
            cmd.size() > verb.size() ? std::strtoul(cmd.c_str() + verb.size() + 1, nullptr, 10) : 0;
        bool valid = no >= 1 && no <= mailbox.size() && !marked.count(no - 1);
        if (verb == "USER" || verb == "PASS") return {"+OK"};
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
                r.push_back(l.starts_with('.') ? "." + l : l);
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
};

const std::vector<ModelMessage> kAll = {
    {"u1", {"Message-ID: <1@x>", "Subject: one", "", "first", ".dot"}},
    {"u2", {"Message-ID: <2@x>", "Subject: two", "", "second"}},
    {"u3", {"Message-ID: <3@x>", "Subject: three", "", "third", std::string(5000, 'z')}}};

struct Mode {
    const char* name;
    bool keep;
    bool uidl;
    Cut cut;
};

class GetMailInterruption : public GetMailTest, public ::testing::WithParamInterface<Mode> {
  protected:
    // Runs the job once against the model; false when the cut happened.
    bool RunOnce(ModelPop3& model, int cutAt) {
        bool cutDone = false;
        testing::ScriptServer server(model.Session(cutAt, GetParam().cut, cutDone));
        box.POP3PORT = server.PortText();
        GetMail(box, false);
        server.Join();
        return !cutDone;
    }
    // How often each message is in the spool; every file must be one whole message.
    std::map<std::string, int> Stored() {
        std::map<std::string, int> count;
        for (const std::string& name : Spool()) {
            EXPECT_EQ(name.size(), 9u) << name; // no temporary file is left
            bool known = false;
            for (const ModelMessage& m : kAll) {
                std::string text = "From joe@localhost\n";
                for (const std::string& l : m.lines)
                    text += l + "\n";
                if (Spooled(name) == text) {
                    ++count[m.uid];
                    known = true;
                }
            }
            EXPECT_TRUE(known) << name << ": " << Spooled(name);
        }
        return count;
    }
};

TEST_P(GetMailInterruption, EveryMessageArrivesExactlyOnce) {
    Settings().VerboseMode = false;
    box.POP3KEEP = GetParam().keep ? "J" : "N";
    int cutAt = 1;
    for (;; ++cutAt) {
        SCOPED_TRACE("cut at command " + std::to_string(cutAt));
        for (const std::string& name : Spool())
            std::filesystem::remove(SpoolDir() + name);
        std::filesystem::remove(tree / "e-mail.uid");
        std::filesystem::remove(tree / "e-mail.idx");
        ModelPop3 model{kAll, GetParam().uidl};
        bool whole = RunOnce(model, cutAt);
        // After the cut: what was stored is whole and stored once, and (in
        // delete mode) a message gone from the server is in the spool.
        std::map<std::string, int> stored = Stored();
        for (const ModelMessage& m : kAll) {
            bool onServer = false;
            for (const ModelMessage& k : model.mailbox)
                onServer = onServer || k.uid == m.uid;
            EXPECT_LE(stored[m.uid], 1) << m.uid;
            if (!onServer) {
                EXPECT_EQ(stored[m.uid], 1) << m.uid << " is lost";
            }
        }
        ASSERT_TRUE(RunOnce(model, 0));
        stored = Stored();
        for (const ModelMessage& m : kAll)
            EXPECT_EQ(stored[m.uid], 1) << m.uid;
        EXPECT_EQ(model.mailbox.size(), GetParam().keep ? kAll.size() : 0u);
        std::size_t files = Spool().size();
        ASSERT_TRUE(RunOnce(model, 0));
        EXPECT_EQ(Spool().size(), files);
        if (whole) break;
        ASSERT_LT(cutAt, 40) << "the session never ended";
    }
    // USER PASS STAT UIDL, LIST and RETR for three messages, QUIT; delete
    // mode adds three DELE; without UIDL, a TOP per message.
    int session = 4 + 3 * 2 + 1 + (GetParam().keep ? 0 : 3) + (GetParam().uidl ? 0 : 3);
    EXPECT_EQ(cutAt, session + 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, GetMailInterruption,
                         // The UIDL modes are covered by the generated break
                         // points of the fault-injection suite.
                         ::testing::Values(Mode{"MessageIdKeep", true, false, Cut::InsideReply},
                                           Mode{"MessageIdDelete", false, false, Cut::BeforeReply}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace brix
