#include "mail/get_imap.h"

#include "clients/imap_client.h"
#include "clients/lookahead.h"
#include "context/abort.h"
#include "context/early_connection.h"
#include "context/job.h"
#include "context/log.h"
#include "context/server.h"
#include "context/settings.h"
#include "display/status_screen.h"
#include "filter/pho.h"
#include "mail/imap_state.h"
#include "mail/spool.h"
#include "message/idtext.h"
#include "message/msg.h"
#include "platform/clock.h"
#include "platform/durable.h"
#include "platform/files.h"
#include "support/errors.h"
#include "support/language.h"
#include "support/text.h"

#include <algorithm>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brix {

namespace {

constexpr const char* kJob = "getimap";
// The temporary names of this job's spool files, apart from POP3's.
constexpr const char* kImapTempSuffix = ".itm";
// The state is saved at least this often while messages arrive.
constexpr std::int64_t kSaveInterval = 10'000;
// A command's UID set stays below what any server takes on a line.
constexpr std::size_t kUidSetBytes = 4000;
// A command asks for this many messages at most, or this many bytes
// (a larger message alone).
constexpr std::size_t kRunMessages = 64;
constexpr std::size_t kRunBytes = 256u << 10;
// A header held to find a message's identifier and sender.
constexpr std::size_t kMaxHeader = 1u << 20;

struct ImapAccount {
    std::string user;
    std::string spool;
    bool keep = true;
    std::vector<std::string> folders;
    SpoolAccount spoolAccount;
};

std::string SpoolOf(const tbrixconfig& box, int index) {
    std::string spool = ExtractWord(index, box.IMAPSPOOL);
    if (spool.empty()) spool = ExtractWord(1, box.POP3SPOOL);
    return spool.empty() ? box.PPP_UUZ_SPOOL : spool;
}

ImapAccount AccountOf(const tbrixconfig& box, const ServerProfile& profile) {
    const int i = profile.index;
    ImapAccount a;
    a.user = profile.login.User;
    a.spool = SpoolOf(box, i);
    a.keep = YesNoWord("IMAPKEEP", ExtractWord(i, box.IMAPKEEP));
    a.folders = ImapFoldersOf(box, i);
    a.spoolAccount.user = a.user;
    a.spoolAccount.server = profile.host;
    a.spoolAccount.useEnvelope = YesNoWord("IMAPUSEENVELOPE", ExtractWord(i, box.IMAPUSEENVELOPE));
    a.spoolAccount.envelope = ExtractWord(i, box.IMAPENVELOPE);
    if (a.spoolAccount.envelope.empty()) a.spoolAccount.envelope = DefaultEnvelope();
    return a;
}

tbrix_sinf* MailStatusBlock() {
    if (Settings().VerboseMode) return nullptr;
    tbrix_info* screen = StatusScreen();
    return screen ? &screen->Pop3Line() : nullptr;
}

// The header of a message as it streams by: its identifier and sender.
class HeaderWatch {
  public:
    void Line(const std::string& line) {
        if (done_) return;
        if (line.empty()) {
            done_ = true;
            return;
        }
        held_ += line.size() + 2;
        if (held_ <= kMaxHeader) header_.Lines.push_back(line);
    }
    std::string Identifier() const { return MessageIdIdentifier(header_); }
    std::string Sender() const { return header_.HeaderValue("From:"); }
    void Take(TStrings& lines) {
        header_.Lines = std::move(lines);
        done_ = true;
    }

  private:
    tbrix_msg header_;
    std::size_t held_ = 0;
    bool done_ = false;
};

enum class Fate { Fetch, Skip, Delete };

struct Item {
    std::uint32_t uid = 0;
    std::int64_t size = 0;
    Fate fate = Fate::Fetch;
    std::string id;
    std::string sender = "???";
};

class ServerFetch {
  public:
    ServerFetch(const tbrixconfig& box, const ServerProfile& profile, bool phoActive,
                std::uint32_t& fileCounter, SpoolNames& names, MailJournal& journal,
                ImapState& state, TIMAPClient& client, TEarlyConnection* early,
                TEarlyConnection* next)
        : profile_(profile), account_(AccountOf(box, profile)), phoActive_(phoActive),
          fileCounter_(fileCounter), names_(names), journal_(journal), state_(state),
          client_(client), early_(early), next_(next), status_(MailStatusBlock()) {}

    void Run();

  private:
    void Folder(const std::string& name);
    // Decides every message's fate before the first is fetched.
    void Decide(ImapFolderState& folder, const TImapMailbox& box, bool validityChanged);
    class Bodies;
    // The messages stored and known to be deleted: flagged and expunged
    // once their spool files are on disk.
    void DeletePending();
    void SaveState();
    void EndPart(bool failing);
    std::string StatusText(const Item& item, std::size_t number) const;

    const ServerProfile& profile_;
    ImapAccount account_;
    bool phoActive_;
    std::uint32_t& fileCounter_;
    SpoolNames& names_;
    MailJournal& journal_;
    ImapState& state_;
    TIMAPClient& client_;
    TEarlyConnection* early_;
    TEarlyConnection* next_;
    tbrix_sinf* status_;

    // The folder selected now.
    std::string key_;
    ImapFolderState* folder_ = nullptr;
    bool deleting_ = false;
    std::vector<Item> items_;
    // The UIDs asked for whose bodies have not come yet, each with its item.
    std::unordered_map<std::uint32_t, std::size_t> wanted_;
    // Messages to flag \Deleted and expunge once their data is on disk.
    std::vector<std::uint32_t> pending_;
    std::size_t flaggedOnly_ = 0;
    DataBeforeState written_;
    bool spoolFailed_ = false;
    bool stateChanged_ = false;
    std::int64_t lastSave_ = 0;
};

// The bodies of one folder's fetch, by UID, as they arrive: each into its
// spool file, which takes its name (journaled first) once the body and
// its FETCH response are whole and the UID is one asked for and not stored
// yet; anything else is dropped.
class ServerFetch::Bodies {
  public:
    explicit Bodies(ServerFetch& f) : f_(f) {
        taker_ = {[this] { Begin(); }, [this](std::string& line) { Line(line); },
                  [this](std::uint32_t uid) { End(uid); }};
        f_.client_.Bodies = &taker_;
    }
    ~Bodies() { f_.client_.Bodies = nullptr; }
    Bodies(const Bodies&) = delete;
    Bodies& operator=(const Bodies&) = delete;

  private:
    void Begin() {
        form_.reset();
        file_.reset();
        header_ = HeaderWatch();
        const RunSettings& s = Settings();
        RequireSpace({{DirName(f_.account_.spool), 1u << 20},
                      {DirName(s.QvPath + kImapStateName), 64u * 1024}},
                     "the next message and the mail state");
        try {
            file_.emplace(f_.names_, f_.fileCounter_);
        } catch (...) {
            f_.spoolFailed_ = true;
            throw;
        }
        form_.emplace(s.BatchedSmtp, f_.account_.spoolAccount,
                      [this](std::string_view line) { file_->Line(line); });
    }
    void Line(const std::string& line) {
        if (!form_) return;
        header_.Line(line);
        try {
            form_->Line(line);
        } catch (...) {
            f_.spoolFailed_ = true;
            throw;
        }
    }
    void End(std::uint32_t uid) {
        const auto asked = f_.wanted_.find(uid);
        if (!form_ || asked == f_.wanted_.end()) {
            form_.reset();
            file_.reset();
            return;
        }
        const auto item = f_.items_.begin() + static_cast<std::ptrdiff_t>(asked->second);
        const std::string id = item->id.empty() ? header_.Identifier() : item->id;
        try {
            form_->End();
            f_.written_.Written(file_->Commit([&](const std::string& temp) {
                f_.journal_.Record(temp, false,
                                   ImapState::JournalId(f_.key_, f_.folder_->validity, uid, id));
            }));
        } catch (...) {
            f_.spoolFailed_ = true;
            throw;
        }
        form_.reset();
        file_.reset();
        f_.wanted_.erase(uid);
        ++Totals().mailsIn;
        f_.folder_->messages[uid] = id;
        f_.stateChanged_ = true;
        if (f_.deleting_) f_.pending_.push_back(uid);
        if (f_.status_) {
            const std::size_t number = static_cast<std::size_t>(item - f_.items_.begin()) + 1;
            f_.status_->SetInfo(f_.StatusText(*item, number));
            f_.status_->SetMsgDone(static_cast<std::int32_t>(number));
            f_.status_->SetBytesDone(f_.status_->BytesDone() + item->size);
        }
        if (Settings().DebugLevel > 0) WriteLog("fetched mail UID " + std::to_string(uid), 1);
    }

    ServerFetch& f_;
    TImapBodyTaker taker_;
    std::optional<SpoolFile> file_;
    std::optional<SpoolFormer> form_;
    HeaderWatch header_;
};

void ServerFetch::Run() {
    CheckUserAbort();
    if (early_)
        early_->Take(status_);
    else
        OpenConnection(client_, profile_, kJob, status_);
    // RFC 3501 section 7.1: an ALERT must reach the user.
    for (const std::string& alert : client_.Alerts)
        WriteLog("IMAP server alert: " + alert, 1);
    client_.Alerts.clear();
    RunSession(
        client_,
        [this] {
            for (const std::string& folder : account_.folders) {
                CheckUserAbort();
                try {
                    Folder(folder);
                } catch (const EAbsIMAPClient& e) {
                    // A folder that cannot be selected or listed is its own
                    // error; the others still have their turn.
                    if (client_.OutOfStep) throw;
                    LogJobError(kJob, e);
                }
            }
        },
        [this](bool failing) { EndPart(failing); });
}

void ServerFetch::Folder(const std::string& name) {
    deleting_ = !account_.keep;
    TImapMailbox box;
    if (status_) status_->SetInfo((deleting_ ? "SELECT " : "EXAMINE ") + name);
    // Keep mode changes nothing in the mailbox, not even \Seen: EXAMINE
    // opens it read-only.
    client_.Select(name, !deleting_, box);
    for (const std::string& alert : client_.Alerts)
        WriteLog("IMAP server alert: " + alert, 1);
    client_.Alerts.clear();
    if (deleting_ && box.readOnly) {
        WriteLog("folder " + name + " is read-only on the server: its messages are kept", 1);
        deleting_ = false;
    }
    key_ = ImapState::Key(account_.user, profile_.host, profile_.port, name);
    folder_ = &state_.Folder(key_);
    // RFC 3501 section 2.3.1.1: UIDs count only under their UIDVALIDITY.
    // A server that names none gives UIDs that cannot be trusted across
    // sessions: its messages are matched by Message-ID every time.
    const bool changed = folder_->validity != box.uidValidity &&
                         (folder_->validity != 0 || !folder_->messages.empty());
    // An empty folder (or a server that did not say how full it is) tells
    // nothing of what was fetched before: the state stays as it is.
    if (box.exists <= 0) {
        WriteLog(name + ": " + TrCount(0, "%s mails, %s bytes", {"0"}), 1);
        folder_ = nullptr;
        return;
    }
    std::vector<TImapMessage> listed;
    client_.List(listed);
    items_.clear();
    items_.reserve(listed.size());
    std::int64_t bytes = 0;
    for (const TImapMessage& m : listed) {
        items_.push_back({m.uid, m.size, Fate::Fetch, {}, "???"});
        bytes += m.size;
    }
    // Matched anew by Message-ID, the folder's state is only what the
    // listing shows: one shorter than the folder would lose the rest.
    if ((changed || box.uidValidity == 0) && items_.size() < static_cast<std::size_t>(box.exists))
        throw EAbsIMAPClient::CreateError(
            "List", std::to_string(items_.size()) + " messages listed of " +
                        std::to_string(box.exists) + " in " + name + "; nothing fetched");
    Decide(*folder_, box, changed || box.uidValidity == 0);
    if (changed) {
        WriteLog("UIDVALIDITY of " + name + " changed from " + std::to_string(folder_->validity) +
                     " to " + std::to_string(box.uidValidity) +
                     ": its messages were matched by Message-ID",
                 1);
    }
    folder_->validity = box.uidValidity;
    // The matched state first, before anything of the new UIDs is
    // journaled: the journal always speaks of the state's UIDVALIDITY.
    if (changed || stateChanged_) SaveState();

    const std::size_t count = items_.size();
    const std::string counts =
        name + ": " +
        TrCount(static_cast<std::int64_t>(count), "%s mails, %s bytes", {std::to_string(bytes)});
    WriteLog(counts, 1);
    if (status_) {
        status_->SetInfo(counts);
        status_->SetMsgDone(0);
        status_->SetMsgTotal(static_cast<std::int32_t>(count));
        status_->SetBytesDone(0);
        status_->SetBytesTotal(bytes);
    }
    lastSave_ = TheClock().MonotonicMs();
    std::int32_t skipped = 0;
    std::vector<std::size_t> fetching;
    for (std::size_t i = 0; i < count; ++i) {
        if (items_[i].fate == Fate::Fetch)
            fetching.push_back(i);
        else if (items_[i].fate == Fate::Delete)
            pending_.push_back(items_[i].uid);
        else
            ++skipped;
    }
    // The messages go in runs of a few, each one command: the commands go
    // ahead as far as the window allows, and the bodies are taken by their
    // UIDs in whichever answer they come.
    struct Run {
        std::string set;
        std::vector<std::size_t> items;
        std::size_t bytes = 0;
    };
    std::vector<Run> runs;
    for (std::size_t i : fetching) {
        const std::size_t size =
            static_cast<std::size_t>(std::max<std::int64_t>(items_[i].size, 0));
        if (runs.empty() || runs.back().items.size() >= kRunMessages ||
            runs.back().bytes + size > kRunBytes)
            runs.push_back({});
        runs.back().items.push_back(i);
        runs.back().bytes += size;
    }
    for (Run& run : runs) {
        std::vector<std::uint32_t> uids;
        for (std::size_t i : run.items)
            uids.push_back(items_[i].uid);
        run.set = ImapUidSets(uids, std::string::npos).front();
    }
    Bodies bodies(*this);
    TLookahead ahead(client_, runs.size(), [&](std::size_t k, std::vector<TPlanned>& commands) {
        commands.push_back({TIMAPClient::FetchCommand(runs[k].set), runs[k].bytes});
        return true;
    });
    // Every UID to fetch is wanted from the start: its body may come in
    // the answer to an earlier run's command.
    wanted_.clear();
    for (std::size_t i : fetching)
        wanted_.emplace(items_[i].uid, i);
    for (std::size_t k = 0; k < runs.size(); ++k) {
        CheckUserAbort();
        ahead.Fill(k);
        try {
            client_.FetchBodies(runs[k].set);
        } catch (const EAbsIMAPClient& e) {
            if (client_.OutOfStep) throw;
            // A run the server cannot hand over must not keep the others
            // from their turn.
            LogJobError(kJob, e);
            CheckUserAbort();
        }
        for (std::size_t i : runs[k].items) {
            if (!wanted_.erase(items_[i].uid)) continue;
            WriteLog("mail UID " + std::to_string(items_[i].uid) +
                         " was not handed over (deleted by another client?)",
                     1);
        }
        if (TheClock().MonotonicMs() - lastSave_ >= kSaveInterval) {
            SaveState();
            DeletePending();
        }
    }
    client_.FinishPipeline();
    if (skipped > 0) WriteLog(TrCount(skipped, "%s mails skipped"), 1);
    SaveState();
    DeletePending();
    client_.FinishPipeline();
    if (flaggedOnly_ > 0) {
        // RFC 3501 EXPUNGE would also remove what other clients flagged.
        WriteLog(
            name + ": the server offers no UID EXPUNGE (UIDPLUS): " + std::to_string(flaggedOnly_) +
                " stored messages are flagged \\Deleted and left on the server",
            1);
        flaggedOnly_ = 0;
    }
    SaveState();
    folder_ = nullptr;
}

void ServerFetch::Decide(ImapFolderState& folder, const TImapMailbox& box, bool byMessageId) {
    std::unordered_map<std::uint32_t, HeaderWatch> headers;
    std::vector<std::uint32_t> asked;
    for (const Item& item : items_)
        if (byMessageId || (phoActive_ && !folder.messages.count(item.uid)))
            asked.push_back(item.uid);
    if (!asked.empty()) {
        if (status_) status_->SetInfo("FETCH HEADER");
        for (const std::string& set : ImapUidSets(asked, kUidSetBytes)) {
            CheckUserAbort();
            client_.FetchHeaders(
                set, [&](std::uint32_t uid, TStrings& lines) { headers[uid].Take(lines); });
        }
    }
    for (Item& item : items_) {
        auto h = headers.find(item.uid);
        if (h != headers.end()) {
            item.id = h->second.Identifier();
            item.sender = h->second.Sender();
        }
    }
    if (byMessageId) {
        // What was fetched under the old UIDVALIDITY, by Message-ID: a
        // message that matches is known under its new UID; an identifier
        // that two messages share now makes both known, so that neither is
        // fetched twice.
        std::unordered_set<std::string> fetched;
        for (const auto& [uid, id] : folder.messages)
            if (!id.empty() && id != "-") fetched.insert(id);
        std::map<std::uint32_t, std::string> matched;
        for (const Item& item : items_)
            if (!item.id.empty() && fetched.count(item.id)) matched[item.uid] = item.id;
        folder.messages = std::move(matched);
        stateChanged_ = true;
    } else if (items_.size() >= static_cast<std::size_t>(box.exists)) {
        // A UID the server no longer lists is of a message gone for good;
        // a listing shorter than the folder tells nothing of that.
        std::unordered_set<std::uint32_t> held;
        for (const Item& item : items_)
            held.insert(item.uid);
        for (auto it = folder.messages.begin(); it != folder.messages.end();)
            if (!held.count(it->first)) {
                it = folder.messages.erase(it);
                stateChanged_ = true;
            } else {
                ++it;
            }
    }
    std::unordered_map<std::string, int> uses;
    for (const Item& item : items_)
        if (!item.id.empty()) ++uses[item.id];
    for (Item& item : items_) {
        const bool known = folder.messages.count(item.uid) > 0;
        const bool filtered = phoActive_ && !known && PhoTest(LowerAscii(item.sender));
        if (!deleting_) {
            item.fate = known || filtered ? Fate::Skip : Fate::Fetch;
            // A filtered message is remembered as passed over, so that it
            // is not tested again.
            if (filtered) {
                folder.messages[item.uid] = item.id.empty() ? "-" : item.id;
                stateChanged_ = true;
            }
        } else {
            // Deleted only when stored by this run, or known under an
            // identifier that names this message alone.
            const bool unique = !byMessageId || uses[item.id] == 1;
            item.fate = filtered || (known && unique) ? Fate::Delete
                        : known                       ? Fate::Skip
                                                      : Fate::Fetch;
        }
    }
}

std::string ServerFetch::StatusText(const Item& item, std::size_t number) const {
    return "mail #" + std::to_string(number) + " (" + FormatSize(item.size) +
           ") [From: " + item.sender + "]";
}

void ServerFetch::SaveState() {
    written_.FlushThenSave([this] {
        if (stateChanged_) WriteWholeFile(Settings().QvPath + kImapStateName, state_.Text());
        stateChanged_ = false;
        journal_.Clear();
    });
    lastSave_ = TheClock().MonotonicMs();
}

void ServerFetch::DeletePending() {
    // Only over data on disk: SaveState ran before, and a spool file that
    // could not be written keeps every message where it is.
    if (pending_.empty() || spoolFailed_ || written_.Pending() || !folder_) return;
    const bool expunge = client_.Offers("UIDPLUS");
    for (const std::string& set : ImapUidSets(pending_, kUidSetBytes)) {
        client_.StoreDeletedLater(set, true, [this](bool ok) {
            if (!ok) LogJobError(kJob, EAbsIMAPClient::CreateError("Store", client_.LastReply));
        });
        if (!expunge) continue;
        ImapFolderState* folder = folder_;
        client_.ExpungeLater(set, [this, set, folder](bool ok) {
            if (!ok) {
                LogJobError(kJob, EAbsIMAPClient::CreateError("Expunge", client_.LastReply));
                return;
            }
            // Gone from the server: nothing to remember of them.
            for (const auto& [a, b] : ImapUidRanges(set))
                for (auto it = folder->messages.lower_bound(a);
                     it != folder->messages.end() && it->first <= b;)
                    it = folder->messages.erase(it);
            stateChanged_ = true;
        });
    }
    if (!expunge) flaggedOnly_ += pending_.size();
    pending_.clear();
}

void ServerFetch::EndPart(bool failing) {
    client_.Drain(kGoodbyeWait);
    std::exception_ptr stateError;
    try {
        SaveState();
    } catch (...) {
        stateError = std::current_exception();
    }
    // Messages on disk are deleted on the way out as well, when the
    // session is still in step.
    if (!stateError && client_.CanSayGoodbye() && folder_) {
        try {
            DeletePending();
            client_.FinishPipeline();
            SaveState();
        } catch (...) {
            if (!failing && !stateError) stateError = std::current_exception();
        }
    }
    if (next_) next_->Settle();
    TGoodbye bye = SayGoodbye(client_, failing || stateError);
    if (stateError) std::rethrow_exception(stateError);
    if (bye.error) std::rethrow_exception(bye.error);
}

// Identifiers of a run killed while messages took their names.
void RecoverJournal(ImapState& state) {
    const RunSettings& s = Settings();
    const std::string journal = s.QvPath + kImapJournalName;
    const std::vector<MailJournal::Entry> entries = MailJournal::Recover(journal);
    if (!EntryExists(journal)) return;
    std::size_t taken = 0;
    for (const MailJournal::Entry& e : entries)
        taken += state.Recover(e.id) ? 1 : 0;
    if (taken > 0) {
        WriteWholeFile(s.QvPath + kImapStateName, state.Text());
        WriteLog(std::to_string(taken) + " identifiers of an interrupted run added to " +
                     kImapStateName,
                 1);
    }
    MailJournal(journal).Clear();
}

} // namespace

void GetImap(tbrixconfig& box, bool phoActive) {
    std::uint32_t fileCounter = 0;
    std::map<std::string, SpoolNames> spools;
    RunJob(kJob, [&] {
        const std::vector<ServerProfile> profiles = ServerProfiles(box, TProtocol::Imap);
        const std::string stateFile = Settings().QvPath + kImapStateName;
        ImapState state;
        state.Parse(ReadWholeFile(stateFile), stateFile);
        RecoverJournal(state);
        MailJournal journal(Settings().QvPath + kImapJournalName);
        ServersInTurn<TIMAPClient>(profiles, kJob,
                                   [&](std::size_t i, TIMAPClient& client, TEarlyConnection* early,
                                       TEarlyConnection* next) {
                                       RunJobPart(kJob, [&] {
                                           SpoolNames& names = SpoolNamesOf(
                                               spools, SpoolOf(box, static_cast<int>(i) + 1),
                                               kImapTempSuffix);
                                           ServerFetch(box, profiles[i], phoActive, fileCounter,
                                                       names, journal, state, client, early, next)
                                               .Run();
                                       });
                                       return true;
                                   });
    });
}

} // namespace brix
