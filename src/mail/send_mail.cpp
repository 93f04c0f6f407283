#include "mail/send_mail.h"

#include "context/abort.h"
#include "context/early_connection.h"
#include "context/job.h"
#include "context/log.h"
#include "context/server.h"
#include "context/settings.h"
#include "display/status_screen.h"
#include "mail/outgoing_mail.h"
#include "platform/durable.h"
#include "platform/files.h"
#include "platform/textfile.h"
#include "support/language.h"
#include "support/text.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <vector>

namespace brix {

namespace {

// The send block of the status window; none in verbose mode.
tbrix_sinf* SendStatus() {
    if (Settings().VerboseMode) return nullptr;
    tbrix_info* screen = StatusScreen();
    return screen ? &screen->SmtpLine() : nullptr;
}

struct OutgoingFile {
    std::string name;
    std::int64_t size = 0;
};

// The outgoing files of a spool directory in the order they were queued
// (sorted by name), with their sizes for the counters.
std::vector<OutgoingFile> OutgoingFiles(const std::string& spool) {
    std::vector<OutgoingFile> files;
    for (std::string& name : FindFiles(spool + "m*.out")) {
        struct stat st {};
        std::int64_t size = ::stat((spool + name).c_str(), &st) == 0 ? st.st_size : 0;
        files.push_back({std::move(name), size});
    }
    return files;
}

// A queue file on its way to the server.
struct QueueFile {
    std::string path;
    std::int64_t size = 0;
    OutFile scan;
    // Its first messages that the server accepted.
    std::size_t accepted = 0;
    // The "." of its next message went out and no verdict on it was read.
    bool unanswered = false;
};

// A server's client and, when it was opened ahead of its turn, that
// opening (which closes it unless it had its turn: it goes first).

// One connection to one server of the box and the files of its spool.
class SendSession {
  public:
    // early: this server's connection, opened ahead of its turn (null: it
    // is opened now); next: the next server's, on its way.
    SendSession(const tbrixconfig& box, const ServerProfile& profile, TSMTPClient& client,
                TEarlyConnection* early, TEarlyConnection* next)
        : profile_(profile), spool_(ExtractWord(profile.index, box.SMTPSPOOL)),
          envelope_(box.SMTPENVELOPE.empty()
                        ? std::nullopt
                        : std::optional(ExtractWord(profile.index, box.SMTPENVELOPE))),
          client_(client), early_(early), next_(next) {}

    void Run();

  private:
    void Transfer();
    void SendFile(const OutgoingFile& entry);
    // The file's lines as the scan found them: the greeting at its HELO line,
    // each message's commands at its DATA line, then its text.
    void SendLines(const std::shared_ptr<QueueFile>& file);
    // MAIL FROM, RCPT TO for each recipient, DATA.
    void Envelope(QueueFile& file, const OutMessage& message);
    // Pipelined: MAIL FROM, every RCPT TO and, with one recipient, DATA go
    // out together (RFC 2920), each with its judge; their replies are read
    // in order and each is judged as if it came alone. After a refusal the
    // rest of the replies are read, so that the stream stays in step.
    void ShowRcpt(const std::string& to);
    // A message's "." and its verdict: read at once, or, pipelining, in its
    // turn behind the next message's commands (Judge).
    void EndMessage(const std::shared_ptr<QueueFile>& file);
    void Judge(const std::shared_ptr<QueueFile>& file);
    // Removes a file the server took whole, and counts it.
    void Sent(const QueueFile& file);
    // A file that stays queued: when the server accepted some of its
    // messages, the file keeps only the others. `refused`: the server
    // refused its next message.
    void Keep(const QueueFile& file, bool refused);
    // Keeps the files still on their way, logs the number of files sent and
    // says goodbye; runs on every way out of Transfer.
    void End(bool failing);

    const ServerProfile& profile_;
    std::string spool_;
    // SMTPENVELOPE's sender for every message, when the box sets one.
    std::optional<std::string> envelope_;
    TSMTPClient& client_;
    TEarlyConnection* early_;
    TEarlyConnection* next_;

    // The first file's HELO line decides HELO or EHLO for the connection;
    // the HELO lines of later files are passed over.
    bool greetingSent_ = false;
    bool inText_ = false;
    bool inHeader_ = true;
    // A refusal that comes now concerns the message being sent: from its
    // MAIL FROM until its acceptance.
    bool transaction_ = false;
    // The file whose lines go out, and (pipelining) the one before it while
    // the verdict on its last message is still to be read.
    std::shared_ptr<QueueFile> sending_, judged_;
    int mailNumber_ = 0;
    int sent_ = 0;
    std::int64_t bytesDone_ = 0;
};

void SendSession::Run() {
    RunSession(
        client_, [this] { Transfer(); }, [this](bool failing) { End(failing); });
}

void SendSession::End(bool failing) {
    // The next server's opening has ended before this goodbye holds back
    // the abort check that its waits read.
    if (next_) next_->Settle();
    std::exception_ptr keepError;
    for (std::shared_ptr<QueueFile>* open : {&judged_, &sending_}) {
        const std::shared_ptr<QueueFile> file = std::move(*open);
        if (!file) continue;
        try {
            Keep(*file, false);
        } catch (const Exception& e) {
            // The error that ended the session is the one to report; this
            // one is reported beside it.
            if (failing)
                LogJobError("sendmail", e);
            else if (!keepError)
                keepError = std::current_exception();
        }
    }
    WriteLog(TrCount(sent_, "%s mails sent"), 1);
    // QUIT would be read as the text of a message, or its answer taken for
    // the verdict still owed; after 421 the server closes the channel itself
    // (RFC 5321 section 3.8). A read that failed has put the stream out of
    // step already.
    if (client_.VerdictPending || inText_ || (failing && client_.ReplyCode == 421))
        client_.OutOfStep = true;
    const TGoodbye bye = SayGoodbye(client_, failing);
    if (keepError) std::rethrow_exception(keepError);
    if (bye.error) std::rethrow_exception(bye.error);
}

void SendSession::Transfer() {
    if (early_)
        early_->Take(SendStatus());
    else
        OpenConnection(client_, profile_, "sendmail", SendStatus());
    // The next server's opening ran beside this one's; it ends before the
    // first message goes: the wait for a message's verdict holds an abort
    // back in the socket layer, which the waits of the opening's thread
    // would read.
    if (next_) next_->Settle(true);

    std::vector<OutgoingFile> files = OutgoingFiles(spool_);
    std::int64_t total = 0;
    for (const OutgoingFile& f : files)
        total += f.size;
    CheckUserAbort();

    std::string count = TrCount(static_cast<std::int64_t>(files.size()),
                                "%s mails to send, %s bytes", {std::to_string(total)});
    if (tbrix_sinf* status = SendStatus()) {
        status->SetInfo(count);
        status->SetMsgDone(0);
        status->SetMsgTotal(static_cast<std::int64_t>(files.size()));
        status->SetBytesDone(0);
        status->SetBytesTotal(total);
    }
    WriteLog(count, 1);

    for (const OutgoingFile& file : files)
        SendFile(file);
    // The last file's verdict.
    client_.FinishPipeline();
}

void SendSession::SendFile(const OutgoingFile& entry) {
    const std::string path = spool_ + entry.name;
    ++mailNumber_;
    const std::string number = "mail #" + std::to_string(mailNumber_);
    if (tbrix_sinf* status = SendStatus()) status->SetInfo(number + ": " + path);
    if (Settings().DebugLevel >= 1) WriteLog("sending " + number + ": " + path + "...", 1);

    // The whole file is read before any of it goes out: one the server
    // could only get in part is that file's error, and the dialogue goes on
    // in step with the next one.
    auto file = std::make_shared<QueueFile>();
    file->path = path;
    file->size = entry.size;
    try {
        file->scan = ReadOutgoingFile(path);
    } catch (const EInOutError& e) {
        file->scan.error = e.Message();
    }
    if (!file->scan.error.empty()) {
        LogJobError("sendmail", ebrix_mailfile("Mail file " + path + ": " + file->scan.error +
                                               "; kept for the next run"));
        CheckUserAbort();
        return;
    }
    transaction_ = false;
    sending_ = std::move(file);
    try {
        SendLines(sending_);
    } catch (const EAbsSMTPClient& e) {
        // A permanent refusal concerns this message alone: it stays queued
        // and the rest of the queue goes on (RFC 5321 section 4.2.1, 5yz).
        // Anything else (4yz, a stream out of step) ends the connection.
        if (!transaction_ || client_.OutOfStep || client_.ReplyCode / 100 != 5) throw;
        const std::shared_ptr<QueueFile> refused = std::move(sending_);
        LogJobError("sendmail", e);
        Keep(*refused, true);
        client_.Rset();
        inHeader_ = true;
        CheckUserAbort();
        return;
    }
    // Pipelining, the verdict on its last message comes behind the next
    // file's commands, and the file is counted then.
    if (sending_->unanswered) {
        judged_ = std::move(sending_);
        return;
    }
    const std::shared_ptr<QueueFile> done = std::move(sending_);
    Sent(*done);
}

void SendSession::SendLines(const std::shared_ptr<QueueFile>& file) {
    const OutFile& scan = file->scan;
    std::size_t at = 0, next = 0;
    inText_ = false;
    // Lines go to the socket as they are read: a large message is held
    // neither as a file image nor as a list of lines.
    ForEachSpoolLine(file->path, [&](std::string& line) {
        const std::size_t n = at++;
        if (inText_) {
            OutTextLine out = ApplyTextRules(line, inHeader_);
            if (!out.endsMessage) return client_.DataRawLine(out.text);
            // The batch is dot-stuffed by the host reader, so the text goes
            // out unchanged; the reply to the "." decides whether the server
            // took the message.
            inText_ = false;
            return EndMessage(file);
        }
        if (scan.heloLine == n) {
            if (!greetingSent_) client_.Greet(scan.helo);
            greetingSent_ = true;
        } else if (next < scan.messages.size() && scan.messages[next].dataLine == n) {
            Envelope(*file, scan.messages[next++]);
            inText_ = true;
        }
    });
    // The file changed after it was read: a message without its "." was
    // never handed over, and sending one now would deliver it cut.
    if (inText_ || next != scan.messages.size())
        throw ebrix_mailfile("Mail file " + file->path +
                             " changed while it was sent; kept for the next run");
}

void SendSession::Envelope(QueueFile& file, const OutMessage& message) {
    // A second message of the file: the first one's verdict decides first
    // whether the file goes on.
    if (file.unanswered) client_.FinishPipeline();
    const std::string from = envelope_.value_or(message.from);
    transaction_ = true;
    client_.Envelope(from, message.to, [this](const std::string& to) { ShowRcpt(to); });
}

void SendSession::ShowRcpt(const std::string& to) {
    if (tbrix_sinf* status = SendStatus())
        status->SetInfo("mail #" + std::to_string(mailNumber_) + " [To: " + to + "]");
}

void SendSession::EndMessage(const std::shared_ptr<QueueFile>& file) {
    if (!client_.Pipelining()) {
        try {
            client_.EndData();
        } catch (...) {
            file->unanswered = client_.VerdictPending;
            throw;
        }
        ++file->accepted;
        transaction_ = false;
        return;
    }
    client_.EndDataLater([this, file] { Judge(file); });
    file->unanswered = true;
}

void SendSession::Judge(const std::shared_ptr<QueueFile>& file) {
    // All lines of the file went out: the verdict is read while the next
    // file's commands are on their way.
    const bool last = file != sending_;
    try {
        client_.ReadVerdict();
    } catch (const EAbsSMTPClient& e) {
        file->unanswered = false;
        // Within the file, its refusal is judged as any other of its own.
        if (!last) throw;
        // A refusal concerns the file it ended, never the one being sent.
        if (client_.ReplyCode / 100 != 5) throw EsktException(e.Message());
        if (judged_ == file) judged_.reset();
        LogJobError("sendmail", e);
        Keep(*file, true);
        return;
    }
    file->unanswered = false;
    ++file->accepted;
    if (!last) {
        transaction_ = false;
        return;
    }
    if (judged_ == file) judged_.reset();
    Sent(*file);
}

void SendSession::Sent(const QueueFile& file) {
    RemoveFile(file.path);
    if (Settings().DebugLevel >= 1) WriteLog("done.", 1);
    ++sent_;
    Totals().mailsOut += static_cast<std::int64_t>(file.scan.messages.size());
    bytesDone_ += file.size;
    if (tbrix_sinf* status = SendStatus()) {
        status->SetMsgDone(mailNumber_);
        status->SetBytesDone(bytesDone_);
    }
    // Only now: an abort never makes a delivered file look unsent.
    CheckUserAbort();
}

void SendSession::Keep(const QueueFile& file, bool refused) {
    // SMTP has no way to ask afterwards whether the message arrived.
    if (file.unanswered)
        WriteLog("Mail file " + file.path +
                     " kept for the next run: no answer to its end, the server may hold it "
                     "already",
                 1);
    const std::size_t total = file.scan.messages.size();
    if (file.accepted == 0) {
        if (refused) WriteLog("Mail file " + file.path + " kept for the next run", 1);
        return;
    }
    Totals().mailsOut += static_cast<std::int64_t>(file.accepted);
    // A message the server accepted must not go again: the file keeps the
    // others, byte for byte, and is replaced whole in one step.
    const std::vector<ByteRange> parts = UnsentParts(file.scan, file.accepted);
    try {
        ReplaceFileWith(file.path, [&](const ByteSink& write) {
            std::uint64_t at = 0;
            ReadFileChunks(file.path, [&](std::string_view chunk) {
                for (const ByteRange& part : parts) {
                    const std::uint64_t from = std::max(part.begin, at);
                    const std::uint64_t to = std::min(part.end, at + chunk.size());
                    if (from < to) write(chunk.substr(from - at, to - from));
                }
                at += chunk.size();
            });
        });
    } catch (const EInOutError& e) {
        throw ebrix_mailfile("Mail file " + file.path + ": the server accepted " +
                             std::to_string(file.accepted) + " of its " + std::to_string(total) +
                             " messages, which could not be taken out of it (" + e.Message() +
                             "); the next run sends them again");
    }
    WriteLog("Mail file " + file.path + ": the server accepted " + std::to_string(file.accepted) +
                 " of its " + std::to_string(total) + " messages; the file keeps the " +
                 std::to_string(total - file.accepted) + " not accepted for the next run",
             1);
}

} // namespace

void SendMail(tbrixconfig& box) {
    // Each server is tried, whatever became of the one before; only the
    // user's abort ends the whole job.
    bool stopped = false;
    std::vector<ServerProfile> profiles;
    RunJob("sendmail", [&] { profiles = ServerProfiles(box, TProtocol::Smtp); });
    // The next server is connected to beside the current one's opening.
    ServersInTurn<TSMTPClient>(
        profiles, "sendmail",
        [&](std::size_t i, TSMTPClient& client, TEarlyConnection* early, TEarlyConnection* next) {
            RunJob("sendmail", [&] {
                try {
                    SendSession(box, profiles[i], client, early, next).Run();
                } catch (const ebrix_break&) {
                    stopped = true;
                    throw;
                }
            });
            return !stopped;
        });
}

} // namespace brix
