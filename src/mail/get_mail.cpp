#include "mail/get_mail.h"

#include "clients/lookahead.h"
#include "context/abort.h"
#include "context/job.h"
#include "context/log.h"
#include "context/secret.h"
#include "context/settings.h"
#include "display/status_screen.h"
#include "filter/pho.h"
#include "mail/brix_pop3.h"
#include "mail/spool.h"
#include "message/idtext.h"
#include "message/msg.h"
#include "platform/clock.h"
#include "platform/durable.h"
#include "platform/files.h"
#include "platform/textfile.h"
#include "support/errors.h"
#include "support/text.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

namespace brix {

namespace {

// Keep mode saves its identifiers at least this often while messages arrive.
constexpr std::int64_t kSaveInterval = 10'000;
// Commands in flight at most when the server pipelines.
constexpr std::size_t kPipelineWindow = 32;

// The words of one account: word i of each list, word 1 beyond a list's end.
struct Pop3Account {
    std::string server;
    std::string port;
    std::string user;
    std::string pass;
    std::string spool;
    // "" USER and PASS, "APOP", or a SASL mechanism's name.
    std::string method;
    bool keep = false;
    SpoolAccount spoolAccount;
};

Pop3Account AccountOf(const tbrixconfig& box, int i) {
    Pop3Account a;
    a.server = ExtractWord(i, box.POP3SERVER);
    a.port = Pop3PortOf(box, i);
    a.user = ExtractWord(i, box.POP3USER);
    a.pass = ExtractWord(i, box.POP3PASS);
    a.spool = ExtractWord(i, box.POP3SPOOL);
    a.method = Pop3MethodOf(box, i);
    a.keep = IsYesWord(ExtractWord(i, box.POP3KEEP));
    a.spoolAccount.user = a.user;
    a.spoolAccount.server = a.server;
    a.spoolAccount.useEnvelope = IsYesWord(ExtractWord(i, box.POP3USEENVELOPE));
    a.spoolAccount.envelope = ExtractWord(i, box.POP3ENVELOPE);
    return a;
}

// The mail block of the status window; none in verbose mode.
tbrix_sinf* Pop3StatusBlock() {
    if (Settings().VerboseMode) return nullptr;
    tbrix_info* screen = StatusScreen();
    return screen ? &screen->Pop3Line() : nullptr;
}

// One connection to one server of the box.
class ServerFetch {
  public:
    ServerFetch(const tbrixconfig& box, int index, bool phoActive, std::uint32_t& fileCounter,
                SpoolNames& names)
        : account_(AccountOf(box, index)), passCommand_(box.POP3PASSCMD), phoActive_(phoActive),
          fileCounter_(fileCounter), names_(names), client_(account_.port),
          status_(Pop3StatusBlock()) {
        client_.Socket->Timeout = TimeoutMillis(box.POP3TIMEOUT);
        client_.SetTls(ExtractWord(index, box.POP3TLS), TlsCAFileOf(box), box.TLSFINGERPRINT);
    }

    void Run();

  private:
    void MessageLoop();
    // The commands of message msgNo as far as they are known (TLookahead):
    // TOP first where the decision needs it, LIST outside verbose mode, then
    // RETR, or DELE for a message passed over in delete mode.
    bool Plan(std::int32_t msgNo, std::vector<std::string>& commands) const;
    // Needs TOP n 0 before it is known what becomes of message n.
    bool NeedsTop() const { return byMessageId_ || phoActive_; }
    // Whether message msgNo is passed over, when known without its TOP.
    bool PassedOver(const std::string& id, const std::string& sender) const;
    void PassOver(std::int32_t msgNo, const std::string& id, bool seen, const std::string& sender);
    void Fetch(std::int32_t msgNo, const std::string& id, const std::string& sender);
    // Writes the identifier text back, ends the dialogue and commits the
    // deletions. failing: an error is on its way out of the message loop;
    // a QUIT that then fails on the lost connection does not replace it.
    void EndPart(bool failing);
    // Spool files first, then the identifiers that name them: after a power
    // loss no identifier stands for a message that is not on disk.
    void SaveIds();
    std::string StatusText(const std::string& what, std::int32_t msgNo, std::int64_t size,
                           const std::string& sender) const;

    Pop3Account account_;
    std::string passCommand_;
    bool phoActive_;
    std::uint32_t& fileCounter_;
    SpoolNames& names_;
    tbrix_pop3 client_;
    tbrix_sinf* status_;
    tbrix_msg msg_;
    tbrix_uid uids_;
    // Without a UIDL line for every message, messages are known by their
    // Message-ID and remembered in their own file.
    bool byMessageId_ = false;
    std::string idFile_;
    std::size_t idLimit_ = 0;
    IdSet ids_;
    // Spool files written since the spool was last flushed to disk.
    DataBeforeState written_;
    std::int64_t lastSave_ = 0;
    std::int32_t skipped_ = 0;
    // Identifiers of the messages marked for deletion on this connection,
    // known ones and fetched ones alike. They leave the identifier text only
    // once QUIT has committed the deletions (RFC 1939 section 6): until then
    // the messages are still on the server, and the next run must recognise
    // them instead of fetching them again.
    std::vector<std::string> deleted_;
    // A spool file of this connection could not be written or flushed.
    bool spoolFailed_ = false;
    // The message whose TOP has been read, and what becomes of it.
    std::int32_t decided_ = 0;
    bool decidedPassOver_ = false;
};

void ServerFetch::Run() {
    const RunSettings& s = Settings();
    CheckUserAbort();
    const std::string where = account_.server + ":" + account_.port;
    OpenTranscript(client_, "getmail " + where);
    client_.DeleteAfterRetr = !account_.keep;
    if (status_) {
        status_->SetServer(where);
        status_->SetInfo("connecting ...");
    }
    WriteLog("POP3: " + where, 1);
    const std::string secret = SecretOf({"POP3PASSCMD", passCommand_, account_.pass,
                                         account_.server, account_.port, account_.user});
    WatchForPlainText("getmail", client_, account_.user);
    client_.Login(account_.server, account_.user, secret, account_.method);
    CheckUserAbort();
    // RFC 2449: a server that announces PIPELINING takes the commands of the
    // next messages before it has answered this one's; one that does not
    // know CAPA is asked one command at a time, as ever.
    TStrings capabilities;
    if (client_.Capa(&capabilities) &&
        std::any_of(capabilities.begin(), capabilities.end(),
                    [](const std::string& c) { return UpperAscii(Trimmed(c)) == "PIPELINING"; }))
        client_.SetPipeline(kPipelineWindow);

    if (status_) status_->SetInfo("UIDL");
    bool listed = true;
    try {
        client_.Uidl(&uids_.Lines);
    } catch (const EAbsPOP3Client& e) {
        LogJobError("getmail", e);
        listed = false;
    }
    // The size test first: a count from STAT alone must not make us
    // allocate for messages the answer does not even list.
    byMessageId_ = !listed || uids_.Lines.size() < static_cast<std::size_t>(client_.MsgCount) ||
                   !uids_.CoversMessages(client_.MsgCount);
    idFile_ = s.QvPath + (byMessageId_ ? kIdxFileName : kUidFileName);
    // Message-IDs name no account, so nothing tells when one may go but age.
    idLimit_ = byMessageId_ ? kMailIdxLimit : 0;
    ids_ = IdSet(ReadWholeFile(idFile_));
    if (!byMessageId_) {
        // The server lists every message it holds for this account: an
        // identifier it does not list is of a message gone for good, and
        // only those leave the text, however large the mailbox.
        std::unordered_set<std::string> held;
        for (std::int32_t n = 1; n <= client_.MsgCount; ++n)
            held.insert(MailIdentifier(uids_.UidOf(n), account_.user, account_.server));
        ids_.Prune("@" + account_.user + "." + account_.server + ">", held);
    }

    RunSession(
        client_, [this] { MessageLoop(); }, [this](bool failing) { EndPart(failing); });
}

void ServerFetch::MessageLoop() {
    const std::int32_t count = client_.MsgCount;
    const std::string counts =
        std::to_string(count) + " mails, " + std::to_string(client_.MailboxSize) + " bytes";
    if (status_) {
        status_->SetInfo(counts);
        status_->SetMsgDone(0);
        status_->SetMsgTotal(count);
        status_->SetBytesDone(0);
        status_->SetBytesTotal(client_.MailboxSize);
    }
    WriteLog(counts, 1);

    lastSave_ = TheClock().MonotonicMs();
    TLookahead ahead(client_, static_cast<std::size_t>(count),
                     [this](std::size_t item, std::vector<std::string>& commands) {
                         return Plan(static_cast<std::int32_t>(item) + 1, commands);
                     });
    for (std::int32_t msgNo = 1; msgNo <= count; ++msgNo) {
        std::string id;
        std::string sender = "???";
        if (!byMessageId_) id = MailIdentifier(uids_.UidOf(msgNo), account_.user, account_.server);
        CheckUserAbort();
        ahead.Fill(static_cast<std::size_t>(msgNo) - 1);
        if (NeedsTop()) {
            client_.Top(msgNo, 0, &msg_.Lines);
            if (byMessageId_) id = MessageIdIdentifier(msg_);
            sender = msg_.HeaderValue("From:");
            msg_.Lines.clear();
            decided_ = msgNo;
            decidedPassOver_ = PassedOver(id, sender);
            ahead.Fill(static_cast<std::size_t>(msgNo) - 1);
        }
        if (PassedOver(id, sender))
            PassOver(msgNo, id, ids_.Contains(id), sender);
        else
            Fetch(msgNo, id, sender);
    }
    client_.FinishPipeline();
}

bool ServerFetch::PassedOver(const std::string& id, const std::string& sender) const {
    return ids_.Contains(id) || (phoActive_ && PhoTest(LowerAscii(sender)));
}

bool ServerFetch::Plan(std::int32_t msgNo, std::vector<std::string>& commands) const {
    const std::string n = std::to_string(msgNo);
    bool passOver;
    if (NeedsTop()) {
        commands.push_back("TOP " + n + " 0");
        if (decided_ != msgNo) return false;
        passOver = decidedPassOver_;
    } else {
        passOver =
            PassedOver(MailIdentifier(uids_.UidOf(msgNo), account_.user, account_.server), "???");
    }
    if (!Settings().VerboseMode) commands.push_back("LIST " + n);
    if (!passOver)
        commands.push_back("RETR " + n);
    else if (client_.DeleteAfterRetr)
        commands.push_back("DELE " + n);
    return true;
}

std::string ServerFetch::StatusText(const std::string& what, std::int32_t msgNo, std::int64_t size,
                                    const std::string& sender) const {
    return what + "mail #" + std::to_string(msgNo) + " (" + FormatSize(size) + ")" +
           " [From: " + sender + "]";
}

void ServerFetch::PassOver(std::int32_t msgNo, const std::string& id, bool seen,
                           const std::string& sender) {
    const bool deleting = client_.DeleteAfterRetr;
    // A filtered message is remembered like a fetched one, so that it is
    // passed over without a test next time.
    if (!deleting && !seen) ids_.Add(id);
    std::int64_t size = 0;
    if (!Settings().VerboseMode) client_.ListOneMsg(msgNo, size);
    // Known only since its RETR went out ahead (a server that lists one
    // identifier twice): its answer is read and dropped.
    if (client_.IsAhead("RETR " + std::to_string(msgNo))) client_.Retr(msgNo, [](std::string&) {});
    std::string action;
    if (deleting) {
        action = "deleting";
        client_.Dele(msgNo);
        if (seen) deleted_.push_back(id);
    } else {
        action = "skipping";
        ++skipped_;
    }
    if (status_) {
        status_->SetInfo(StatusText(action + " ", msgNo, size, sender));
        status_->SetMsgDone(msgNo);
        status_->SetBytesDone(status_->BytesDone() + size);
    }
    if (Settings().DebugLevel > 0) WriteLog(action + " mail #" + std::to_string(msgNo), 1);
}

void ServerFetch::Fetch(std::int32_t msgNo, const std::string& id, const std::string& sender) {
    const RunSettings& s = Settings();
    const bool deleting = client_.DeleteAfterRetr;
    std::int64_t size = 0;
    if (!s.VerboseMode) {
        client_.ListOneMsg(msgNo, size);
        if (status_) {
            status_->SetInfo(StatusText("", msgNo, size, sender));
            status_->SetMsgDone(msgNo);
        }
    }
    if (s.DebugLevel > 0) WriteLog("fetching mail #" + std::to_string(msgNo), 1);
    CheckUserAbort();
    // A message whose identifiers could not be saved would be fetched again
    // by every run: none is taken while there is no room for both. (In
    // verbose mode its size is not asked; a message that does not fit then
    // fails alone and leaves its room to the state.)
    const std::size_t idBytes = idLimit_ ? std::min(ids_.Size(), idLimit_) : ids_.Size();
    RequireSpace(
        {{DirName(account_.spool), static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0))},
         {DirName(idFile_), idBytes + id.size() + 1024}},
        "the next message and the mail state");

    try {
        // The message goes to its temporary file line by line as it
        // arrives; it is never held whole.
        SpoolFile file(names_, fileCounter_);
        SpoolFormer form(s.BatchedSmtp, account_.spoolAccount,
                         [&](std::string_view line) { file.Line(line); });
        client_.Retr(msgNo, [&](std::string& line) { form.Line(line); });
        form.End();
        written_.Written(file.Commit());
    } catch (const EStringListError&) {
        spoolFailed_ = true;
        throw;
    } catch (const EInOutError&) {
        spoolFailed_ = true;
        throw;
    }
    if (status_) status_->SetBytesDone(status_->BytesDone() + size);

    // Only a complete spool file makes the message known or deletable. In
    // delete mode its identifier stays until QUIT has committed the
    // deletion, so that a run that ends before QUIT does not fetch it again.
    ids_.Add(id);
    if (deleting) {
        // Sent at once; its answer is read in its turn, behind those of the
        // commands already in flight.
        client_.DeleLater(msgNo, [this, id] { deleted_.push_back(id); });
    }
    // Saved as the run goes, so that a killed run fetches again only what
    // it had not recorded yet.
    if (TheClock().MonotonicMs() - lastSave_ >= kSaveInterval) SaveIds();
    CheckUserAbort();
}

void ServerFetch::SaveIds() {
    written_.FlushThenSave([this] { WriteWholeFile(idFile_, ids_.Text(idLimit_)); });
    lastSave_ = TheClock().MonotonicMs();
}

void ServerFetch::EndPart(bool failing) {
    if (skipped_ > 0) WriteLog(std::to_string(skipped_) + " mails skipped", 1);
    msg_.Lines.clear();
    uids_.Lines.clear();
    // A full disk or a failed flush must not skip the end of the dialogue:
    // QUIT still commits the deletions of messages that are safe on disk.
    std::exception_ptr stateError;
    bool flushed = true;
    try {
        written_.Flush();
    } catch (...) {
        flushed = false;
        stateError = std::current_exception();
    }
    if (flushed) {
        try {
            WriteWholeFile(idFile_, ids_.Text(idLimit_));
        } catch (...) {
            stateError = std::current_exception();
        }
    }
    // A message whose spool file did not make it to disk stays on the server
    // whatever else this connection marked: RSET unmarks everything.
    const bool unmarked = client_.DeleteAfterRetr && (spoolFailed_ || !flushed);
    TGoodbye bye;
    try {
        if (unmarked) client_.Rset();
    } catch (const EsktException&) {
        // Without RSET a QUIT would commit the deletions: the connection is
        // only closed.
        if (!failing && !stateError) throw;
        client_.Socket->Disconnect();
    }
    bye = SayGoodbye(client_, failing || stateError);
    if (stateError) std::rethrow_exception(stateError);
    if (bye.error) std::rethrow_exception(bye.error);
    // Deletions are committed only by a QUIT that was said and answered.
    if (!bye.said || unmarked || deleted_.empty()) return;
    for (const std::string& id : deleted_)
        ids_.Remove(id);
    WriteWholeFile(idFile_, ids_.Text(idLimit_));
}

} // namespace

void GetMail(tbrixconfig& box, bool phoActive) {
    if (box.POP3ENVELOPE.empty()) box.POP3ENVELOPE = DefaultEnvelope();
    // Shared by all servers of the box, so that their files never meet.
    std::uint32_t fileCounter = 0;
    // Each spool directory is listed once per job, not once per message.
    std::map<std::string, SpoolNames> spools;
    RunJob("getmail", [&] {
        const int servers = WordCount(box.POP3SERVER);
        for (int index = 1; index <= servers; ++index) {
            const std::string prefix = ExtractWord(index, box.POP3SPOOL);
            auto it = spools.find(prefix);
            if (it == spools.end()) {
                it = spools.try_emplace(prefix, prefix).first;
                for (const std::string& name : it->second.Removed)
                    WriteLog("removed unfinished spool file " + name, 1);
            }
            ServerFetch(box, index, phoActive, fileCounter, it->second).Run();
        }
    });
}

} // namespace brix
