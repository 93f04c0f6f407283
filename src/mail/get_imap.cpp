#include "mail/get_imap.h"

#include "clients/imap_client.h"
#include "clients/imap_names.h"
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

struct ImapConnection {
    TIMAPClient client;
    std::unique_ptr<TEarlyConnection> early;
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
    void Fetch(const Item& item);
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
    // Messages to flag \Deleted and expunge once their data is on disk.
    std::vector<std::uint32_t> pending_;
    std::size_t flaggedOnly_ = 0;
    DataBeforeState written_;
    bool spoolFailed_ = false;
    bool stateChanged_ = false;
    std::int64_t lastSave_ = 0;
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
    client_.Select(ImapMailboxName(name), !deleting_, box);
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
    std::vector<TImapMessage> listed;
    if (box.exists > 0) client_.List(listed);
    items_.clear();
    items_.reserve(listed.size());
    std::int64_t bytes = 0;
    for (const TImapMessage& m : listed) {
        items_.push_back({m.uid, m.size, Fate::Fetch, {}, "???"});
        bytes += m.size;
    }
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
        name + ": " + TrCount(static_cast<std::int64_t>(count), "%s mails, %s bytes",
                              {std::to_string(bytes)});
    WriteLog(counts, 1);
    if (status_) {
        status_->SetInfo(counts);
        status_->SetMsgDone(0);
        status_->SetMsgTotal(static_cast<std::int32_t>(count));
        status_->SetBytesDone(0);
        status_->SetBytesTotal(bytes);
    }
    lastSave_ = TheClock().MonotonicMs();
    std::vector<std::size_t> fetching;
    for (std::size_t i = 0; i < count; ++i) {
        if (items_[i].fate == Fate::Fetch)
            fetching.push_back(i);
        else if (items_[i].fate == Fate::Delete)
            pending_.push_back(items_[i].uid);
    }
    TLookahead ahead(client_, fetching.size(), [&](std::size_t k, std::vector<TPlanned>& commands) {
        const Item& item = items_[fetching[k]];
        commands.push_back({TIMAPClient::FetchCommand(item.uid),
                            static_cast<std::size_t>(std::max<std::int64_t>(item.size, 0))});
        return true;
    });
    std::int32_t skipped = 0;
    for (const Item& item : items_)
        skipped += item.fate == Fate::Skip ? 1 : 0;
    for (std::size_t k = 0; k < fetching.size(); ++k) {
        CheckUserAbort();
        ahead.Fill(k);
        const Item& item = items_[fetching[k]];
        if (status_) {
            status_->SetInfo(StatusText(item, fetching[k] + 1));
            status_->SetMsgDone(static_cast<std::int32_t>(fetching[k] + 1));
        }
        try {
            Fetch(item);
        } catch (const EAbsIMAPClient& e) {
            if (client_.OutOfStep) throw;
            // One message the server cannot hand over must not keep the
            // others from their turn.
            LogJobError(kJob, e);
            CheckUserAbort();
        }
        if (status_) status_->SetBytesDone(status_->BytesDone() + item.size);
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
        WriteLog(name + ": the server offers no UID EXPUNGE (UIDPLUS): " +
                     std::to_string(flaggedOnly_) +
                     " stored messages are flagged \\Deleted and left on the server",
                 1);
        flaggedOnly_ = 0;
    }
    SaveState();
    folder_ = nullptr;
}

void ServerFetch::Decide(ImapFolderState& folder, const TImapMailbox& box, bool byMessageId) {
    (void)box;
    std::unordered_map<std::uint32_t, HeaderWatch> headers;
    std::vector<std::uint32_t> asked;
    for (const Item& item : items_)
        if (byMessageId || (phoActive_ && !folder.messages.count(item.uid)))
            asked.push_back(item.uid);
    if (!asked.empty()) {
        if (status_) status_->SetInfo("FETCH HEADER");
        for (const std::string& set : ImapUidSets(asked, kUidSetBytes)) {
            CheckUserAbort();
            client_.FetchHeaders(set, [&](std::uint32_t uid, TStrings& lines) {
                headers[uid].Take(lines);
            });
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
    } else {
        // A UID the server no longer lists is of a message gone for good.
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
    return "mail #" + std::to_string(number) + " (" + FormatSize(item.size) + ") [From: " +
           item.sender + "]";
}

void ServerFetch::Fetch(const Item& item) {
    const RunSettings& s = Settings();
    if (s.DebugLevel > 0) WriteLog("fetching mail UID " + std::to_string(item.uid), 1);
    CheckUserAbort();
    const std::string stateFile = s.QvPath + kImapStateName;
    RequireSpace({{DirName(account_.spool),
                   static_cast<std::uint64_t>(std::max<std::int64_t>(item.size, 0))},
                  {DirName(stateFile), 64u * 1024}},
                 "the next message and the mail state");
    std::optional<SpoolFile> file;
    std::optional<SpoolFormer> form;
    HeaderWatch header;
    bool stored = false;
    TImapBodyTaker taker{[&] {
                             // A second body in one answer is not taken.
                             if (file || stored) return;
                             file.emplace(names_, fileCounter_);
                             form.emplace(s.BatchedSmtp, account_.spoolAccount,
                                          [&](std::string_view line) { file->Line(line); });
                         },
                         [&](std::string& line) {
                             if (!form || stored) return;
                             header.Line(line);
                             form->Line(line);
                         },
                         [&](std::uint32_t uid) {
                             // A body under another UID is not this message.
                             if (uid == item.uid && file)
                                 stored = true;
                             else if (!stored) {
                                 form.reset();
                                 file.reset();
                             }
                         }};
    try {
        const bool came = client_.FetchBody(item.uid, taker);
        if (!came || !stored) {
            WriteLog("mail UID " + std::to_string(item.uid) +
                         " was not handed over (deleted by another client?)",
                     1);
            return;
        }
        form->End();
        const std::string id = item.id.empty() ? header.Identifier() : item.id;
        written_.Written(file->Commit([&](const std::string& temp) {
            journal_.Record(temp, false, ImapState::JournalId(key_, folder_->validity, item.uid, id));
        }));
        ++Totals().mailsIn;
        folder_->messages[item.uid] = id;
        stateChanged_ = true;
    } catch (const EStringListError&) {
        spoolFailed_ = true;
        throw;
    } catch (const EInOutError&) {
        spoolFailed_ = true;
        throw;
    }
    if (deleting_) pending_.push_back(item.uid);
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
            if (!ok)
                LogJobError(kJob, EAbsIMAPClient::CreateError("Store", client_.LastReply));
        });
        if (!expunge) continue;
        ImapFolderState* folder = folder_;
        client_.ExpungeLater(set, [this, set, folder](bool ok) {
            if (!ok) {
                LogJobError(kJob, EAbsIMAPClient::CreateError("Expunge", client_.LastReply));
                return;
            }
            // Gone from the server: nothing to remember of them.
            for (std::size_t start = 0; start < set.size();) {
                std::size_t end = set.find(',', start);
                if (end == std::string::npos) end = set.size();
                const std::string range = set.substr(start, end - start);
                start = end + 1;
                const std::size_t colon = range.find(':');
                std::int64_t a = 0, b = 0;
                LeadingInt64(range.substr(0, colon), a);
                b = a;
                if (colon != std::string::npos) LeadingInt64(range.substr(colon + 1), b);
                for (auto it = folder->messages.lower_bound(static_cast<std::uint32_t>(a));
                     it != folder->messages.end() && it->first <= static_cast<std::uint32_t>(b);)
                    it = folder->messages.erase(it);
            }
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
        const int servers = static_cast<int>(profiles.size());
        std::unique_ptr<ImapConnection> current, next;
        const TStopOpenings<ImapConnection> stop(current, next);
        for (int index = 1; index <= servers; ++index) {
            if (next && next->early) next->early->Settle();
            current = next ? std::move(next) : std::make_unique<ImapConnection>();
            if (index < servers && !SameServer(profiles[index], profiles[index - 1])) {
                next = std::make_unique<ImapConnection>();
                next->early = std::make_unique<TEarlyConnection>(next->client, profiles[index], kJob);
                if (!next->early->Started()) next->early.reset();
            }
            RunJobPart(kJob, [&] {
                const std::string prefix = SpoolOf(box, index);
                auto it = spools.find(prefix);
                if (it == spools.end()) {
                    it = spools.try_emplace(prefix, prefix, kImapTempSuffix).first;
                    for (const std::string& name : it->second.Removed)
                        WriteLog("removed unfinished spool file " + name, 1);
                }
                ServerFetch(box, profiles[index - 1], phoActive, fileCounter, it->second, journal,
                            state, current->client, current->early.get(),
                            next ? next->early.get() : nullptr)
                    .Run();
            });
        }
    });
}

} // namespace brix
