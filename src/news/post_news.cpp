#include "news/post_news.h"

#include "clients/nntp_client.h"
#include "context/abort.h"
#include "context/job.h"
#include "context/log.h"
#include "context/server.h"
#include "context/settings.h"
#include "display/status_screen.h"
#include "message/mailer_tag.h"
#include "message/msg.h"
#include "news/dupes.h"
#include "news/group_pointers.h"
#include "news/overview.h"
#include "news/request_file.h"
#include "platform/durable.h"
#include "platform/files.h"
#include "support/errors.h"
#include "support/language.h"

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

// Beside a queued article while its posting is under way and after one that
// ended without the server's verdict: the file's name + ".sent", holding the
// article's Message-ID. No pattern of the host reader matches it.
std::string MarkerOf(const std::string& path) {
    return path + ".sent";
}

// The Message-ID a marker holds; "" when there is no marker.
std::string MarkedId(const std::string& path) {
    const std::string marker = MarkerOf(path);
    if (!EntryExists(marker)) return {};
    std::vector<std::string> lines = ReadLines(marker);
    return lines.empty() ? std::string() : lines.front();
}

void RemoveMarker(const std::string& path) {
    const std::string marker = MarkerOf(path);
    if (::unlink(marker.c_str()) != 0 && errno != ENOENT) ThrowInOutError(marker, errno);
}

class PostSession {
  public:
    PostSession(const tbrixconfig& box, const ServerProfile& profile,
                std::vector<QueuedArticle> files)
        : box_(box), profile_(profile), files_(std::move(files)),
          dupeFile_(Settings().QvPath + kDupeFileName) {}
    void Run();

  private:
    void Transfer();
    void PostFile(const QueuedArticle& file);
    // STAT of an article whose earlier posting ended without a verdict.
    bool HeldByServer(const std::string& messageId);
    // The server holds the article: the file leaves the queue.
    void Posted(const std::string& path, const std::string& messageId, std::int64_t size,
                const std::string& number);
    void End(bool failing);

    const tbrixconfig& box_;
    const ServerProfile& profile_;
    std::vector<QueuedArticle> files_;
    TNNTPClient client_;
    std::string dupeFile_;
    IdSet dupes_;
    int begun_ = 0;  // articles whose posting was begun: "article #n"
    int posted_ = 0; // articles the server accepted
    std::int64_t bytesDone_ = 0;
};

void PostSession::Run() {
    dupes_ = LoadDupes(dupeFile_);
    RunSession(
        client_,
        [&] {
            OpenConnection(client_, profile_, "postnews", PostStatus());
            Transfer();
        },
        [this](bool failing) { End(failing); });
}

void PostSession::Transfer() {
    std::int64_t total = 0;
    for (const QueuedArticle& f : files_)
        total += f.size;
    CheckUserAbort();
    const std::string count = TrCount(static_cast<std::int64_t>(files_.size()),
                                      "%s articles to post, %s bytes", {std::to_string(total)});
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
        article.Lines = ReadLines(path);
    } catch (const EInOutError& e) {
        // Gone or unreadable since the listing: that file's problem alone.
        LogJobError("postnews", e);
        return;
    }
    AddNewsreaderVia(article.Lines);
    const std::string messageId = article.HeaderValue("Message-ID:");
    const std::string number = "article #" + std::to_string(++begun_);
    // An earlier posting of this very article ended without a verdict: the
    // server may hold it already, and a second posting would double it.
    const bool unsure = !messageId.empty() && MarkedId(path) == messageId;
    if (unsure && HeldByServer(messageId)) {
        WriteLog("News file " + path + ": the server holds " + messageId + " already", 1);
        return Posted(path, messageId, file.size, number);
    }
    try {
        if (tbrix_ninf* status = PostStatus()) {
            status->SetGroup(article.HeaderValue("Newsgroups:"));
            status->SetInfo("posting " + number);
        }
        // Marked before the article leaves, so that even a run killed while
        // the server holds its verdict leaves the mark for the next one.
        if (!messageId.empty() && !unsure) ReplaceFile(MarkerOf(path), messageId + "\n");
        client_.Post(article.Lines);
    } catch (const EAbsNNTPClient& e) {
        // An answer we cannot read leaves the stream out of step: that ends
        // the job. A refusal concerns this article alone: it stays queued,
        // and the job has failed for it, but the next article may pass.
        client_.CheckReadable();
        RemoveMarker(path);
        LogJobError("postnews", e);
        WriteLog("News file " + path + " kept for the next run", 1);
        CheckUserAbort();
        return;
    } catch (...) {
        // Not handed over whole, the article cannot be on the server: the
        // mark would only cost the next run a question.
        if (!client_.VerdictPending)
            ::unlink(MarkerOf(path).c_str());
        else
            WriteLog("News file " + path +
                         " kept for the next run: the server may hold it already, which the "
                         "next run asks before posting it again",
                     1);
        throw;
    }
    Posted(path, messageId, file.size, number);
}

bool PostSession::HeldByServer(const std::string& messageId) {
    try {
        return client_.HasArticle(WithoutBrackets(messageId));
    } catch (const EAbsNNTPClient& e) {
        // A server that cannot say (no STAT, an id it will not take): the
        // article is posted again rather than held back for ever.
        client_.CheckReadable();
        if (client_.OutOfStep) throw;
        WriteLog(e.Message(), 3);
        return false;
    }
}

void PostSession::Posted(const std::string& path, const std::string& messageId, std::int64_t size,
                         const std::string& number) {
    // From here on the article must never be posted again.
    dupes_.Add(messageId);
    ++posted_;
    ++Totals().articlesOut;
    if (Settings().DebugLevel > 0) WriteLog(number + " posted", 1);
    bytesDone_ += size;
    if (tbrix_ninf* status = PostStatus()) {
        status->SetInfo(number + " posted");
        status->SetMsgDone(posted_);
        status->SetBytesDone(bytesDone_);
    }
    // The request first, on disk before the file goes: a failed write must
    // leave the file queued (its mark makes the next run ask the server),
    // never the request lost, not even by a power loss. An article without
    // Message-ID got one from the server, which this job cannot know; a
    // request for "" could only fail.
    DataBeforeState written;
    if (box_.NNTPREPLACEOWN && !messageId.empty()) {
        const std::string requests = ResolveName(Settings().QvPath + kRequestFileName);
        AppendRequestRecord(requests, RequestRecord{3, 0, "*", messageId});
        written.Written(requests);
    }
    written.FlushThenSave([&] { RemoveFile(path); });
    RemoveMarker(path);
    // Only now: an abort never makes a posted article look unposted.
    CheckUserAbort();
}

void PostSession::End(bool failing) {
    WriteLog(TrCount(posted_, "%s articles posted"), 1);
    const TGoodbye bye = SayGoodbye(client_, failing);
    // Saved whatever QUIT did: the articles are on the server.
    SaveDupes(dupeFile_, dupes_, box_.NNTPDUPESIZE);
    if (bye.error) std::rethrow_exception(bye.error);
}

} // namespace

void PostNews(tbrixconfig& box) {
    // Marks whose article has left the queue (posted, or taken back by the
    // reader) have nothing left to say.
    for (const std::string& marker : FindFiles(box.NNTPSPOOL + "n*.out.sent"))
        if (!EntryExists(box.NNTPSPOOL + marker.substr(0, marker.size() - 5)))
            ::unlink((box.NNTPSPOOL + marker).c_str());
    std::vector<QueuedArticle> files;
    for (std::string& name : FindFiles(box.NNTPSPOOL + "n*.out")) {
        struct stat st {};
        std::int64_t size = ::stat((box.NNTPSPOOL + name).c_str(), &st) == 0 ? st.st_size : 0;
        files.push_back({std::move(name), size});
    }
    if (files.empty()) return;
    RunJob("postnews", [&] {
        for (const ServerProfile& profile : ServerProfiles(box, TProtocol::Nntp))
            PostSession(box, profile, std::move(files)).Run();
    });
}

} // namespace brix
