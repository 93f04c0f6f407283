#include "mail/get_mail.h"

#include "clients/lookahead.h"
#include "clients/pop3_client.h"
#include "context/abort.h"
#include "context/early_connection.h"
#include "context/job.h"
#include "context/log.h"
#include "context/server.h"
#include "context/settings.h"
#include "display/status_screen.h"
#include "filter/pho.h"
#include "mail/spool.h"
#include "message/idtext.h"
#include "message/msg.h"
#include "platform/clock.h"
#include "platform/durable.h"
#include "platform/files.h"
#include "platform/textfile.h"
#include "support/errors.h"
#include "support/language.h"
#include "support/text.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brix {

namespace {

// Keep mode saves its identifiers at least this often while messages arrive.
constexpr std::int64_t kSaveInterval = 10'000;

// What one account's messages become: word i of each list, word 1 beyond a
// list's end; where the server is and how to log in are its profile's.
struct Pop3Account {
    std::string server;
    std::string port;
    std::string user;
    std::string spool;
    bool keep = false;
    SpoolAccount spoolAccount;
};

Pop3Account AccountOf(const tbrixconfig& box, const ServerProfile& profile) {
    const int i = profile.index;
    Pop3Account a;
    a.server = profile.host;
    a.port = profile.port;
    a.user = profile.login.User;
    a.spool = ExtractWord(i, box.POP3SPOOL);
    a.keep = YesNoWord("POP3KEEP", ExtractWord(i, box.POP3KEEP));
    a.spoolAccount.user = a.user;
    a.spoolAccount.server = a.server;
    a.spoolAccount.useEnvelope = YesNoWord("POP3USEENVELOPE", ExtractWord(i, box.POP3USEENVELOPE));
    a.spoolAccount.envelope = ExtractWord(i, box.POP3ENVELOPE);
    return a;
}

// The mail block of the status window; none in verbose mode.
tbrix_sinf* Pop3StatusBlock() {
    if (Settings().VerboseMode) return nullptr;
    tbrix_info* screen = StatusScreen();
    return screen ? &screen->Pop3Line() : nullptr;
}

// What becomes of a message, decided for all of them before the first is
// fetched: an identifier (and so whether the message is known) can depend
// on every other message of the listing.
enum class Fate {
    Fetch,  // stored, then in delete mode deleted
    Skip,   // kept on the server, not fetched (keep mode)
    Delete, // deleted without being fetched (known, or the sender filter)
    Leave,  // could not be told apart (its TOP was refused): left alone
};

struct MailItem {
    std::string id;
    // Known by its Message-ID (e-mail.idx): no UIDL identifier, or one that
    // the server gave to another message too.
    bool byMessageId = false;
    // That UIDL identifier, as the account's identifier, when shared.
    std::string sharedUid;
    std::string sender = "???";
    Fate fate = Fate::Fetch;
    // Its spool file is complete (this run), or it was known before.
    bool had = false;
};

// One connection to one server of the box.
class ServerFetch {
  public:
    // early: this server's connection, opened ahead of its turn (null: it
    // is opened now); next: the next server's, on its way.
    ServerFetch(const tbrixconfig& box, const ServerProfile& profile, bool phoActive,
                std::uint32_t& fileCounter, SpoolNames& names, MailJournal& journal,
                TPOP3Client& client, TEarlyConnection* early, TEarlyConnection* next)
        : profile_(profile), account_(AccountOf(box, profile)), phoActive_(phoActive),
          fileCounter_(fileCounter), names_(names), journal_(journal), client_(client),
          early_(early), next_(next), status_(Pop3StatusBlock()) {}

    void Run();

  private:
    // UIDL, and the identifier of each message that has a unique one.
    void ListIdentifiers();
    // TOP n 0 of the messages whose Message-ID or sender decides.
    void ReadHeaders();
    void Decide();
    void MessageLoop();
    // Once every message of a shared UIDL identifier is stored, the
    // identifier itself is remembered: when the server later holds just one
    // of them (the others deleted), it lists that one by the identifier
    // alone, and it must still be known.
    void RecordSharedUids();
    // The commands of message msgNo (TLookahead): LIST outside verbose mode,
    // then RETR, or DELE for a message deleted unfetched (with its judge,
    // which records the deletion in its turn).
    void Plan(std::int32_t msgNo, std::vector<TPlanned>& commands);
    // listed: its LIST is answered, so its DELE may go.
    void PassOver(std::int32_t msgNo, const std::function<void()>& listed);
    void Fetch(std::int32_t msgNo);
    // The answer to a message's DELE: the deletion counts once QUIT has
    // committed it; a refusal is that message's error, and it stays.
    void Deleted(const MailItem& m, bool accepted);
    // A command of one message refused: that message's error; it stays on
    // the server as it is, and the next message is taken.
    void MessageRefused(const EAbsPOP3Client& e);
    // Writes the identifier texts back, ends the dialogue and commits the
    // deletions. failing: an error is on its way out of the message loop;
    // a QUIT that then fails on the lost connection does not replace it.
    void EndPart(bool failing);
    // Spool files first, then the identifiers that name them: after a power
    // loss no identifier stands for a message that is not on disk.
    void SaveIds();
    void WriteIds();
    IdSet& SetOf(const MailItem& m) { return m.byMessageId ? idx_ : uid_; }
    std::string StatusText(const std::string& what, std::int32_t msgNo, std::int64_t size,
                           const std::string& sender) const;

    const ServerProfile& profile_;
    Pop3Account account_;
    bool phoActive_;
    std::uint32_t& fileCounter_;
    SpoolNames& names_;
    MailJournal& journal_;
    TPOP3Client& client_;
    TEarlyConnection* early_;
    TEarlyConnection* next_;
    tbrix_sinf* status_;
    tbrix_msg msg_;
    tbrix_uid uids_;
    std::vector<MailItem> items_;
    // e-mail.uid (UIDL identifiers) and e-mail.idx (Message-IDs, for
    // servers without a usable UIDL answer); each is written back only when
    // this connection changed it.
    std::string uidFile_, idxFile_;
    IdSet uid_, idx_;
    bool uidChanged_ = false, idxChanged_ = false;
    // Spool files written since the spool was last flushed to disk.
    DataBeforeState written_;
    std::int64_t lastSave_ = 0;
    std::int32_t skipped_ = 0;
    // Identifiers of the messages marked for deletion on this connection,
    // known ones and fetched ones alike. They leave the identifier text only
    // once QUIT has committed the deletions (RFC 1939 section 6): until then
    // the messages are still on the server, and the next run must recognise
    // them instead of fetching them again.
    std::vector<const MailItem*> deleted_;
    // Shared UIDL identifiers recorded by RecordSharedUids.
    std::vector<std::string> sharedRecorded_;
    // A spool file of this connection could not be written or flushed.
    bool spoolFailed_ = false;
};

void ServerFetch::Run() {
    const RunSettings& s = Settings();
    CheckUserAbort();
    client_.DeleteAfterRetr = !account_.keep;
    if (early_)
        early_->Take(status_);
    else
        OpenConnection(client_, profile_, "getmail", status_);
    uidFile_ = s.QvPath + kUidFileName;
    idxFile_ = s.QvPath + kIdxFileName;

    RunSession(
        client_,
        [this] {
            ListIdentifiers();
            ReadHeaders();
            Decide();
            MessageLoop();
        },
        [this](bool failing) { EndPart(failing); });
}

void ServerFetch::ListIdentifiers() {
    const std::int32_t count = client_.MsgCount;
    items_.assign(static_cast<std::size_t>(std::max(count, 0)), MailItem{});
    if (status_) status_->SetInfo("UIDL");
    bool listed = true;
    try {
        client_.Uidl(&uids_.Lines);
    } catch (const EAbsPOP3Client& e) {
        if (client_.OutOfStep) throw;
        // RFC 1939 makes UIDL optional: such a server is no failure.
        WriteLog("UIDL refused (" + client_.LastReply + "): messages are known by their Message-ID",
                 1);
        listed = false;
    }
    std::int32_t duplicates = 0;
    std::vector<std::string> listedUids(items_.size());
    const std::vector<std::string> uids = listed ? uids_.UniqueUids(count, duplicates, &listedUids)
                                                 : std::vector<std::string>(items_.size());
    if (duplicates > 0)
        WriteLog(std::to_string(duplicates) +
                     " messages share their UIDL identifier with another: they are known by "
                     "their Message-ID",
                 1);
    std::int32_t missing = 0;
    std::unordered_set<std::string> held;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const std::string& listedUid = listedUids[i];
        if (!listedUid.empty())
            held.insert(MailIdentifier(listedUid, account_.user, account_.server, account_.port));
        if (uids[i].empty()) {
            items_[i].byMessageId = true;
            if (!listedUid.empty())
                items_[i].sharedUid =
                    MailIdentifier(listedUid, account_.user, account_.server, account_.port);
            missing += listed ? 1 : 0;
            continue;
        }
        items_[i].id = MailIdentifier(uids[i], account_.user, account_.server, account_.port);
    }
    uids_.Lines.clear();
    uid_ = IdSet(ReadWholeFile(uidFile_));
    // The server lists every message it holds for this account: an
    // identifier it does not list is of a message gone for good, and only
    // those leave the text, however large the mailbox. A listing with gaps
    // tells nothing of that.
    if (listed && missing == duplicates) {
        const std::size_t before = uid_.Size();
        uid_.Prune(AccountSuffix(account_.user, account_.server, account_.port), held);
        uidChanged_ = uid_.Size() != before;
    }
    // Identifiers written before the port counted name no port: they still
    // make their messages known, under the new form from now on.
    if (!IsPop3DefaultPort(account_.port))
        for (std::size_t i = 0; i < items_.size(); ++i)
            if (!uids[i].empty() && !uid_.Contains(items_[i].id) &&
                uid_.Contains(MailIdentifier(uids[i], account_.user, account_.server)))
                uidChanged_ |= uid_.Add(items_[i].id);
}

void ServerFetch::ReadHeaders() {
    std::vector<std::int32_t> asked;
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].byMessageId || phoActive_) asked.push_back(static_cast<std::int32_t>(i) + 1);
    if (asked.empty()) return;
    if (std::any_of(items_.begin(), items_.end(),
                    [](const MailItem& m) { return m.byMessageId; })) {
        idx_ = IdSet(ReadWholeFile(idxFile_));
    }
    if (status_) status_->SetInfo("TOP");
    TLookahead ahead(client_, asked.size(), [&](std::size_t k, std::vector<TPlanned>& commands) {
        commands.push_back({"TOP " + std::to_string(asked[k]) + " 0"});
        return true;
    });
    for (std::size_t k = 0; k < asked.size(); ++k) {
        CheckUserAbort();
        ahead.Fill(k);
        MailItem& m = items_[static_cast<std::size_t>(asked[k]) - 1];
        msg_.Lines.clear();
        try {
            client_.Top(asked[k], 0, &msg_.Lines);
        } catch (const EAbsPOP3Client& e) {
            if (client_.OutOfStep) throw;
            MessageRefused(e);
            m.fate = Fate::Leave;
            continue;
        }
        if (m.byMessageId) m.id = MessageIdIdentifier(msg_);
        m.sender = msg_.HeaderValue("From:");
        msg_.Lines.clear();
    }
}

void ServerFetch::Decide() {
    // How often each identifier stands in this listing: a Message-ID can
    // stand for two messages (delivered twice, or one forged), and neither
    // may then be deleted for the other's sake.
    std::unordered_map<std::string, int> uses;
    for (const MailItem& m : items_)
        if (m.fate != Fate::Leave) ++uses[m.id];
    std::unordered_set<std::string> taken;
    for (MailItem& m : items_) {
        if (m.fate == Fate::Leave) continue;
        const bool known = SetOf(m).Contains(m.id);
        m.had = known;
        const bool filtered = phoActive_ && PhoTest(LowerAscii(m.sender));
        const bool first = taken.insert(m.id).second;
        if (!client_.DeleteAfterRetr) {
            // Kept on the server: a message is fetched once, its twin with
            // the same identifier stays where it is.
            m.fate = known || filtered || !first ? Fate::Skip : Fate::Fetch;
            // A filtered message is remembered like a fetched one, so that it
            // is passed over without a test next time.
            if (filtered && !known)
                (m.byMessageId ? idxChanged_ : uidChanged_) |= SetOf(m).Add(m.id);
        } else {
            // Deleted only when stored by this run, or by an earlier one under
            // an identifier that names this message alone.
            m.fate = filtered || (known && uses[m.id] == 1) ? Fate::Delete : Fate::Fetch;
        }
    }
}

void ServerFetch::MessageLoop() {
    const std::int32_t count = client_.MsgCount;
    const std::string counts =
        TrCount(count, "%s mails, %s bytes", {std::to_string(client_.MailboxSize)});
    if (status_) {
        status_->SetInfo(counts);
        status_->SetMsgDone(0);
        status_->SetMsgTotal(count);
        status_->SetBytesDone(0);
        status_->SetBytesTotal(client_.MailboxSize);
    }
    WriteLog(counts, 1);

    lastSave_ = TheClock().MonotonicMs();
    // Every message's commands are known now: they go out as far ahead as
    // the window allows.
    TLookahead ahead(client_, items_.size(),
                     [this](std::size_t item, std::vector<TPlanned>& commands) {
                         Plan(static_cast<std::int32_t>(item) + 1, commands);
                         return true;
                     });
    for (std::int32_t msgNo = 1; msgNo <= count; ++msgNo) {
        CheckUserAbort();
        const std::size_t item = static_cast<std::size_t>(msgNo) - 1;
        ahead.Fill(item);
        const MailItem& m = items_[item];
        try {
            if (m.fate == Fate::Fetch)
                Fetch(msgNo);
            else if (m.fate != Fate::Leave)
                PassOver(msgNo, [&] { ahead.Fill(item); });
        } catch (const EAbsPOP3Client& e) {
            if (client_.OutOfStep) throw;
            MessageRefused(e);
        }
    }
    client_.FinishPipeline();
    RecordSharedUids();
}

void ServerFetch::RecordSharedUids() {
    std::unordered_map<std::string, bool> complete;
    for (const MailItem& m : items_)
        if (!m.sharedUid.empty()) {
            auto [it, fresh] = complete.try_emplace(m.sharedUid, true);
            it->second = it->second && m.had;
        }
    for (const auto& [uid, all] : complete)
        if (all) {
            uidChanged_ |= uid_.Add(uid);
            sharedRecorded_.push_back(uid);
        }
}

void ServerFetch::MessageRefused(const EAbsPOP3Client& e) {
    LogJobError("getmail", e);
    // One message the server cannot hand over must not keep the others
    // (and the deletions of those stored) from their turn.
    CheckUserAbort();
}

void ServerFetch::Plan(std::int32_t msgNo, std::vector<TPlanned>& commands) {
    const MailItem& m = items_[static_cast<std::size_t>(msgNo) - 1];
    if (m.fate == Fate::Leave) return;
    const std::string n = std::to_string(msgNo);
    if (!Settings().VerboseMode) commands.push_back({"LIST " + n});
    // A message's size is known only from its LIST, answered after its RETR
    // went: the window counts it as the answers read so far.
    if (m.fate == Fate::Fetch)
        commands.push_back({"RETR " + n});
    else if (m.fate == Fate::Delete)
        commands.push_back({"DELE " + n, 0, client_.DeleJudge([this, &m](bool accepted) {
                                Deleted(m, accepted);
                            })});
}

void ServerFetch::Deleted(const MailItem& m, bool accepted) {
    if (accepted) return deleted_.push_back(&m);
    LogJobError("getmail", EAbsPOP3Client::CreateError("Dele", client_.LastReply));
}

std::string ServerFetch::StatusText(const std::string& what, std::int32_t msgNo, std::int64_t size,
                                    const std::string& sender) const {
    return what + "mail #" + std::to_string(msgNo) + " (" + FormatSize(size) + ")" +
           " [From: " + sender + "]";
}

void ServerFetch::PassOver(std::int32_t msgNo, const std::function<void()>& listed) {
    const MailItem& m = items_[static_cast<std::size_t>(msgNo) - 1];
    const bool deleting = m.fate == Fate::Delete;
    std::int64_t size = 0;
    if (!Settings().VerboseMode) client_.ListOneMsg(msgNo, size);
    std::string action;
    if (deleting) {
        // Its DELE goes now unless it went ahead; its judge records it.
        action = "deleting";
        listed();
    } else {
        action = "skipping";
        ++skipped_;
    }
    if (status_) {
        status_->SetInfo(StatusText(action + " ", msgNo, size, m.sender));
        status_->SetMsgDone(msgNo);
        status_->SetBytesDone(status_->BytesDone() + size);
    }
    if (Settings().DebugLevel > 0) WriteLog(action + " mail #" + std::to_string(msgNo), 1);
}

void ServerFetch::Fetch(std::int32_t msgNo) {
    const RunSettings& s = Settings();
    const MailItem& m = items_[static_cast<std::size_t>(msgNo) - 1];
    std::int64_t size = 0;
    if (!s.VerboseMode) {
        client_.ListOneMsg(msgNo, size);
        if (status_) {
            status_->SetInfo(StatusText("", msgNo, size, m.sender));
            status_->SetMsgDone(msgNo);
        }
    }
    if (s.DebugLevel > 0) WriteLog("fetching mail #" + std::to_string(msgNo), 1);
    CheckUserAbort();
    // A message whose identifiers could not be saved would be fetched again
    // by every run: none is taken while there is no room for both. (In
    // verbose mode its size is not asked; a message that does not fit then
    // fails alone and leaves its room to the state.)
    const std::size_t idBytes = uid_.Size() + std::min(idx_.Size(), kMailIdxLimit);
    RequireSpace(
        {{DirName(account_.spool), static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0))},
         {DirName(uidFile_), idBytes + m.id.size() + 1024}},
        "the next message and the mail state");

    try {
        // The message goes to its temporary file line by line as it
        // arrives; it is never held whole.
        SpoolFile file(names_, fileCounter_);
        SpoolFormer form(s.BatchedSmtp, account_.spoolAccount,
                         [&](std::string_view line) { file.Line(line); });
        client_.Retr(msgNo, [&](std::string& line) { form.Line(line); });
        form.End();
        // Journaled before it takes its name: killed at any moment from here
        // on, the run leaves it either unknown and not in the spool, or
        // known.
        written_.Written(file.Commit(
            [&](const std::string& temp) { journal_.Record(temp, m.byMessageId, m.id); }));
        ++Totals().mailsIn;
        items_[static_cast<std::size_t>(msgNo) - 1].had = true;
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
    (m.byMessageId ? idxChanged_ : uidChanged_) |= SetOf(m).Add(m.id);
    if (client_.DeleteAfterRetr) {
        // Sent at once; its answer is read in its turn, behind those of the
        // commands already in flight.
        client_.DeleLater(msgNo, [this, &m](bool accepted) { Deleted(m, accepted); });
    }
    // Saved as the run goes, so that the journal stays short.
    if (TheClock().MonotonicMs() - lastSave_ >= kSaveInterval) SaveIds();
    CheckUserAbort();
}

void ServerFetch::WriteIds() {
    if (uidChanged_) WriteWholeFile(uidFile_, uid_.Text());
    // Message-IDs name no account, so nothing tells when one may go but age.
    if (idxChanged_) WriteWholeFile(idxFile_, idx_.Text(kMailIdxLimit));
    uidChanged_ = idxChanged_ = false;
    journal_.Clear();
}

void ServerFetch::SaveIds() {
    written_.FlushThenSave([this] { WriteIds(); });
    lastSave_ = TheClock().MonotonicMs();
}

void ServerFetch::EndPart(bool failing) {
    // The answers still in flight first (an error or an abort came between
    // them): RSET and QUIT must be read in step.
    client_.Drain(kGoodbyeWait);
    if (skipped_ > 0) WriteLog(TrCount(skipped_, "%s mails skipped"), 1);
    msg_.Lines.clear();
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
            WriteIds();
        } catch (...) {
            stateError = std::current_exception();
        }
    }
    // A message whose spool file did not make it to disk stays on the server
    // whatever else this connection marked: RSET unmarks everything.
    const bool unmarked = client_.DeleteAfterRetr && (spoolFailed_ || !flushed);
    // The next server's opening has ended before this goodbye holds back
    // the abort check that its waits read.
    if (next_) next_->Settle();
    TGoodbye bye;
    try {
        if (unmarked && client_.CanSayGoodbye()) client_.Rset();
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
    for (const MailItem* m : deleted_) {
        (m->byMessageId ? idxChanged_ : uidChanged_) = true;
        SetOf(*m).Remove(m->id);
    }
    // A shared identifier whose messages all left has nothing to tell.
    std::unordered_set<std::string> kept;
    const std::unordered_set<const MailItem*> gone(deleted_.begin(), deleted_.end());
    for (const MailItem& m : items_)
        if (!m.sharedUid.empty() && !gone.count(&m)) kept.insert(m.sharedUid);
    for (const std::string& uid : sharedRecorded_) {
        if (kept.count(uid)) continue;
        uid_.Remove(uid);
        uidChanged_ = true;
    }
    WriteIds();
}

// A run killed in the middle of a fetch leaves identifiers in the journal
// that its identifier files do not hold yet; they are taken in before any
// spool file is looked at (the spool listing removes the temporary files
// that tell which messages made it).
void RecoverJournal() {
    const RunSettings& s = Settings();
    const std::string journal = s.QvPath + kMailJournalName;
    const std::vector<MailJournal::Entry> entries = MailJournal::Recover(journal);
    if (!EntryExists(journal)) return;
    if (!entries.empty()) {
        IdSet uids(ReadWholeFile(s.QvPath + kUidFileName));
        IdSet idx(ReadWholeFile(s.QvPath + kIdxFileName));
        bool uidChanged = false, idxChanged = false;
        for (const MailJournal::Entry& e : entries)
            (e.byMessageId ? idxChanged : uidChanged) |= (e.byMessageId ? idx : uids).Add(e.id);
        if (uidChanged) WriteWholeFile(s.QvPath + kUidFileName, uids.Text());
        if (idxChanged) WriteWholeFile(s.QvPath + kIdxFileName, idx.Text(kMailIdxLimit));
        WriteLog(std::to_string(entries.size()) + " identifiers of an interrupted run added to " +
                     kUidFileName + " and " + kIdxFileName,
                 1);
    }
    MailJournal(journal).Clear();
}

} // namespace

void GetMail(tbrixconfig& box, bool phoActive) {
    if (box.POP3ENVELOPE.empty()) box.POP3ENVELOPE = DefaultEnvelope();
    // Shared by all servers of the box, so that their files never meet.
    std::uint32_t fileCounter = 0;
    // Each spool directory is listed once per job, not once per message.
    std::map<std::string, SpoolNames> spools;
    RunJob("getmail", [&] {
        // Every account's settings before any server is asked: a word that
        // cannot be used stops the job before anything is fetched or deleted.
        const std::vector<ServerProfile> profiles = ServerProfiles(box, TProtocol::Pop3);
        RecoverJournal();
        MailJournal journal(Settings().QvPath + kMailJournalName);
        // The next server's connection is opened while this one's messages
        // arrive; it shows nothing before its turn, so that the spool, the
        // state and the logs are those of one server after the other.
        ServersInTurn<TPOP3Client>(
            profiles, "getmail",
            [&](std::size_t i, TPOP3Client& client, TEarlyConnection* early,
                TEarlyConnection* next) {
                // Every server of the list has its turn: one that cannot be
                // reached or refuses us is its own error line, not the others'.
                RunJobPart("getmail", [&] {
                    SpoolNames& names =
                        SpoolNamesOf(spools, ExtractWord(static_cast<int>(i) + 1, box.POP3SPOOL));
                    ServerFetch(box, profiles[i], phoActive, fileCounter, names, journal, client,
                                early, next)
                        .Run();
                });
                return true;
            });
    });
}

} // namespace brix
