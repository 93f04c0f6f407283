#include "mail/send_mail.h"

#include "clients/lookahead.h"
#include "context/abort.h"
#include "context/job.h"
#include "context/log.h"
#include "context/secret.h"
#include "context/settings.h"
#include "display/status_screen.h"
#include "mail/outgoing_mail.h"
#include "platform/files.h"
#include "platform/textfile.h"
#include "support/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace brix {

namespace {

// Commands in flight at most when the server pipelines.
constexpr std::size_t kPipelineWindow = 32;

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

// One connection to one server of the box and the files of its spool.
class SendSession {
  public:
    SendSession(const tbrixconfig& box, int index)
        : box_(box), index_(index), server_(ExtractWord(index, box.SMTPSERVER)),
          port_(SmtpPortOf(box, index)), spool_(ExtractWord(index, box.SMTPSPOOL)), client_(port_) {
        client_.Socket->Timeout = TimeoutMillis(box.SMTPTIMEOUT);
        client_.SetTls(ExtractWord(index, box.SMTPTLS), TlsCAFileOf(box), box.TLSFINGERPRINT);
    }

    void Run();

  private:
    void Transfer();
    void SendFile(const OutgoingFile& file);
    void CommandLine(const std::string& line);
    // The greeting of the first file: EHLO (with AUTH LOGIN when the box
    // asks for it), HELO for a server that refuses EHLO; a server that
    // announces PIPELINING gets the commands of a message in one write.
    void Greet(const std::string& domain);
    // Pipelined: MAIL FROM, every RCPT TO and, with one recipient, DATA go
    // out together (RFC 2920); their replies are read in order and each is
    // judged as if it came alone. After a refusal the rest of the replies
    // are read, so that the stream stays in step.
    void RunGroup();
    void Answer(const OutCommandLine& cmd);
    // A message's "." and its verdict: read at once, or, pipelining, in its
    // turn behind the next message's commands (JudgeLater).
    void EndMessage(const std::string& path);
    void JudgeLater();
    // Deletes a file the server took whole, and counts it.
    void Sent(const std::string& path, std::int64_t size);
    // Logs the number of files sent and closes the connection; runs on
    // every way out of Transfer.
    void End(bool failing);

    std::string Word(const std::string& list) const { return ExtractWord(index_, list); }
    // The greeting authenticates, with this password or token.
    bool authenticating_ = false;
    std::string secret_;

    const tbrixconfig& box_;
    int index_;
    std::string server_, port_, spool_;
    tbrix_smtp client_;

    // The first file's HELO line decides HELO or EHLO for the connection;
    // the HELO lines of later files are passed over.
    bool greetingSent_ = false;
    bool inText_ = false;
    bool inHeader_ = true;
    // A MAIL FROM was sent and its message not yet accepted.
    bool transactionOpen_ = false;
    int acceptedInFile_ = 0;
    // Pipelining: the commands of the message being read, not yet sent.
    std::vector<OutCommandLine> group_;
    // Pipelining: the file whose last verdict is still to be read, and
    // whether it is the file being read.
    struct Pending {
        std::string path;
        std::int64_t size = 0;
        bool inFile = false;
    };
    std::optional<Pending> pending_;
    int mailNumber_ = 0;
    int sent_ = 0;
    std::int64_t bytesDone_ = 0;
};

void SendSession::Run() {
    OpenTranscript(client_, "sendmail " + server_ + ":" + port_);
    RunSession(
        client_, [this] { Transfer(); }, [this](bool failing) { End(failing); });
}

void SendSession::End(bool failing) {
    WriteLog(std::to_string(sent_) + " mails sent", 1);
    if (TGoodbye bye = SayGoodbye(client_, failing); bye.error) std::rethrow_exception(bye.error);
}

void SendSession::Transfer() {
    if (tbrix_sinf* status = SendStatus()) {
        status->SetServer(server_ + ":" + port_);
        status->SetInfo("connecting ...");
    }
    WriteLog("SMTP: " + server_ + ":" + port_, 1);
    // The secret before the connection: a helper command that fails leaves
    // the server untouched.
    authenticating_ = Word(box_.SMTPAUTH) != "KEINE" && !Word(box_.SMTPUSER).empty() &&
                      (!Word(box_.SMTPPASS).empty() || !box_.SMTPPASSCMD.empty());
    if (authenticating_)
        secret_ = SecretOf({"SMTPPASSCMD", box_.SMTPPASSCMD, Word(box_.SMTPPASS), server_, port_,
                            Word(box_.SMTPUSER)});
    WatchForPlainText("sendmail", client_, Word(box_.SMTPUSER));
    client_.Connect(server_);
    CheckUserAbort();

    std::vector<OutgoingFile> files = OutgoingFiles(spool_);
    std::int64_t total = 0;
    for (const OutgoingFile& f : files)
        total += f.size;
    CheckUserAbort();

    std::string count =
        std::to_string(files.size()) + " mails to send, " + std::to_string(total) + " bytes";
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

void SendSession::SendFile(const OutgoingFile& file) {
    const std::string path = spool_ + file.name;
    ++mailNumber_;
    const std::string number = "mail #" + std::to_string(mailNumber_);
    if (tbrix_sinf* status = SendStatus()) status->SetInfo(number + ": " + path);
    if (Settings().DebugLevel >= 1) WriteLog("sending " + number + ": " + path + "...", 1);

    inText_ = false;
    transactionOpen_ = false;
    acceptedInFile_ = 0;
    try {
        // Lines go to the socket as they are read: a large message is held
        // neither as a file image nor as a list of lines.
        ForEachSpoolLine(path, [&](std::string& line) {
            if (!inText_) return CommandLine(line);
            OutTextLine out = ApplyTextRules(line, inHeader_);
            if (!out.endsMessage) return client_.DataRawLine(out.text);
            // The batch is dot-stuffed by the host reader, so the text goes
            // out unchanged; the reply to the "." decides whether the server
            // took the message.
            inText_ = false;
            EndMessage(path);
        });
    } catch (const EAbsSMTPClient& e) {
        // A permanent refusal concerns this message alone: it stays queued
        // and the rest of the queue goes on (RFC 5321 section 4.2.1, 5yz).
        // Anything else (4yz, a stream out of step) ends the connection.
        if (!transactionOpen_ || client_.OutOfStep || client_.ReplyCode / 100 != 5) throw;
        LogJobError("sendmail", e);
        WriteLog("Mail file " + path + " kept for the next run", 1);
        client_.Rset();
        inHeader_ = true;
        CheckUserAbort();
        return;
    } catch (...) {
        // SMTP has no way to ask afterwards whether the message arrived.
        if (client_.VerdictPending)
            WriteLog("Mail file " + path +
                         " kept for the next run: no answer to its end, the server may hold it "
                         "already",
                     1);
        throw;
    }
    // A message without its "." was never handed over (no "." was sent);
    // sending one now would deliver a truncated message.
    if (inText_ || (transactionOpen_ && !pending_) || (acceptedInFile_ == 0 && !pending_) ||
        !group_.empty())
        throw ebrix_mailfile("Mail file " + path +
                             " ends before the \".\" of its message; kept for the next run");
    // Pipelining, the verdict on its last message comes behind the next
    // file's commands, and the file is counted then.
    if (pending_) {
        pending_->size = file.size;
        pending_->inFile = false;
        return;
    }
    Sent(path, file.size);
}

void SendSession::Sent(const std::string& path, std::int64_t size) {
    if (Settings().DebugLevel >= 1) WriteLog("done.", 1);
    if (::unlink(path.c_str()) != 0) ThrowInOutError(path, errno);
    ++sent_;
    bytesDone_ += size;
    if (tbrix_sinf* status = SendStatus()) {
        status->SetMsgDone(mailNumber_);
        status->SetBytesDone(bytesDone_);
    }
    // Only now: an abort never makes a delivered file look unsent.
    CheckUserAbort();
}

void SendSession::EndMessage(const std::string& path) {
    if (client_.Window() == 1) {
        client_.EndData();
        transactionOpen_ = false;
        ++acceptedInFile_;
        return;
    }
    pending_ = Pending{path, 0, true};
    client_.EndDataLater([this] { JudgeLater(); });
}

void SendSession::JudgeLater() {
    const Pending done = *pending_;
    pending_.reset();
    if (done.inFile) {
        // A second message of the same file follows: this one's refusal is
        // that file's, judged there as ever.
        client_.ReadVerdict();
        transactionOpen_ = false;
        ++acceptedInFile_;
        return;
    }
    // Read while the next file's commands are on their way: a refusal
    // concerns the file it ended, never the one being sent.
    try {
        client_.ReadVerdict();
    } catch (const EAbsSMTPClient& e) {
        if (client_.ReplyCode / 100 != 5) throw EsktException(e.Message());
        LogJobError("sendmail", e);
        WriteLog("Mail file " + done.path + " kept for the next run", 1);
        return;
    } catch (...) {
        if (client_.VerdictPending)
            WriteLog("Mail file " + done.path +
                         " kept for the next run: no answer to its end, the server may hold it "
                         "already",
                     1);
        client_.VerdictPending = false;
        throw;
    }
    Sent(done.path, done.size);
}

void SendSession::RunGroup() {
    std::vector<OutCommandLine> group;
    group.swap(group_);
    // With more recipients DATA waits for their replies: after a refused
    // one, a DATA already taken could only deliver to the others.
    const bool dataAhead = std::count_if(group.begin(), group.end(), [](const OutCommandLine& c) {
                               return c.command == OutCommand::RcptTo;
                           }) == 1;
    if (dataAhead) group.push_back({OutCommand::Data, ""});
    std::vector<std::string> wire;
    for (const OutCommandLine& c : group)
        wire.push_back(c.command == OutCommand::MailFrom ? "MAIL FROM: <" + c.argument + ">"
                       : c.command == OutCommand::RcptTo ? "RCPT TO: <" + c.argument + ">"
                                                         : "DATA");
    TLookahead ahead(client_, wire.size(), [&](std::size_t i, std::vector<std::string>& out) {
        out.push_back(wire[i]);
        return true;
    });
    std::size_t i = 0;
    try {
        for (; i < group.size(); ++i) {
            ahead.Fill(i);
            Answer(group[i]);
        }
    } catch (const EAbsSMTPClient&) {
        const std::int32_t code = client_.ReplyCode;
        bool taken = false; // a DATA that the server took despite it all
        for (++i; i < wire.size() && client_.IsAhead(wire[i]); ++i) {
            client_.SendCommand(wire[i]);
            taken = wire[i] == "DATA" && client_.ReplyCode == 354;
        }
        // RFC 2920 section 3.1: with no recipient left, a lone "." ends it
        // and delivers nothing.
        if (taken) {
            client_.Socket->WriteLn(".");
            client_.GetResponse(nullptr);
        }
        client_.ReplyCode = code;
        throw;
    }
    if (!dataAhead) Answer({OutCommand::Data, ""});
}

void SendSession::Answer(const OutCommandLine& cmd) {
    switch (cmd.command) {
    case OutCommand::MailFrom:
        transactionOpen_ = true;
        client_.Mail(cmd.argument);
        break;
    case OutCommand::RcptTo:
        if (tbrix_sinf* status = SendStatus())
            status->SetInfo("mail #" + std::to_string(mailNumber_) + " [To: " + cmd.argument + "]");
        client_.Rcpt(cmd.argument);
        break;
    default:
        client_.Data();
        inText_ = true;
        break;
    }
}

void SendSession::Greet(const std::string& domain) {
    TStrings extensions;
    if (authenticating_)
        client_.Ehlo(domain, &extensions, Word(box_.SMTPAUTH), Word(box_.SMTPUSER), secret_);
    else if (!client_.Ehlo(domain, &extensions))
        client_.Helo(domain);
    for (const std::string& extension : extensions)
        if (UpperAscii(Trimmed(extension)) == "PIPELINING") client_.SetPipeline(kPipelineWindow);
}

void SendSession::CommandLine(const std::string& line) {
    OutCommandLine cmd = ParseCommandLine(line);
    switch (cmd.command) {
    case OutCommand::Helo:
        if (!greetingSent_) Greet(cmd.argument);
        greetingSent_ = true;
        break;
    case OutCommand::MailFrom:
        // A second message of the file: the first one's verdict decides
        // first whether the file goes on.
        if (pending_ && pending_->inFile) client_.FinishPipeline();
        if (!box_.SMTPENVELOPE.empty()) cmd.argument = Word(box_.SMTPENVELOPE);
        [[fallthrough]];
    case OutCommand::RcptTo:
        if (client_.Window() > 1) {
            transactionOpen_ = true;
            group_.push_back(cmd);
        } else {
            Answer(cmd);
        }
        break;
    case OutCommand::Data:
        if (client_.Window() > 1)
            RunGroup();
        else
            Answer(cmd);
        break;
    case OutCommand::Other:
        // QUIT (the connection is closed after the last file), RSET, empty
        // lines.
        break;
    }
}

} // namespace

void SendMail(tbrixconfig& box) {
    RunJob("sendmail", [&] {
        const int servers = WordCount(box.SMTPSERVER);
        for (int i = 1; i <= servers; ++i)
            SendSession(box, i).Run();
    });
}

} // namespace brix
