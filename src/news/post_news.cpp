#include "news/post_news.h"

#include "display/status_screen.h"
#include "frame/abort.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "mail/msg.h"
#include "mail/outgoing_mail.h"
#include "news/brix_nntp.h"
#include "news/group_pointers.h"
#include "news/news_spool.h"
#include "platform/files.h"
#include "support/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

namespace brix {

void AddNewsreaderVia(std::vector<std::string>& article) {
    static const std::string kVia = std::string(", via ") + kMailerTag;
    for (std::string& line : article) {
        if (line.empty()) break;
        if (line.starts_with("X-Newsreader: ")) line += kVia;
    }
}

namespace {

tbrix_ninf* PostStatus() {
    if (Settings().VerboseMode) return nullptr;
    tbrix_info* screen = StatusScreen();
    return screen ? &screen->NewsLines(1) : nullptr;
}

struct QueuedArticle {
    std::string name;
    std::int64_t size = 0;
};

class PostSession {
  public:
    PostSession(const tbrixconfig& box, std::vector<QueuedArticle> files)
        : box_(box), files_(std::move(files)), client_(box.NNTPPORT),
          dupeFile_(Settings().QvPath + kDupeFileName) {
        client_.Socket->Timeout = TimeoutMillis(std::to_string(box.NNTPTIMEOUT));
        client_.SetTls(box.NNTPTLS, TlsCAFileOf(box));
    }
    void Run();

  private:
    void Transfer();
    void PostFile(const QueuedArticle& file);
    void End(bool failing);

    const tbrixconfig& box_;
    std::vector<QueuedArticle> files_;
    tbrix_nntp client_;
    std::string dupeFile_;
    NewsDupes dupes_;
    int posted_ = 0; // every article whose posting was begun
    std::int64_t bytesDone_ = 0;
};

void PostSession::Run() {
    const RunSettings& s = Settings();
    dupes_.Load(dupeFile_);
    const std::string where = box_.NNTPSERVER + ":" + box_.NNTPPORT;
    if (s.DebugLevel > 0) {
        client_.OnLogLine = tbrix_nntp::LogLine;
        if (s.DebugLevel > 1) client_.Socket->OnLogLine = tbrix_nntp::LogLine;
        client_.DoLogLine("");
        AppendBoxLog("postnews " + where, true);
    }
    try {
        if (tbrix_ninf* status = PostStatus()) {
            status->SetServer(where);
            status->SetInfo("connecting ...");
        }
        WriteLog("NNTP: " + where, 1);
        client_.Connect(box_.NNTPSERVER);
        CheckUserAbort();
        Transfer();
    } catch (...) {
        End(true);
        throw;
    }
    End(false);
}

void PostSession::Transfer() {
    if (!box_.NNTPUSER.empty() && !box_.NNTPPASS.empty()) {
        if (tbrix_ninf* status = PostStatus()) status->SetInfo("newsserver authentification");
        WriteLog("newsserver authentification ...", 1);
        client_.Authinfo(box_.NNTPUSER, box_.NNTPPASS);
    }
    std::int64_t total = 0;
    for (const QueuedArticle& f : files_)
        total += f.size;
    CheckUserAbort();
    const std::string count =
        std::to_string(files_.size()) + " articles to post, " + std::to_string(total) + " bytes";
    if (tbrix_ninf* status = PostStatus()) {
        status->SetInfo(count);
        status->SetMsgDone(0);
        status->SetMsgTotal(static_cast<std::int64_t>(files_.size()));
        status->SetBytesDone(0);
        status->SetBytesTotal(total);
    }
    WriteLog(count, 1);
    for (const QueuedArticle& file : files_)
        PostFile(file);
}

void PostSession::PostFile(const QueuedArticle& file) {
    const std::string path = box_.NNTPSPOOL + file.name;
    tbrix_msg article;
    try {
        static_cast<std::vector<std::string>&>(article) = ReadLines(path);
    } catch (const EInOutError& e) {
        // Gone or unreadable since the listing: that file's problem alone.
        WriteLog("Error (postnews): " + e.Message(), 3);
        return;
    }
    AddNewsreaderVia(article);
    // Read before POST, which dot-stuffs the lines in place.
    const std::string messageId = article.HeaderValue("Message-ID:");
    const std::string number = "article #" + std::to_string(++posted_);
    try {
        if (tbrix_ninf* status = PostStatus()) {
            status->SetGroup(article.HeaderValue("Newsgroups:"));
            status->SetInfo("posting " + number);
        }
        client_.Post(article);
    } catch (const EAbsNNTPClient& e) {
        // A refusal concerns this article alone: it stays queued.
        WriteLog(e.Message(), 3);
        WriteLog("News file " + path + " kept for the next run", 1);
        CheckUserAbort();
        return;
    }
    // Accepted (240): from here on the article must never be posted again.
    if (!messageId.empty() && !dupes_.Contains(messageId)) dupes_.Add(messageId);
    if (Settings().DebugLevel > 0) WriteLog(number + " posted", 1);
    bytesDone_ += file.size;
    if (tbrix_ninf* status = PostStatus()) {
        status->SetInfo(number + " posted");
        status->SetMsgDone(posted_);
        status->SetBytesDone(bytesDone_);
    }
    if (::unlink(path.c_str()) != 0) ThrowInOutError(path, errno);
    // An article without Message-ID got one from the server, which this job
    // cannot know; a request for "" could only fail.
    if (box_.NNTPREPLACEOWN && !messageId.empty())
        AppendRequestRecord(Settings().QvPath + kRequestFileName,
                            RequestRecord{3, 0, "*", messageId});
    // Only now: an abort never makes a posted article look unposted.
    CheckUserAbort();
}

void PostSession::End(bool failing) {
    WriteLog(std::to_string(posted_) + " articles posted", 1);
    std::exception_ptr quitError;
    try {
        client_.Disconnect();
    } catch (const EsktException&) {
        // On a lost connection QUIT fails too; the error that ended the job
        // is the one to report.
        client_.Socket->Disconnect();
        if (!failing) quitError = std::current_exception();
    }
    // Saved whatever QUIT did: the articles are on the server.
    dupes_.Save(dupeFile_, static_cast<std::size_t>(std::max(box_.NNTPDUPESIZE, 0)));
    if (quitError) std::rethrow_exception(quitError);
}

} // namespace

void PostNews(tbrixconfig& box) {
    std::vector<QueuedArticle> files;
    for (std::string& name : FindFiles(box.NNTPSPOOL + "n*.out")) {
        struct stat st {};
        std::int64_t size = ::stat((box.NNTPSPOOL + name).c_str(), &st) == 0 ? st.st_size : 0;
        files.push_back({std::move(name), size});
    }
    if (files.empty()) return;
    try {
        PostSession session(box, std::move(files));
        session.Run();
    } catch (const ebrix_break& e) {
        WriteLog(e.Message(), 3);
    } catch (const ebrix_nntp& e) {
        WriteLog("Error (postnews): " + e.Message(), 3);
    } catch (const EsktException& e) {
        WriteLog("Error (postnews): " + e.Message(), 3);
    }
}

} // namespace brix
