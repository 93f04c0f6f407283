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
    void Article(GroupLine& g, std::int64_t number, const std::string* overview,
                 const std::function<void()>& decided);
    // The commands of an article as far as they are known (TLookahead).
    bool Plan(const GroupLine& g, std::int64_t number, const std::string* overview,
              std::vector<TPlanned>& commands) const;
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
    void Take(const GroupLine& g, std::int64_t number, const std::string& msgId,
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
    for (std::size_t i = 0; i < rcLines_.size(); ++i)
        if (IsGroupLine(rcLines_[i])) Group(i);
}

void NewsFetch::Group(std::size_t index) {
    const RunSettings& s = Settings();
    GroupLine g = ParseGroupLine(rcLines_[index], rcName_);
    std::int64_t count = 0, first = 0, last = 0;
    bool exists = false;
    try {
        exists = client_.GroupInfo(g.group, count, first, last);
        if (exists && AnswerNamesGroup(client_.LastReply, g.group)) Confirm();
    } catch (const EAbsNNTPClient& e) {
        // One group the server will not give us must not block the others;
        // 400 (service ending) and a broken reply concern the session.
        client_.CheckReadable();
        if (client_.ReplyCode == 400) throw;
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
    std::vector<std::string> overview;
    bool withOverview = false;
    if (status_) status_->SetInfo("XOVER " + std::to_string(from + 1) + "-" + std::to_string(last));
    try {
        client_.Xover(&overview, from + 1, last);
        withOverview = !overview.empty();
    } catch (const EAbsNNTPClient& e) {
        client_.CheckReadable();
        if (!OverviewUnavailable(client_.ReplyCode)) throw;
    }
    // Article numbers of the overview, in rising order within the range; a
    // line we cannot read is left out.
    std::vector<std::pair<std::int64_t, std::size_t>> numbers;
    if (withOverview) {
        std::int64_t previous = from;
        std::size_t unreadable = 0;
        for (std::size_t i = 0; i < overview.size(); ++i) {
            if (i % kLinesPerAbortCheck == kLinesPerAbortCheck - 1) CheckUserAbort();
            std::int64_t n = 0;
            if (OverviewNumber(overview[i], n) && n > previous && n <= last) {
                numbers.emplace_back(n, i);
                previous = n;
            } else if (++unreadable <= kUnreadableLogged) {
                WriteLog(EAbsNNTPClient::CreateError("Xover", Cut(overview[i])).Message(), 3);
            }
        }
        if (unreadable > kUnreadableLogged)
            WriteLog(g.group + ": " + std::to_string(unreadable - kUnreadableLogged) +
                         " more unreadable overview lines",
                     3);
    }
    const std::int64_t wanted =
        withOverview ? static_cast<std::int64_t>(numbers.size()) : last - from;
    if (status_) status_->SetMsgTotal(status_->MsgTotal() + wanted);
    if (s.DebugLevel > 0) WriteLog(TrCount(wanted, "fetching %s articles"), 1);

    const int start = SecondsOfDay();
    // The walk's articles: the overview's numbers, or each of the range.
    const std::size_t items = withOverview ? numbers.size() : static_cast<std::size_t>(last - from);
    auto numberOf = [&](std::size_t k) {
        return withOverview ? numbers[k].first : from + 1 + static_cast<std::int64_t>(k);
    };
    auto overviewOf = [&](std::size_t k) -> const std::string* {
        return withOverview ? &overview[numbers[k].second] : nullptr;
    };
    TLookahead ahead(client_, items, [&](std::size_t k, std::vector<TPlanned>& commands) {
        return Plan(g, numberOf(k), overviewOf(k), commands);
    });
    for (std::size_t k = 0; k < items; ++k) {
        ahead.Fill(k);
        Article(g, numberOf(k), overviewOf(k), [&] { ahead.Fill(k); });
        SaveAsWeGo(g, index);
    }
    client_.FinishPipeline();
    g.pointer = withOverview ? (numbers.empty() ? g.pointer : numbers.back().first) : last;
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

bool NewsFetch::Plan(const GroupLine& g, std::int64_t number, const std::string* overview,
                     std::vector<TPlanned>& commands) const {
    const std::string n = std::to_string(number);
    if (!overview || score_) {
        // The header decides, so the article's turn comes after its HEAD.
        commands.push_back({"HEAD " + n});
        if (decided_ != number) return false;
        if (decidedWhole_) commands.push_back({"ARTICLE " + n});
        return true;
    }
    tbrix_msg header;
    OverviewToHeader(header.Lines, g.group, *overview);
    if (!dupes_.Contains(header.HeaderValue("Message-ID:")) &&
        !TakesHeaderOnly(g, header.HeaderValue("From:"), tscnone)) {
        // The overview's byte count sizes its answer in the window; a
        // missing or broken one leaves that to the client's mean.
        std::int64_t bytes = 0;
        if (!LeadingInt64(header.HeaderValue("X-Messagelength:"), bytes) || bytes < 0) bytes = 0;
        commands.push_back({"ARTICLE " + n, static_cast<std::size_t>(bytes)});
    }
    return true;
}

void NewsFetch::Article(GroupLine& g, std::int64_t number, const std::string* overview,
                        const std::function<void()>& decided) {
    if (Settings().DebugLevel > 0)
        WriteLog("fetching article #" + std::to_string(totalReceived_ + 1), 1);
    header_.Lines.clear();
    try {
        if (overview && !score_)
            OverviewToHeader(header_.Lines, g.group, *overview);
        else {
            client_.HeadByNo(number, &header_.Lines);
            Answered(number);
        }
        const std::string msgId = header_.HeaderValue("Message-ID:");
        CheckUserAbort();
        tscverdict verdict;
        if (score_) verdict = score_->ScoreHeader(header_.Lines);
        const bool passOver = dupes_.Contains(msgId) || verdict.action == tscskip;
        decided_ = number;
        decidedWhole_ =
            !passOver && !TakesHeaderOnly(g, header_.HeaderValue("From:"), verdict.action);
        decided();
        if (passOver)
            PassOver(number);
        else
            Take(g, number, msgId, verdict);
    } catch (const EAbsNNTPClient& e) {
        // Only an article the server no longer has is passed over (423, or
        // 430 from servers that look every article up by its Message-ID);
        // any other refusal concerns the session and ends the job.
        client_.CheckReadable();
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

void NewsFetch::Take(const GroupLine& g, std::int64_t number, const std::string& msgId,
                     const tscverdict& verdict) {
    const std::string sender = header_.HeaderValue("From:");
    if (status_) status_->SetInfo("From: " + sender);
    tscaction action = verdict.action;
    if (phoActive_ && PhoTest(LowerAscii(sender))) {
        action = tschdronly;
        WriteLog("PHO-Filter matched: " + sender, 3);
    }
    if (!g.headerOnly && action != tschdronly) {
        header_.Lines.clear();
        client_.ArticleByNo(number, &header_.Lines);
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
