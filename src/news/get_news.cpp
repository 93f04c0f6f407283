#include "news/get_news.h"

#include "display/status_screen.h"
#include "filter/pho.h"
#include "frame/abort.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "mail/msg.h"
#include "news/brix_nntp.h"
#include "news/group_pointers.h"
#include "news/news_spool.h"
#include "news/request_job.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/text.h"
#include "support/textfile.h"

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
    NewsFetch(const tbrixconfig& box, bool phoActive, tbrix_scorefile* score)
        : box_(box), phoActive_(phoActive), score_(score), client_(box.NNTPPORT),
          status_(NewsStatusBlock()) {
        const std::int64_t seconds = box.NNTPTIMEOUT > 0 ? box.NNTPTIMEOUT : 60;
        client_.Socket->Timeout = static_cast<std::int32_t>(
            std::min<std::int64_t>(seconds * 1000, std::numeric_limits<std::int32_t>::max()));
        client_.SetTls(box.NNTPTLS, TlsCAFileOf(box));
    }

    void Run();

  private:
    void Session();
    void GroupWalk();
    void Group(std::size_t index);
    void FetchGroup(GroupLine& g, std::int64_t last, std::int64_t& cps);
    void Article(GroupLine& g, std::int64_t number, const std::string* overview);
    void SaveState();
    void EndPart(bool failing);

    const tbrixconfig& box_;
    bool phoActive_;
    tbrix_scorefile* score_;
    tbrix_nntp client_;
    tbrix_ninf* status_;
    NewsDupes dupes_;
    BatchWriter batches_;
    std::string spool_;
    std::string dupePath_;
    std::string rcPath_;
    std::string rcName_;
    std::vector<std::string> rcLines_;
    bool rcLoaded_ = false;
    tbrix_msg header_;
    std::int64_t totalReceived_ = 0;
    std::int64_t totalSkipped_ = 0;
    std::int64_t groupReceived_ = 0;
    std::int64_t groupBytes_ = 0;
    // Treatment of the current group's articles: the last one finished.
    std::optional<std::int64_t> finished_;
};

void NewsFetch::Run() {
    const RunSettings& s = Settings();
    spool_ = box_.NNTPSPOOL;
    dupePath_ = s.QvPath + kDupeFileName;
    dupes_.Load(dupePath_);
    try {
        Session();
    } catch (...) {
        EndPart(true);
        throw;
    }
    EndPart(false);
}

void NewsFetch::Session() {
    const RunSettings& s = Settings();
    if (s.DebugLevel > 0) {
        client_.OnLogLine = tbrix_nntp::LogLine;
        if (s.DebugLevel > 1) client_.Socket->OnLogLine = tbrix_nntp::LogLine;
        client_.DoLogLine("");
        AppendStampedLine(BoxLogPath(), "getnews " + box_.NNTPSERVER + ":" + box_.NNTPPORT);
    }
    const std::string where = box_.NNTPSERVER + ":" + box_.NNTPPORT;
    if (status_) {
        status_->SetServer(where);
        status_->SetInfo("connecting ...");
    }
    WriteLog("NNTP: " + where, 1);
    client_.Connect(box_.NNTPSERVER);
    CheckUserAbort();
    if (!box_.NNTPUSER.empty() && !box_.NNTPPASS.empty()) {
        if (status_) status_->SetInfo("newsserver authentification");
        WriteLog("newsserver authentification ...", 1);
        client_.Authinfo(box_.NNTPUSER, box_.NNTPPASS);
    }
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
        WriteLog("total: " + std::to_string(totalReceived_) + " articles received, " +
                     std::to_string(totalSkipped_) + " articles skipped",
                 1);
        throw;
    }
    WriteLog("total: " + std::to_string(totalReceived_) + " articles received, " +
                 std::to_string(totalSkipped_) + " articles skipped",
             1);
    const std::string requests = ResolveName(s.QvPath + kRequestFileName);
    if (EntryExists(requests)) {
        NewsSession session{client_, dupes_, batches_, spool_, totalReceived_, status_};
        GetRequestedArticles(session, requests);
        SaveState();
    }
}

void NewsFetch::GroupWalk() {
    const RunSettings& s = Settings();
    rcPath_ = ResolveName(s.QvPath + s.CurrentBox + ".rc");
    if (!FileExists(rcPath_)) {
        if (status_) status_->SetInfo("RC-file not found");
        WriteLog("RC-file not found", 1);
        return;
    }
    rcName_ = rcPath_.substr(DirName(rcPath_).size());
    rcLines_ = ReadLines(rcPath_);
    rcLoaded_ = true;
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
            try {
                FetchGroup(g, last, cps);
            } catch (...) {
                // The pointer stops at the last article whose treatment
                // finished; the one cut off is fetched again next time.
                if (finished_) {
                    g.pointer = *finished_;
                    rcLines_[index] = RebuildGroupLine(g);
                }
                throw;
            }
        }
        WriteLog(std::to_string(groupReceived_) + " articles received (" + std::to_string(cps) +
                     " CPS)",
                 1);
    }
    rcLines_[index] = RebuildGroupLine(g);
    SaveState();
}

void NewsFetch::FetchGroup(GroupLine& g, std::int64_t last, std::int64_t& cps) {
    const RunSettings& s = Settings();
    std::vector<std::string> overview;
    bool withOverview = false;
    if (status_)
        status_->SetInfo("XOVER " + std::to_string(g.pointer + 1) + "-" + std::to_string(last));
    try {
        client_.Xover(&overview, g.pointer + 1, last);
        withOverview = !overview.empty();
    } catch (const EAbsNNTPClient& e) {
        client_.CheckReadable();
        if (!OverviewUnavailable(client_.ReplyCode)) throw;
    }
    // Article numbers of the overview, in rising order within the range; a
    // line we cannot read is left out.
    std::vector<std::pair<std::int64_t, std::size_t>> numbers;
    if (withOverview) {
        std::int64_t previous = g.pointer;
        for (std::size_t i = 0; i < overview.size(); ++i) {
            std::int64_t n = 0;
            if (OverviewNumber(overview[i], n) && n > previous && n <= last) {
                numbers.emplace_back(n, i);
                previous = n;
            } else {
                WriteLog(EAbsNNTPClient::CreateError("Xover", Cut(overview[i])).Message(), 3);
            }
        }
    }
    const std::int64_t wanted =
        withOverview ? static_cast<std::int64_t>(numbers.size()) : last - g.pointer;
    if (status_) status_->SetMsgTotal(status_->MsgTotal() + wanted);
    if (s.DebugLevel > 0) WriteLog("fetching " + std::to_string(wanted) + " articles", 1);

    const int start = SecondsOfDay();
    if (withOverview) {
        for (const auto& [number, line] : numbers)
            Article(g, number, &overview[line]);
        if (!numbers.empty()) g.pointer = numbers.back().first;
    } else {
        for (std::int64_t number = g.pointer + 1; number <= last; ++number)
            Article(g, number, nullptr);
        g.pointer = last;
    }
    int end = SecondsOfDay();
    if (end < start) end += 86400;
    const int elapsed = end - start;
    cps = elapsed > 0 ? groupBytes_ / elapsed : 0;
    ++NewsBatchCounter();
}

void NewsFetch::Article(GroupLine& g, std::int64_t number, const std::string* overview) {
    const RunSettings& s = Settings();
    if (s.DebugLevel > 0) WriteLog("fetching article #" + std::to_string(totalReceived_ + 1), 1);
    header_.clear();
    try {
        if (overview && !score_)
            OverviewToHeader(header_, g.group, *overview);
        else
            client_.HeadByNo(number, &header_);
        const std::string msgId = header_.HeaderValue("Message-ID:");
        const std::string sender = header_.HeaderValue("From:");
        CheckUserAbort();
        tscverdict verdict;
        if (score_) verdict = score_->ScoreHeader(header_);
        if (dupes_.Contains(msgId) || verdict.action == tscskip) {
            if (status_) {
                status_->SetInfo("skipping article #" + std::to_string(number));
                status_->SetMsgTotal(status_->MsgTotal() - 1);
            }
            if (s.DebugLevel > 0) WriteLog("skipping article #" + std::to_string(number), 1);
            ++totalSkipped_;
            header_.clear();
            finished_ = number;
            return;
        }
        if (status_) status_->SetInfo("From: " + sender);
        tscaction action = verdict.action;
        if (phoActive_ && PhoTest(LowerAscii(sender))) {
            action = tschdronly;
            WriteLog("PHO-Filter matched: " + sender, 3);
        }
        if (!g.headerOnly && action != tschdronly) {
            header_.clear();
            client_.ArticleByNo(number, &header_);
        } else {
            MakeHeaderOnly(header_);
        }
        if (score_) InsertHeaderMark(header_, "X-Score: " + std::to_string(verdict.score));
        const std::int64_t size =
            batches_.Append(BatchFileName(spool_, NewsBatchCounter()), header_);
        // Known only once its entry is written.
        dupes_.Add(msgId);
        header_.clear();
        finished_ = number;
        CheckUserAbort();
        ++totalReceived_;
        ++groupReceived_;
        groupBytes_ += size;
        if (status_) {
            status_->SetMsgDone(totalReceived_);
            status_->SetBytesDone(status_->BytesDone() + size);
        }
    } catch (const EAbsNNTPClient& e) {
        // Only an article the server no longer has is passed over; any
        // other refusal concerns the session and ends the job.
        client_.CheckReadable();
        if (client_.ReplyCode != 423) throw;
        header_.clear();
        if (status_) status_->SetMsgTotal(status_->MsgTotal() - 1);
        WriteLog(e.Message(), 3);
        finished_ = number;
    }
}

// Batches on disk first, then the state that points past them.
void NewsFetch::SaveState() {
    batches_.Sync();
    if (rcLoaded_) SaveGroupPointerFile(rcPath_, rcLines_);
    dupes_.Save(dupePath_, static_cast<std::size_t>(std::max(box_.NNTPDUPESIZE, 0)));
}

void NewsFetch::EndPart(bool failing) {
    header_.clear();
    if (!failing) {
        try {
            client_.Disconnect();
        } catch (...) {
            SaveState();
            throw;
        }
        SaveState();
        return;
    }
    // The error that ended the job is the one to report: a QUIT on a lost
    // connection or a second failing save must not replace it.
    try {
        client_.Disconnect();
    } catch (const EsktException&) {
        try {
            client_.TAbsClient::Disconnect();
        } catch (const EsktException&) { /* the socket is gone either way */
        }
    }
    try {
        SaveState();
    } catch (const Exception& e) {
        WriteLog("Error (getnews): " + e.Message(), 3);
    }
}

} // namespace

void GetNews(tbrixconfig& box, bool phoActive, tbrix_scorefile* score) {
    try {
        NewsFetch fetch(box, phoActive, score);
        fetch.Run();
    } catch (const ebrix_break& e) {
        WriteLog(e.Message(), 3);
    } catch (const ebrix_nntp& e) {
        WriteLog("Error (getnews): " + e.Message(), 3);
    } catch (const EsktException& e) {
        WriteLog("Error (getnews): " + e.Message(), 3);
    }
}

} // namespace brix
