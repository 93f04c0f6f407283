#include "news/request_job.h"

#include "clients/lookahead.h"
#include "context/abort.h"
#include "context/log.h"
#include "context/settings.h"
#include "display/status_lines.h"
#include "message/msg.h"
#include "support/language.h"
#include "support/text.h"

namespace brix {

namespace {

// A Message-ID we could not send on one command line (RFC 3977 section
// 3.6: no controls, no blanks).
bool Sendable(const std::string& id) {
    if (id.empty()) return false;
    for (char c : id)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    return true;
}

// A record of this box (or "*") that is still to be tried.
bool Taken(const RequestRecord& record) {
    return (EqualsNoCase(record.box, Settings().CurrentBox) || record.box == "*") &&
           record.kind >= 1 && record.kind <= 3 && record.state < 199;
}

} // namespace

void GetRequestedArticles(NewsSession& session, RequestFile& file) {
    const RunSettings& s = Settings();
    tbrix_ninf* status = session.status;
    const std::int64_t count = file.Count();
    if (status) status->SetMsgTotal(status->MsgTotal() + count);
    WriteLog(TrCount(count, "fetching %s articles by Message-ID"), 1);
    std::int64_t own = 0;
    tbrix_msg article;
    TLookahead ahead(session.client, static_cast<std::size_t>(count),
                     [&](std::size_t i, std::vector<TPlanned>& commands) {
                         const RequestRecord record = file.Read(static_cast<std::int64_t>(i));
                         const std::string id = WithoutBrackets(record.messageId);
                         if (Taken(record) && Sendable(id))
                             commands.push_back({"ARTICLE <" + id + ">"});
                         return true;
                     });
    try {
        for (std::int64_t i = 0; i < count; ++i) {
            // Records that are not this run's cost no answer and no check.
            if (i % kLinesPerAbortCheck == kLinesPerAbortCheck - 1) CheckUserAbort();
            ahead.Fill(static_cast<std::size_t>(i));
            RequestRecord record = file.Read(i);
            if (!Taken(record)) {
                if (status) status->SetMsgTotal(status->MsgTotal() - 1);
                continue;
            }
            article.Lines.clear();
            bool unsendable = false;
            try {
                if (s.DebugLevel > 0) WriteLog("fetching article " + record.messageId, 1);
                const std::string id = WithoutBrackets(record.messageId);
                unsendable = !Sendable(id);
                if (unsendable)
                    throw EAbsNNTPClient::CreateError("ArticleById", "invalid Message-ID " + id);
                session.client.ArticleById(id, &article.Lines);
                const std::string msgId = article.HeaderValue("Message-ID:");
                const std::string sender = article.HeaderValue("From:");
                CheckUserAbort();
                if (status) {
                    status->SetGroup(article.HeaderValue("Newsgroups:"));
                    status->SetInfo("From: " + sender);
                }
                InsertHeaderMark(article.Lines, record.kind == 3 ? "X-QV-Mode: ReplaceOwn"
                                                                 : "X-QV-Mode: Message-ID Request");
                session.requireRoom(ArticleSize(article.Lines));
                const std::int64_t size = session.batches.Append(
                    BatchFileName(session.spool, NewsBatchCounter()), article.Lines);
                article.Lines.clear();
                // Known only once its entry is written; done only once that
                // is on disk.
                session.dupes.Add(msgId);
                file.SetState(i, 255);
                CheckUserAbort();
                ++session.totalReceived;
                ++Totals().articlesIn;
                ++own;
                if (status) {
                    status->SetMsgDone(session.totalReceived);
                    status->SetBytesDone(status->BytesDone() + size);
                }
            } catch (const EAbsNNTPClient& e) {
                // Only a missing article (or one we cannot ask for) costs an
                // attempt; any other refusal concerns the session.
                if (!unsendable && session.client.ReplyCode != 430) {
                    session.client.CheckReadable();
                    throw;
                }
                if (status) status->SetMsgTotal(status->MsgTotal() - 1);
                WriteLog(e.Message(), 3);
                file.SetState(i, static_cast<std::uint8_t>(record.state + 1));
            }
        }
        session.client.FinishPipeline();
        ++NewsBatchCounter();
    } catch (...) {
        WriteLog(TrCount(own, "%s articles received"), 1);
        throw;
    }
    WriteLog(TrCount(own, "%s articles received"), 1);
}

} // namespace brix
