#include "news/get_news.h"

#include "clients/lookahead.h"
#include "clients/nntp_client.h"
#include "context/abort.h"
#include "context/job.h"
#include "context/log.h"
#include "context/server.h"
#include "context/settings.h"
#include "display/status_screen.h"
#include "filter/pho.h"
#include "message/msg.h"
#include "news/batch.h"
#include "news/dupes.h"
#include "news/group_pointers.h"
#include "news/overview.h"
#include "news/request_job.h"
#include "platform/clock.h"
#include "platform/durable.h"
#include "platform/files.h"
#include "platform/textfile.h"
#include "support/language.h"
#include "support/text.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

namespace brix {

NewsRange GroupRange(std::int64_t p, std::int64_t last, std::int64_t newMax, bool rescan) {
    if (p < 0) p = last + p;
    if (p < 0) p = 0;
    if (p > last) p = last;
    if (newMax < 0) newMax = 0;
    if (last - p > newMax) p = last - newMax;
    NewsRange r;
    r.fetch = p < last && !rescan;
    r.pointer = r.fetch ? p : last;
    return r;
}

bool& NewsGroupsAhead() {
    static bool ahead = true;
    return ahead;
}

namespace {

// State is saved at least this often while articles arrive, so that a killed
// run repeats at most these seconds of work.
constexpr std::int64_t kSaveInterval = 10'000;
// Overview lines that cannot be read are logged one by one up to this many
// per group, then counted in one line: a hostile overview of a few KiB of
// deflate must not write megabytes of log.
constexpr std::size_t kUnreadableLogged = 5;

tbrix_ninf* NewsStatusBlock() {
    if (Settings().VerboseMode) return nullptr;
    tbrix_info* screen = StatusScreen();
    return screen ? &screen->NewsLines(1) : nullptr;
}

// XOVER refusals that only mean "no overview here" (RFC 2980 section 2.8,
// RFC 3977 section 3.2.1); any other refusal concerns the session.
bool OverviewUnavailable(std::int32_t code) {
    return code == 500 || code == 501 || code == 420 || code == 423;
}

// The articles of one group to walk: the overview's within (from, last],
// in rising order, or every number of the range when there is no overview.
struct ArticleWalk {
    std::int64_t from = 0;
    std::int64_t last = 0;
    std::vector<std::string> overview;
    bool withOverview = false;
    std::vector<std::pair<std::int64_t, std::size_t>> numbers; // number, overview line
    std::vector<std::string> unreadable;                       // up to kUnreadableLogged
    std::size_t moreUnreadable = 0;

    std::size_t Items() const {
        return withOverview ? numbers.size() : static_cast<std::size_t>(last - from);
    }
    std::int64_t NumberOf(std::size_t k) const {
        return withOverview ? numbers[k].first : from + 1 + static_cast<std::int64_t>(k);
    }
    const std::string* OverviewOf(std::size_t k) const {
        return withOverview ? &overview[numbers[k].second] : nullptr;
    }
};

// exact: the overview was asked for (from, last] alone, so that a line
// outside it cannot be read. Otherwise it was asked for an open range from
// the group's pointer before its range was known: lines below the range
// (NNTPNEWMAX, the group's first number) or above it (arrived since GROUP)
// are not this walk's, and the walk is the one the exact range gives.
ArticleWalk WalkOf(std::vector<std::string> overview, std::int64_t from, std::int64_t last,
                   bool exact, bool checkAbort) {
    ArticleWalk w;
    w.from = from;
    w.last = last;
    w.overview = std::move(overview);
    std::int64_t previous = from;
    std::size_t unreadable = 0;
    for (std::size_t i = 0; i < w.overview.size(); ++i) {
        if (checkAbort && i % kLinesPerAbortCheck == kLinesPerAbortCheck - 1) CheckUserAbort();
        std::int64_t n = 0;
        const bool readable = OverviewNumber(w.overview[i], n);
        if (readable && !exact && (n <= from || n > last)) continue;
        if (readable && n > previous && n <= last) {
            w.numbers.emplace_back(n, i);
            previous = n;
        } else if (++unreadable <= kUnreadableLogged) {
            w.unreadable.push_back(w.overview[i]);
        }
    }
    w.moreUnreadable = unreadable > kUnreadableLogged ? unreadable - kUnreadableLogged : 0;
    w.withOverview = !w.numbers.empty() || unreadable > 0;
    return w;
}

// The overview of a group asked for ahead is held until its group's turn;
// no more groups are asked for while this much is held.
constexpr std::size_t kMaxOverviewHeld = 4u << 20;
// What a GROUP answer takes in the window ("211 count first last group").
constexpr std::size_t kGroupAnswer = 64;

class NewsFetch {
  public:
    NewsFetch(const tbrixconfig& box, const ServerProfile& profile, bool phoActive,
              tbrix_scorefile* score)
        : box_(box), profile_(profile), phoActive_(phoActive), score_(score),
          status_(NewsStatusBlock()) {}

    void Run();

  private:
    void RecoverBatchedIds();
    void Session();
    void GroupWalk();
    void Group(std::size_t index);
    void FetchGroup(GroupLine& g, std::size_t index, std::int64_t first, std::int64_t last,
                    std::int64_t& cps);
    // One article of the walk; decided() runs once it is known whether it
    // is taken whole (the lookahead can then send its ARTICLE).
    void Article(GroupLine& g, std::size_t index, std::int64_t number, const std::string* overview,
                 const std::function<void()>& decided);
    // The commands of an article as far as they are known (TLookahead).
    bool Plan(const GroupLine& g, std::size_t index, std::int64_t number,
              const std::string* overview, std::vector<TPlanned>& commands) const;

    // ---- the groups of a pipelining server, asked for ahead
    // GROUP and an open XOVER from the pointer go out for the groups after
    // the one in hand, and the articles of each group whose overview is in
    // follow by number behind a GROUP of their own, so that the link never
    // waits between groups. The answers are read in their turn by judges
    // and kept here until their group's turn: each group is then treated
    // exactly as one group at a time would treat it.
    struct Ahead {
        GroupLine g;
        bool groupSent = false, groupRead = false;
        std::int32_t groupCode = 0;
        std::string groupReply;
        // XOVER: open from the pointer behind the first GROUP, or exact
        // behind a GROUP of its own once the range was known.
        bool xoverSent = false, xoverExact = false, xoverRead = false;
        std::int32_t xoverCode = 0;
        std::string xoverReply;
        std::vector<std::string> overview;
        std::size_t held = 0; // the overview's bytes
        // GROUP commands of it by their number in the session: the last one
        // sent, and the one its commands by number follow (0: none yet).
        std::uint64_t lastSelect = 0, firstSelect = 0;
        // A GROUP of it was refused after the first was not: what follows
        // by number would be another group's.
        bool selectFailed = false;
        std::string selectReply;
        std::optional<ArticleWalk> walk;
        // Its article commands in flight, sent ahead behind a GROUP of it.
        std::set<std::string> sentAhead;
        bool done = false; // its turn is over
    };
    // The walk of the group line is known from its answers (true), or the
    // exact XOVER it waits for has gone out as far as the window allowed.
    bool KnowWalk(std::size_t index);
    // Sends a GROUP of the line ahead (or now, when !ahead), judged in its
    // turn; false when the window has no room.
    bool SendGroup(std::size_t index, bool ahead);
    // Sends Cmd for the group line, behind a GROUP of it when another group
    // was selected since; false when the window has no room.
    bool SendSelected(std::size_t index, const TPlanned& c);
    std::function<void()> XoverJudge(std::size_t index);
    // The article in hand was sent by the job itself: nothing else was in
    // flight, so what had gone ahead of it is gone.
    void SentItself(const std::string& cmd);
    // Sends ahead what is known: the articles of the groups whose
    // overviews are in, in the order they are treated, then the GROUP (and
    // open XOVER) of the groups after them, then the exact XOVER of the
    // groups whose ranges waited for GROUP's answer.
    void FillAhead();
    void FillArticles();
    void FillGroups();
    // Before a command of the article in hand is read: it went ahead
    // behind a GROUP of its group, or the job sends it itself with its
    // group selected. What other groups left unasked before that GROUP is
    // read and dropped first, so that an answer to their "ARTICLE 5" is
    // never taken for this group's.
    void Select(std::size_t index, const std::string& command);
    // After an answer by number: a GROUP of the line refused after its
    // first raises as GroupInfo would (the answer is another group's).
    void CheckSelected(std::size_t index) const;
    // GROUP's answer for the group line, read in its turn.
    bool AheadGroupInfo(std::size_t index, std::int64_t& count, std::int64_t& first,
                        std::int64_t& last);
    // The walk of (from, last] from XOVER's answer; a refusal that
    // concerns the session raises as Xover does.
    const ArticleWalk& AheadOverview(std::size_t index, std::int64_t from, std::int64_t last);
    void Release(std::size_t index);
    std::vector<Ahead> ahead_;
    // The article (group line, number) each Message-ID planned ahead is to
    // be taken from.
    mutable std::unordered_map<std::string, std::pair<std::size_t, std::int64_t>> idsAhead_;
    bool across_ = false;
    bool filling_ = false;
    std::size_t groupsAhead_ = 0; // the next line whose GROUP has not gone
    bool groupsEnd_ = false;      // a broken line ends the walk there
    std::size_t artLine_ = 0, artItem_ = 0, artSent_ = 0;
    std::vector<TPlanned> artPlanned_;
    std::size_t handLine_ = 0, handItem_ = 0;
    std::uint64_t selects_ = 0, selectsRead_ = 0;
    std::optional<std::size_t> selected_; // the line of the last GROUP sent
    std::size_t heldBytes_ = 0;
    bool TakesHeaderOnly(const GroupLine& g, const std::string& sender, tscaction action) const;
    // A known article, or one the scorefile kills: passed over.
    void PassOver(std::int64_t number);
    // The treatment of an article finished (written, or passed over for a
    // reason of its own).
    void Finished(std::int64_t number);
    // The answer just read was the one asked for article `number` when it
    // names it; then every article finished before counts (Confirm).
    void Answered(std::int64_t number);
    // The stream is shown in step: the pass-overs before this point were
    // for the articles they were taken for.
    void Confirm();
    // The group's line with the pointer on `reached`, kept back until the
    // stream is confirmed in step.
    void HoldBack(GroupLine g, std::size_t index, std::int64_t reached);
    // The group's line with the pointer on the last article finished where
    // it may stand; the old line when there is none.
    void StopAtFinished(GroupLine g, std::size_t index);
    // Whole or as header only, into the group's batch, and known from then.
    void Take(const GroupLine& g, std::size_t index, std::int64_t number, const std::string& msgId,
              const tscverdict& verdict);
    // Room for an entry of this size and the state that will record it.
    void RequireRoom(std::int64_t entryBytes) const;
    void SaveAsWeGo(const GroupLine& g, std::size_t index);
    void SaveState();
    void EndPart(bool failing);
    // "total: N articles received, M articles skipped".
    std::string TotalLine() const {
        return "total: " + TrCount(totalReceived_, "%s articles received") + ", " +
               TrCount(totalSkipped_, "%s articles skipped");
    }

    const tbrixconfig& box_;
    const ServerProfile& profile_;
    bool phoActive_;
    tbrix_scorefile* score_;
    TNNTPClient client_;
    tbrix_ninf* status_;
    IdSet dupes_;
    // The batches first, then the state that points past them.
    DataBeforeState written_;
    BatchWriter batches_{written_};
    std::string spool_;
    std::string dupePath_;
    std::string rcPath_;
    std::string rcName_;
    std::vector<std::string> rcLines_;
    std::uint64_t rcBytes_ = 0; // what saving the file may take
    bool rcLoaded_ = false;
    std::optional<RequestFile> requests_;
    tbrix_msg header_;
    std::int64_t lastSave_ = 0;
    std::int64_t totalReceived_ = 0;
    std::int64_t totalSkipped_ = 0;
    std::int64_t groupReceived_ = 0;
    std::int64_t groupBytes_ = 0;
    // Treatment of the current group's articles: the last one finished
    // where the pointer may stand. A 423 or 430 names no article, so an
    // extra one sent out of step would pass the wrong article over for good:
    // the articles finished from such a pass-over on are unconfirmed_ until
    // a later answer names what was asked, a GROUP answer names its group,
    // or QUIT is answered in step. Lines of groups that ended unconfirmed
    // are held_ until then.
    std::optional<std::int64_t> finished_;
    std::optional<std::int64_t> unconfirmed_;
    struct HeldLine {
        std::size_t index;
        std::string line;
    };
    std::vector<HeldLine> held_;
    // The article whose header has been read, and whether it is taken whole.
    std::int64_t decided_ = -1;
    std::size_t decidedLine_ = 0;
    bool decidedWhole_ = false;
};

void NewsFetch::Run() {
    const RunSettings& s = Settings();
    spool_ = box_.NNTPSPOOL;
    dupePath_ = s.QvPath + kDupeFileName;
    dupes_ = LoadDupes(dupePath_);
    RecoverBatchedIds();
    lastSave_ = TheClock().MonotonicMs();
    RunSession(
        client_, [this] { Session(); }, [this](bool failing) { EndPart(failing); });
}

// A run killed between two saves of the state has written articles that the
// duplicate list does not know yet; the batches that the reader has not
// taken in still hold them, and their Message-IDs keep them from being
// fetched twice.
void NewsFetch::RecoverBatchedIds() {
    std::int64_t recovered = 0;
    for (const std::string& name : FindFiles(spool_ + "n*.msg")) {
        try {
            ScanBatch(spool_ + name, [&](std::string_view header) {
                recovered += dupes_.Add(EntryMessageId(header)) ? 1 : 0;
            });
        } catch (const EInOutError& e) {
            WriteLog(e.Message(), 3);
        }
    }
    if (recovered > 0)
        WriteLog(std::to_string(recovered) + " Message-IDs of earlier batches added to " +
                     kDupeFileName,
                 1);
}

void NewsFetch::Session() {
    const RunSettings& s = Settings();
    OpenConnection(client_, profile_, "getnews", status_, true);
    if (status_) {
        status_->SetInfo("receiving news");
        status_->SetMsgDone(0);
        status_->SetMsgTotal(0);
        status_->SetBytesDone(0);
        status_->SetBytesTotal(0);
    }
    try {
        GroupWalk();
    } catch (...) {
        WriteLog(TotalLine(), 1);
        throw;
    }
    WriteLog(TotalLine(), 1);
    const std::string requests = ResolveName(s.QvPath + kRequestFileName);
    if (EntryExists(requests)) {
        requests_.emplace(requests);
        NewsSession session{
            client_, dupes_, batches_, spool_, totalReceived_, status_, [this](std::int64_t bytes) {
                RequireRoom(bytes);
            }};
        GetRequestedArticles(session, *requests_);
        SaveState();
    }
}

void NewsFetch::GroupWalk() {
    const RunSettings& s = Settings();
    rcPath_ = ResolveName(s.QvPath + s.CurrentBox + ".rc");
    if (!EntryExists(rcPath_)) {
        if (status_) status_->SetInfo("RC-file not found");
        WriteLog("RC-file not found", 1);
        return;
    }
    rcName_ = rcPath_.substr(DirName(rcPath_).size());
    try {
        rcLines_ = ReadLines(rcPath_);
    } catch (const EInOutError& e) {
        // There, but not for us (its rights, a directory): that is no missing
        // file, and its pointers must not be taken as none.
        throw ebrix_nntp("Cannot read the RC-file: " + e.Message());
    }
    rcLoaded_ = true;
    for (const std::string& line : rcLines_)
        rcBytes_ += line.size() + 24; // CR LF, and a pointer grown to 20 digits
    across_ = client_.Pipelining() && NewsGroupsAhead();
    if (!across_) {
        for (std::size_t i = 0; i < rcLines_.size(); ++i)
            if (IsGroupLine(rcLines_[i])) Group(i);
        return;
    }
    ahead_.assign(rcLines_.size(), Ahead{});
    client_.OnTurn = [this](const std::string& Cmd, bool Sent) {
        if (Sent) SentItself(Cmd);
        if (client_.BytesInFlight() < client_.Window()) FillAhead();
    };
    // Whatever ends the walk, nothing more goes ahead: the goodbye only reads
    // what is owed.
    struct Stop {
        NewsFetch& f;
        ~Stop() {
            f.client_.OnTurn = nullptr;
            f.across_ = false;
        }
    } stop{*this};
    FillAhead();
    for (std::size_t i = 0; i < rcLines_.size(); ++i)
        if (IsGroupLine(rcLines_[i])) {
            Group(i);
            Release(i);
        }
    // Commands of the last group that it did not ask for in the end; nothing
    // more goes ahead meanwhile.
    client_.OnTurn = nullptr;
    across_ = false;
    client_.FinishPipeline();
}

void NewsFetch::Release(std::size_t index) {
    Ahead& a = ahead_[index];
    heldBytes_ -= a.held;
    a.held = 0;
    a.overview = {};
    a.walk.reset();
    a.sentAhead.clear();
    a.done = true;
}

bool NewsFetch::SendGroup(std::size_t index, bool ahead) {
    Ahead& a = ahead_[index];
    const std::uint64_t seq = selects_ + 1;
    auto judge = [this, index, seq] {
        client_.GetResponse(nullptr);
        client_.CheckReadable();
        selectsRead_ = seq;
        Ahead& r = ahead_[index];
        const bool ok = client_.ReplyCode == 211;
        if (!r.groupRead) {
            r.groupRead = true;
            r.groupCode = client_.ReplyCode;
            r.groupReply = client_.LastReply;
        } else if (!ok) {
            r.selectFailed = true;
            r.selectReply = client_.LastReply;
        }
        // An answer that names its group shows the stream in step.
        if (ok && AnswerNamesGroup(client_.LastReply, r.g.group)) Confirm();
        // A range that waited for this answer can be asked for now.
        FillAhead();
    };
    const std::string cmd = "GROUP " + a.g.group;
    if (ahead) {
        if (!client_.SendAhead(cmd, kGroupAnswer, judge)) return false;
    } else {
        client_.SendLater(cmd, judge, kGroupAnswer);
    }
    selects_ = seq;
    a.groupSent = true;
    a.lastSelect = seq;
    selected_ = index;
    return true;
}

bool NewsFetch::SendSelected(std::size_t index, const TPlanned& c) {
    if (selected_ != index && !SendGroup(index, true)) return false;
    Ahead& a = ahead_[index];
    if (a.firstSelect == 0) a.firstSelect = a.lastSelect;
    if (!client_.SendAhead(c.command, c.answerBytes, c.judge)) return false;
    a.sentAhead.insert(c.command);
    return true;
}

std::function<void()> NewsFetch::XoverJudge(std::size_t index) {
    return [this, index] {
        client_.GetResponse(nullptr);
        client_.CheckReadable();
        Ahead& r = ahead_[index];
        r.xoverCode = client_.ReplyCode;
        r.xoverReply = client_.LastReply;
        if (r.xoverCode == 224 && r.done) {
            // Its group did not need it in the end.
            client_.ReadDataLines(static_cast<TStrings*>(nullptr));
        } else if (r.xoverCode == 224) {
            client_.ReadDataLines(&r.overview);
            for (const std::string& line : r.overview)
                r.held += line.size() + 2;
            heldBytes_ += r.held;
        }
        r.xoverRead = true;
        // Its articles can follow now.
        FillAhead();
    };
}

bool NewsFetch::KnowWalk(std::size_t index) {
    Ahead& a = ahead_[index];
    if (a.walk) return true;
    if (!a.groupRead) return false;
    std::int64_t count = 0, first = 0, last = 0;
    bool exists = false;
    try {
        exists = GroupAnswer(a.groupCode, a.groupReply, count, first, last);
    } catch (const EAbsNNTPClient&) {
    }
    const NewsRange range = GroupRange(a.g.pointer, last, box_.NNTPNEWMAX, box_.NNTPRESCAN);
    const std::int64_t from = std::max(range.pointer, first - 1);
    if (!exists || !range.fetch || from >= last) {
        a.walk.emplace(); // nothing to walk
        return true;
    }
    if (!a.xoverSent) {
        // The range needed GROUP's answer: its own XOVER, exact.
        if (selected_ != index && !SendGroup(index, true)) return false;
        if (!client_.SendAhead(XoverCommand(from + 1, last), 0, XoverJudge(index))) return false;
        a.xoverSent = a.xoverExact = true;
    }
    if (!a.xoverRead) return false;
    // A refusal that concerns the session ends the job in the group's turn.
    if (a.xoverCode != 224 && !OverviewUnavailable(a.xoverCode)) return false;
    a.walk = WalkOf(std::move(a.overview), from, last, a.xoverExact, false);
    a.overview = {};
    return true;
}

void NewsFetch::FillArticles() {
    while (artLine_ < rcLines_.size()) {
        if (artLine_ < handLine_ || (artLine_ == handLine_ && artItem_ < handItem_)) {
            artLine_ = handLine_;
            artItem_ = handItem_;
            artSent_ = 0;
            artPlanned_.clear();
        }
        if (!IsGroupLine(rcLines_[artLine_])) {
            ++artLine_;
            continue;
        }
        Ahead& a = ahead_[artLine_];
        if (!a.groupSent || !KnowWalk(artLine_)) return;
        const ArticleWalk& w = *a.walk;
        for (; artItem_ < w.Items(); ++artItem_, artSent_ = 0) {
            artPlanned_.clear();
            const bool complete =
                Plan(a.g, artLine_, w.NumberOf(artItem_), w.OverviewOf(artItem_), artPlanned_);
            for (; artSent_ < artPlanned_.size(); ++artSent_)
                if (!SendSelected(artLine_, artPlanned_[artSent_])) return;
            if (!complete) return;
        }
        ++artLine_;
        artItem_ = artSent_ = 0;
        artPlanned_.clear();
    }
}

void NewsFetch::SentItself(const std::string& cmd) {
    for (std::size_t i = handLine_; i < ahead_.size(); ++i) {
        if (i > handLine_) ahead_[i].firstSelect = 0;
        ahead_[i].sentAhead.clear();
    }
    artLine_ = handLine_;
    artItem_ = handItem_;
    artPlanned_.clear();
    artSent_ = 0;
    const Ahead& a = ahead_[handLine_];
    if (a.walk && handItem_ < a.walk->Items())
        Plan(a.g, handLine_, a.walk->NumberOf(handItem_), a.walk->OverviewOf(handItem_),
             artPlanned_);
    for (std::size_t k = 0; k < artPlanned_.size(); ++k)
        if (artPlanned_[k].command == cmd) artSent_ = k + 1;
}

void NewsFetch::Select(std::size_t index, const std::string& command) {
    Ahead& a = ahead_[index];
    if (!a.sentAhead.count(command) && selected_ != index) SendGroup(index, false);
    if (a.firstSelect == 0) a.firstSelect = a.lastSelect;
    const std::uint64_t first = a.firstSelect;
    client_.ReadUntil([&] { return selectsRead_ >= first; });
}

void NewsFetch::CheckSelected(std::size_t index) const {
    if (across_ && ahead_[index].selectFailed)
        throw EAbsNNTPClient::CreateError("Group", ahead_[index].selectReply);
}

bool NewsFetch::AheadGroupInfo(std::size_t index, std::int64_t& count, std::int64_t& first,
                               std::int64_t& last) {
    Ahead& a = ahead_[index];
    if (!a.groupSent) SendGroup(index, false);
    client_.ReadUntil([&] { return a.groupRead; });
    if (!a.groupRead) throw EAbsNNTPClient::CreateError("Group", "no answer");
    return GroupAnswer(a.groupCode, a.groupReply, count, first, last);
}

const ArticleWalk& NewsFetch::AheadOverview(std::size_t index, std::int64_t from,
                                            std::int64_t last) {
    Ahead& a = ahead_[index];
    handLine_ = index;
    handItem_ = 0;
    client_.ReadUntil([&] { return KnowWalk(index) || a.xoverRead; });
    if (!a.walk && !a.xoverRead) {
        // Nothing in flight and the window refused: ask now.
        if (selected_ != index) SendGroup(index, false);
        client_.SendLater(XoverCommand(from + 1, last), XoverJudge(index));
        a.xoverSent = a.xoverExact = true;
        client_.ReadUntil([&] { return a.xoverRead; });
        KnowWalk(index);
    }
    if (!a.walk) throw EAbsNNTPClient::CreateError("Xover", a.xoverReply);
    return *a.walk;
}

void NewsFetch::FillAhead() {
    if (!across_ || filling_) return;
    filling_ = true;
    try {
        FillArticles();
        FillGroups();
        // The exact ranges of the groups whose GROUP answers are in, while
        // the articles of the groups before them are still to come.
        for (std::size_t i = artLine_ + 1; i < groupsAhead_; ++i) {
            const Ahead& a = ahead_[i];
            if (a.groupRead && !a.xoverSent && !KnowWalk(i) && !a.xoverSent) break;
        }
    } catch (...) {
        filling_ = false;
        throw;
    }
    filling_ = false;
}

void NewsFetch::FillGroups() {
    groupsAhead_ = std::max(groupsAhead_, handLine_);
    while (!groupsEnd_ && groupsAhead_ < rcLines_.size() && heldBytes_ < kMaxOverviewHeld) {
        const std::size_t i = groupsAhead_;
        if (!IsGroupLine(rcLines_[i])) {
            ++groupsAhead_;
            continue;
        }
        Ahead& a = ahead_[i];
        if (!a.groupSent) {
            try {
                a.g = ParseGroupLine(rcLines_[i], rcName_);
            } catch (const Exception&) {
                // The walk ends at this line, in its turn.
                groupsEnd_ = true;
                return;
            }
            if (!SendGroup(i, true)) return;
        }
        // The open range needs no answer to GROUP; a pointer that counts
        // from the end, or a range that cannot grow, waits for it.
        const std::int64_t p = a.g.pointer;
        if (!a.xoverSent && selected_ == i && !box_.NNTPRESCAN && box_.NNTPNEWMAX > 0 && p > 0 &&
            p < std::numeric_limits<std::int64_t>::max()) {
            if (!client_.SendAhead("XOVER " + std::to_string(p + 1) + "-", 0, XoverJudge(i)))
                return;
            a.xoverSent = true;
        }
        ++groupsAhead_;
    }
}

void NewsFetch::Group(std::size_t index) {
    const RunSettings& s = Settings();
    GroupLine g = ParseGroupLine(rcLines_[index], rcName_);
    std::int64_t count = 0, first = 0, last = 0;
    bool exists = false;
    try {
        if (across_) {
            ahead_[index].g = g;
            handLine_ = index;
            handItem_ = 0;
            exists = AheadGroupInfo(index, count, first, last);
        } else {
            exists = client_.GroupInfo(g.group, count, first, last);
            if (exists && AnswerNamesGroup(client_.LastReply, g.group)) Confirm();
        }
    } catch (const EAbsNNTPClient& e) {
        // One group the server will not give us must not block the others;
        // 400 (service ending) and a broken reply concern the session.
        if (!across_) client_.CheckReadable();
        if ((across_ ? ahead_[index].groupCode : client_.ReplyCode) == 400) throw;
        WriteLog(e.Message(), 3);
        return;
    }
    if (!exists) {
        WriteLog("no such newsgroup: " + g.group, 1);
    } else {
        groupReceived_ = 0;
        groupBytes_ = 0;
        WriteLog("newsgroup: " + g.group, 1);
        if (status_) status_->SetGroup(g.group);
        NewsRange range = GroupRange(g.pointer, last, box_.NNTPNEWMAX, box_.NNTPRESCAN);
        if (box_.NNTPRESCAN) {
            if (status_) status_->SetInfo("updating article pointer");
            if (s.DebugLevel > 0) WriteLog("updating article pointer", 3);
        }
        g.pointer = range.pointer;
        std::int64_t cps = 0;
        if (range.fetch) {
            finished_.reset();
            unconfirmed_.reset();
            try {
                FetchGroup(g, index, first, last, cps);
            } catch (...) {
                // The article cut off is fetched again next time.
                if (unconfirmed_) HoldBack(g, index, *unconfirmed_);
                StopAtFinished(g, index);
                throw;
            }
        }
        // A rate is only said where there was time to measure one (the
        // design's text always has it).
        WriteLog(
            cps == 0 && CurrentLanguage() == TLanguage::English
                ? TrCount(groupReceived_, "%s articles received")
                : TrCount(groupReceived_, "%s articles received (%s CPS)", {std::to_string(cps)}),
            1);
    }
    if (unconfirmed_) {
        HoldBack(g, index, g.pointer);
        StopAtFinished(g, index);
    } else {
        rcLines_[index] = RebuildGroupLine(g);
    }
    SaveState();
}

void NewsFetch::HoldBack(GroupLine g, std::size_t index, std::int64_t reached) {
    g.pointer = reached;
    held_.push_back({index, RebuildGroupLine(g)});
    unconfirmed_.reset();
}

void NewsFetch::StopAtFinished(GroupLine g, std::size_t index) {
    if (!finished_) return;
    g.pointer = *finished_;
    rcLines_[index] = RebuildGroupLine(g);
}

void NewsFetch::Finished(std::int64_t number) {
    (unconfirmed_ ? unconfirmed_ : finished_) = number;
}

void NewsFetch::Answered(std::int64_t number) {
    if (AnswerNamesArticle(client_.LastReply, number)) Confirm();
}

void NewsFetch::Confirm() {
    if (unconfirmed_) finished_ = unconfirmed_;
    unconfirmed_.reset();
    for (HeldLine& h : held_)
        rcLines_[h.index] = std::move(h.line);
    held_.clear();
}

void NewsFetch::FetchGroup(GroupLine& g, std::size_t index, std::int64_t first, std::int64_t last,
                           std::int64_t& cps) {
    const RunSettings& s = Settings();
    // No command carries a number outside the group's range: articles below
    // its first number are gone, and the walk ends at its last (2^63-1
    // included, so it never counts past it).
    const std::int64_t from = std::max(g.pointer, first - 1);
    decided_ = -1;
    if (from >= last) {
        g.pointer = last;
        ++NewsBatchCounter();
        return;
    }
    if (status_) status_->SetInfo("XOVER " + std::to_string(from + 1) + "-" + std::to_string(last));
    ArticleWalk own;
    if (!across_) {
        std::vector<std::string> overview;
        try {
            client_.Xover(&overview, from + 1, last);
        } catch (const EAbsNNTPClient& e) {
            client_.CheckReadable();
            if (!OverviewUnavailable(client_.ReplyCode)) throw;
        }
        own = WalkOf(std::move(overview), from, last, true, true);
    }
    const ArticleWalk& walk = across_ ? AheadOverview(index, from, last) : own;
    // Overview lines that cannot be read are left out.
    for (const std::string& line : walk.unreadable)
        WriteLog(EAbsNNTPClient::CreateError("Xover", Cut(line)).Message(), 3);
    if (walk.moreUnreadable > 0)
        WriteLog(g.group + ": " + std::to_string(walk.moreUnreadable) +
                     " more unreadable overview lines",
                 3);
    const std::size_t items = walk.Items();
    const std::int64_t wanted = static_cast<std::int64_t>(items);
    if (status_) status_->SetMsgTotal(status_->MsgTotal() + wanted);
    if (s.DebugLevel > 0) WriteLog(TrCount(wanted, "fetching %s articles"), 1);

    const int start = SecondsOfDay();
    if (across_) {
        for (std::size_t k = 0; k < items; ++k) {
            handLine_ = index;
            handItem_ = k;
            FillAhead();
            Article(g, index, walk.NumberOf(k), walk.OverviewOf(k), [this] { FillAhead(); });
            SaveAsWeGo(g, index);
        }
    } else {
        TLookahead ahead(client_, items, [&](std::size_t k, std::vector<TPlanned>& commands) {
            return Plan(g, index, walk.NumberOf(k), walk.OverviewOf(k), commands);
        });
        for (std::size_t k = 0; k < items; ++k) {
            ahead.Fill(k);
            Article(g, index, walk.NumberOf(k), walk.OverviewOf(k), [&] { ahead.Fill(k); });
            SaveAsWeGo(g, index);
        }
        client_.FinishPipeline();
    }
    g.pointer =
        walk.withOverview ? (walk.numbers.empty() ? g.pointer : walk.numbers.back().first) : last;
    int end = SecondsOfDay();
    if (end < start) end += 86400;
    const int elapsed = end - start;
    cps = elapsed > 0 ? groupBytes_ / elapsed : 0;
    ++NewsBatchCounter();
}

bool NewsFetch::TakesHeaderOnly(const GroupLine& g, const std::string& sender,
                                tscaction action) const {
    return g.headerOnly || action == tschdronly || (phoActive_ && PhoTest(LowerAscii(sender)));
}

bool NewsFetch::Plan(const GroupLine& g, std::size_t index, std::int64_t number,
                     const std::string* overview, std::vector<TPlanned>& commands) const {
    const std::string n = std::to_string(number);
    if (!overview || score_) {
        // The header decides, so the article's turn comes after its HEAD.
        commands.push_back({"HEAD " + n});
        if (decided_ != number || decidedLine_ != index) return false;
        if (decidedWhole_) commands.push_back({"ARTICLE " + n});
        return true;
    }
    tbrix_msg header;
    OverviewToHeader(header.Lines, g.group, *overview);
    const std::string id = header.HeaderValue("Message-ID:");
    if (dupes_.Contains(id)) return true;
    if (across_ && !id.empty()) {
        // A copy planned before this one (a crosspost, an id standing twice)
        // is asked for once: this one is passed over in its turn unless the
        // first was not taken, and then asked for by the job itself.
        const auto [at, fresh] = idsAhead_.try_emplace(id, index, number);
        if (!fresh && at->second != std::pair(index, number)) return true;
    }
    if (!TakesHeaderOnly(g, header.HeaderValue("From:"), tscnone)) {
        // The overview's byte count sizes its answer in the window; a
        // missing or broken one leaves that to the client's mean.
        std::int64_t bytes = 0;
        if (!LeadingInt64(header.HeaderValue("X-Messagelength:"), bytes) || bytes < 0) bytes = 0;
        commands.push_back({"ARTICLE " + n, static_cast<std::size_t>(bytes)});
    }
    return true;
}

void NewsFetch::Article(GroupLine& g, std::size_t index, std::int64_t number,
                        const std::string* overview, const std::function<void()>& decided) {
    if (Settings().DebugLevel > 0)
        WriteLog("fetching article #" + std::to_string(totalReceived_ + 1), 1);
    header_.Lines.clear();
    try {
        if (overview && !score_)
            OverviewToHeader(header_.Lines, g.group, *overview);
        else {
            if (across_) Select(index, "HEAD " + std::to_string(number));
            client_.HeadByNo(number, &header_.Lines);
            CheckSelected(index);
            Answered(number);
        }
        const std::string msgId = header_.HeaderValue("Message-ID:");
        CheckUserAbort();
        tscverdict verdict;
        if (score_) verdict = score_->ScoreHeader(header_.Lines);
        const bool passOver = dupes_.Contains(msgId) || verdict.action == tscskip;
        decided_ = number;
        decidedLine_ = index;
        decidedWhole_ =
            !passOver && !TakesHeaderOnly(g, header_.HeaderValue("From:"), verdict.action);
        decided();
        if (passOver)
            PassOver(number);
        else
            Take(g, index, number, msgId, verdict);
    } catch (const EAbsNNTPClient& e) {
        // Only an article the server no longer has is passed over (423, or
        // 430 from servers that look every article up by its Message-ID);
        // any other refusal concerns the session and ends the job.
        client_.CheckReadable();
        CheckSelected(index);
        if ((client_.ReplyCode != 423 && client_.ReplyCode != 430) || client_.OutOfStep) throw;
        header_.Lines.clear();
        if (status_) status_->SetMsgTotal(status_->MsgTotal() - 1);
        WriteLog(e.Message(), 3);
        // Whether this answer was this article's shows only later.
        unconfirmed_ = number;
        CheckUserAbort();
    }
}

void NewsFetch::PassOver(std::int64_t number) {
    // A copy met twice within the lookahead (a crosspost) had its ARTICLE
    // sent before the first one was taken: the client drops its answer.
    const std::string text = "skipping article #" + std::to_string(number);
    if (status_) {
        status_->SetInfo(text);
        status_->SetMsgTotal(status_->MsgTotal() - 1);
    }
    if (Settings().DebugLevel > 0) WriteLog(text, 1);
    ++totalSkipped_;
    header_.Lines.clear();
    Finished(number);
}

void NewsFetch::Take(const GroupLine& g, std::size_t index, std::int64_t number,
                     const std::string& msgId, const tscverdict& verdict) {
    const std::string sender = header_.HeaderValue("From:");
    if (status_) status_->SetInfo("From: " + sender);
    tscaction action = verdict.action;
    if (phoActive_ && PhoTest(LowerAscii(sender))) {
        action = tschdronly;
        WriteLog("PHO-Filter matched: " + sender, 3);
    }
    if (!g.headerOnly && action != tschdronly) {
        header_.Lines.clear();
        if (across_) Select(index, "ARTICLE " + std::to_string(number));
        client_.ArticleByNo(number, &header_.Lines);
        CheckSelected(index);
        Answered(number);
    } else {
        MakeHeaderOnly(header_.Lines);
    }
    if (score_) InsertHeaderMark(header_.Lines, "X-Score: " + std::to_string(verdict.score));
    RequireRoom(ArticleSize(header_.Lines));
    const std::int64_t size =
        batches_.Append(BatchFileName(spool_, NewsBatchCounter()), header_.Lines);
    // Known only once its entry is written.
    dupes_.Add(msgId);
    header_.Lines.clear();
    Finished(number);
    CheckUserAbort();
    ++totalReceived_;
    ++groupReceived_;
    ++Totals().articlesIn;
    groupBytes_ += size;
    if (status_) {
        status_->SetMsgDone(totalReceived_);
        status_->SetBytesDone(status_->BytesDone() + size);
    }
}

void NewsFetch::RequireRoom(std::int64_t entryBytes) const {
    const std::string& state = Settings().QvPath;
    RequireSpace({{DirName(spool_), static_cast<std::uint64_t>(entryBytes) + 32},
                  {state, rcBytes_},
                  {state, SavedDupesSize(dupes_, box_.NNTPDUPESIZE) + 1024}},
                 "the next article and the news state");
}

// Between articles, now and then, the state of the group so far.
void NewsFetch::SaveAsWeGo(const GroupLine& g, std::size_t index) {
    if (!finished_ || TheClock().MonotonicMs() - lastSave_ < kSaveInterval) return;
    GroupLine reached = g;
    reached.pointer = *finished_;
    rcLines_[index] = RebuildGroupLine(reached);
    SaveState();
}

// Batches on disk first, then the state that points past them.
void NewsFetch::SaveState() {
    written_.FlushThenSave([this] {
        if (requests_) requests_->Commit();
        if (rcLoaded_) SaveGroupPointerFile(rcPath_, rcLines_);
        SaveDupes(dupePath_, dupes_, box_.NNTPDUPESIZE);
    });
    lastSave_ = TheClock().MonotonicMs();
}

void NewsFetch::EndPart(bool failing) {
    header_.Lines.clear();
    const TGoodbye bye = SayGoodbye(client_, failing);
    // QUIT answered in step: no pass-over took another article's answer.
    if (bye.said) Confirm();
    if (!failing) {
        SaveState();
        if (bye.error) std::rethrow_exception(bye.error);
        return;
    }
    // The error that ended the job is the one to report; a save that fails
    // after it is reported beside it.
    try {
        SaveState();
    } catch (const Exception& e) {
        LogJobError("getnews", e);
    }
}

} // namespace

void GetNews(tbrixconfig& box, bool phoActive, tbrix_scorefile* score) {
    RunJob("getnews", [&] {
        for (const ServerProfile& profile : ServerProfiles(box, TProtocol::Nntp))
            NewsFetch(box, profile, phoActive, score).Run();
    });
}

} // namespace brix
