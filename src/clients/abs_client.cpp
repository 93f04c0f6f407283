#include "clients/abs_client.h"

#include "clients/base64.h"
#include "clients/sasl.h"
#include "net/socket_abort.h"
#include "net/tls_layer.h"
#include "support/dot_stuffing.h"
#include "support/text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace brix {

std::int32_t ReplyCodeOf(const std::string& line) {
    if (line.size() < 3) return 0;
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return 0;
    std::int32_t code = 0;
    for (int i = 0; i < 3; ++i) {
        char c = line[static_cast<std::size_t>(i)];
        if (c < '0' || c > '9') return 0;
        code = code * 10 + (c - '0');
    }
    return code;
}

bool ReplyNumbers(std::string_view Text, int Count, std::int64_t* Values) {
    std::size_t pos = 0;
    auto blank = [&](std::size_t i) { return Text[i] == ' ' || Text[i] == '\t'; };
    for (int n = 0; n < Count; ++n) {
        while (pos < Text.size() && blank(pos))
            ++pos;
        std::size_t start = pos;
        while (pos < Text.size() && Text[pos] >= '0' && Text[pos] <= '9')
            ++pos;
        if (pos == start || (pos < Text.size() && !blank(pos))) return false;
        if (!LeadingInt64(Text.substr(start, pos - start), Values[n])) return false;
    }
    return true;
}

TAbsClient::TAbsClient() : Socket(std::make_unique<TBufTCPClientSocket>()) {}

TAbsClient::~TAbsClient() = default;

void TAbsClient::DoLogLine(const std::string& Line) {
    if (OnLogLine) OnLogLine(Cut(Line));
}

void TAbsClient::Connect(const std::string& HostName) {
    if (Service.empty()) throw EAbsClient::CreateError("Connect: No service specified", "");
    if (!Socket)
        throw EAbsClient::CreateError(
            "Connect: Socket is not initialized (Service=" + Service + ")", "");
    Host = Cut(HostName);
    OutOfStep = VerdictPending = false;
    answering_.clear();
    inFlight_.clear();
    requestBytes_ = answerBytes_ = 0;
    // A new session measures its own link, and pipelines once its server
    // has offered it.
    pipelining_ = false;
    window_ = kMaxWindow / 64;
    mostInFlight_ = 0;
    answerRead_ = 0;
    meanAnswer_ = 0;
    meanKnown_ = false;
    minRttUs_ = 0;
    spanStartUs_ = 0;
    spanStartRead_ = 0;
    maxPace_ = 0;
    answer_ = {};
    Socket->Connect(HostName, Service);
    if (TlsMode == TTlsMode::Tls) Socket->StartTls(TlsCAFile, TlsPins);
    GetResponse(nullptr);
    Greeting = LastReply;
}

void TAbsClient::Disconnect() {
    if (pipelining_ && Socket->Handle != -1)
        DoLogLine("Pipelining: window " + std::to_string(window_) + " bytes, at most " +
                  std::to_string(mostInFlight_) + " bytes in flight");
    // The goodbye runs to its end (or its time-out) even after an abort; a
    // connection that never opened, was closed or is out of step gets none.
    if (CanSayGoodbye()) {
        TSocketAbortHold hold;
        Goodbye();
    }
    Socket->Disconnect();
    Host.clear();
    Service.clear();
    LastReply.clear();
    ReplyCode = 0;
}

namespace {
std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The end of the stream came where a line was due.
[[noreturn]] void RaiseClosed() {
    throw EBufTCPClientSocket::CreateError("ReadLn: connection closed by the server", ECONNRESET);
}
} // namespace

void TAbsClient::ReadLine(std::string& Line) {
    try {
        answerRead_ += static_cast<std::uint64_t>(Socket->ReadLn(Line)) + 2;
    } catch (const EsktException&) {
        // Whatever came of the answer is lost: nothing after it can be read
        // in step, not even a goodbye's answer.
        OutOfStep = true;
        throw;
    } catch (...) {
        // An abort while waiting: only a line begun is lost with it.
        if (!Line.empty()) OutOfStep = true;
        throw;
    }
}

void TAbsClient::AnswerStarted() {
    ++repliesRead_;
    if (answer_.firstLine) Measure();
}

void TAbsClient::GetResponse(TStrings* Lines) {
    std::string line;
    ReadLine(line);
    if (!Socket->LastLineEnded()) {
        OutOfStep = true;
        RaiseClosed();
    }
    AnswerStarted();
    LastReply = Cut(line);
    DoLogLine(">" + LastReply);
    TReplyLine reply = ReplyLine(line);
    std::size_t held = line.size();
    try {
        while (reply.more) {
            ReadLine(line);
            // A server that never sends the last line must not hold the run.
            held += line.size() + 2;
            if (held > kMaxReplySize) throw EBufTCPClientSocket::CreateError("ReadLn", EMSGSIZE);
            if (!Socket->LastLineEnded()) RaiseClosed();
            LastReply = Cut(line);
            if (Lines) Lines->push_back(line.size() > 4 ? line.substr(4) : std::string());
            DoLogLine(">" + LastReply);
            // Every line is held to the rule: one without a code means the
            // stream is out of step, whatever the lines before it said.
            reply = ReplyLine(line);
        }
    } catch (...) {
        OutOfStep = true; // the rest of the reply is still to come
        throw;
    }
    // The last line of a multi-line reply decides (RFC 5321 section 4.2.1):
    // "250-accepted" followed by "554 rejected" is a refusal.
    ReplyCode = reply.code;
    LastLine = std::move(line);
}

void TAbsClient::GetVerdict() {
    VerdictPending = true;
    const std::int32_t saved = Socket->Timeout;
    Socket->Timeout = std::max(saved > 0 ? saved : kDefaultSocketTimeout, kVerdictTimeout);
    try {
        TSocketAbortDefer grace(kVerdictAbortGrace);
        GetResponse(nullptr);
    } catch (...) {
        Socket->Timeout = saved;
        throw;
    }
    Socket->Timeout = saved;
    VerdictPending = false;
}

void TAbsClient::SendCommand(const std::string& Cmd) {
    SendCommandLines(Cmd, nullptr);
}

void TAbsClient::SendSecretCommand(const std::string& Cmd, const std::string& Shown) {
    shown_ = &Shown;
    try {
        SendCommandLines(Cmd, nullptr);
    } catch (...) {
        shown_ = nullptr;
        throw;
    }
    shown_ = nullptr;
}

bool TAbsClient::SendSecretAhead(const std::string& Cmd, const std::string& Shown) {
    shown_ = &Shown;
    bool sent = false;
    try {
        sent = SendAhead(Cmd);
    } catch (...) {
        shown_ = nullptr;
        throw;
    }
    shown_ = nullptr;
    return sent;
}

void TAbsClient::SendCommandLines(const std::string& Cmd, TStrings* Lines) {
    DropUnasked(Cmd);
    const bool sent = inFlight_.empty();
    answering_ = Cmd;
    if (sent) {
        DoLogLine("<" + (shown_ ? *shown_ : Cmd));
        BeginAnswer(NowUs(), answerRead_, false);
        Socket->WriteLn(Cmd);
    } else {
        TakeFront(); // Cmd's, sent ahead
    }
    const std::uint64_t before = repliesRead_;
    try {
        if (OnTurn) OnTurn(Cmd, sent);
        GetResponse(Lines);
    } catch (...) {
        // Stopped before its answer came (an abort): the answer is still
        // owed, and a goodbye must first read it.
        if (repliesRead_ == before && !OutOfStep) Owe(Cmd, nullptr);
        throw;
    }
}

void TAbsClient::Owe(const std::string& Cmd, std::function<void()> Judge) {
    inFlight_.push_front({Cmd, std::move(Judge)});
    requestBytes_ += Cmd.size() + 2;
}

void TAbsClient::DropUnasked(const std::string& Cmd) {
    // A job that decided otherwise than it planned (a message it now passes
    // over, an article it already has) never asks for what went ahead: the
    // answers are read and dropped in their turn, so the stream stays in
    // step, and Cmd then goes in its own. Only commands whose answers may be
    // dropped go ahead without a judge, so none of them is lost here.
    for (;;) {
        RunDueJudges();
        if (inFlight_.empty() || (!Cmd.empty() && inFlight_.front().command == Cmd)) return;
        DropFront();
    }
}

void TAbsClient::DropFront() {
    const std::string cmd = TakeFront().command;
    try {
        if (!DropAnswer(cmd)) OutOfStep = true;
    } catch (...) {
        OutOfStep = true;
        throw;
    }
    if (OutOfStep)
        throw EAbsClient::CreateError("Pipelining: the answer to " + cmd + " left the session",
                                      LastReply);
    if (EndsSession()) throw EAbsClient::CreateError("Pipelining: " + cmd + " refused", LastReply);
}

void TAbsClient::ReadUntil(const std::function<bool()>& Reached) {
    while (!Reached() && !inFlight_.empty()) {
        if (inFlight_.front().judge)
            RunDueJudges();
        else
            DropFront();
    }
}

void TAbsClient::Push(const std::string& Cmd, std::function<void()> Judge, std::size_t AnswerBytes,
                      bool Log) {
    if (Log) DoLogLine("<" + (shown_ ? *shown_ : Cmd));
    // Queued, not sent: the commands of one round leave in one segment, at
    // the next read.
    Socket->QueueLn(Cmd);
    const bool sized = AnswerBytes > 0;
    // No answer counts for more than the whole window (an overview's
    // byte count can say anything).
    AnswerBytes = std::min(sized ? AnswerBytes : ExpectedAnswer(), kMaxWindow);
    inFlight_.push_back({Cmd, std::move(Judge), AnswerBytes, sized, NowUs(), answerRead_});
    requestBytes_ += Cmd.size() + 2;
    answerBytes_ += AnswerBytes;
    mostInFlight_ = std::max(mostInFlight_, BytesInFlight());
}

TAbsClient::TInFlight TAbsClient::TakeFront() {
    TInFlight f = std::move(inFlight_.front());
    inFlight_.pop_front();
    answering_ = f.command;
    requestBytes_ -= f.command.size() + 2;
    answerBytes_ -= f.answerBytes;
    BeginAnswer(f.sentUs, f.readAtSend, f.sized);
    return f;
}

bool TAbsClient::SendAhead(const std::string& Cmd, std::size_t AnswerBytes,
                           std::function<void()> Judge) {
    // Without pipelining one command is in flight at a time.
    if (!pipelining_ && !inFlight_.empty()) return false;
    // Sent ahead without its judge, a command may end up unasked; one whose
    // answer changes the session must then not be dropped unread.
    if (!Judge && !MayDrop(Cmd)) return false;
    if (BytesInFlight() >= window_) return false;
    if (!inFlight_.empty() && requestBytes_ + Cmd.size() + 2 > kAheadBytes) return false;
    Push(Cmd, std::move(Judge), AnswerBytes);
    return true;
}

void TAbsClient::SendLater(const std::string& Cmd, std::function<void()> Judge,
                           std::size_t AnswerBytes) {
    // A server that does not pipeline gets one command at a time: the
    // answers still owed are read first.
    if (!pipelining_) FinishPipeline();
    Push(Cmd, std::move(Judge), AnswerBytes);
}

void TAbsClient::EndBodyLater(std::function<void()> Judge) {
    if (!pipelining_) FinishPipeline();
    Push(".", std::move(Judge), 0, false);
}

void TAbsClient::BeginAnswer(std::int64_t SentUs, std::uint64_t ReadAtSend, bool Sized) {
    // The answer before is whole now: its size teaches the mean, unless a
    // job gave it (those are not what the mean stands in for).
    if (answer_.open && !answer_.sized) {
        const std::size_t size = static_cast<std::size_t>(answerRead_ - answer_.start);
        meanAnswer_ = meanKnown_ ? meanAnswer_ - meanAnswer_ / 8 + size / 8 : size;
        meanKnown_ = true;
    }
    answer_.sentUs = SentUs;
    answer_.readAtSend = ReadAtSend;
    answer_.start = answerRead_;
    answer_.open = answer_.firstLine = true;
    answer_.sized = Sized;
}

void TAbsClient::Measure() {
    answer_.firstLine = false;
    // An answer owed after an abort tells nothing of the link.
    if (answer_.sentUs == 0) return;
    const std::int64_t trip = NowUs() - answer_.sentUs;
    if (trip <= 0) return;
    // The shortest trip is the link's own: a longer one also waited behind
    // the answers before it. What was read meanwhile shows the pace the
    // link (or this end) keeps while the pipeline is full.
    minRttUs_ = minRttUs_ > 0 ? std::min(minRttUs_, trip) : trip;
    const std::int64_t now = answer_.sentUs + trip;
    const double pace =
        static_cast<double>(answerRead_ - answer_.readAtSend) / static_cast<double>(trip);
    maxPace_ = std::max(maxPace_, pace);
    // Measured from each command's send alone, the pace only doubles per
    // round trip, however wide the link: what a round brought, it brought
    // in one trip. The pace at which the answers of a round come in shows
    // the link's own width. It is taken over spans of kPaceSpanBytes, so
    // that answers that came together in one segment do not pass for an
    // endless link.
    if (spanStartUs_ == 0 || now <= spanStartUs_) {
        spanStartUs_ = now;
        spanStartRead_ = answerRead_;
    } else if (answerRead_ - spanStartRead_ >= kPaceSpanBytes) {
        maxPace_ = std::max(maxPace_, static_cast<double>(answerRead_ - spanStartRead_) /
                                          static_cast<double>(now - spanStartUs_));
        spanStartUs_ = now;
        spanStartRead_ = answerRead_;
    }
    // Twice what the link holds keeps it busy while the answers of one
    // round are read; a window that limited the pace so far doubles with it.
    const double holds = 2 * maxPace_ * static_cast<double>(minRttUs_);
    if (holds > static_cast<double>(window_))
        window_ =
            holds >= static_cast<double>(kMaxWindow) ? kMaxWindow : static_cast<std::size_t>(holds);
}

void TAbsClient::RunDueJudges() {
    while (!inFlight_.empty() && inFlight_.front().judge) {
        TInFlight f = TakeFront();
        const std::uint64_t before = repliesRead_;
        try {
            f.judge();
        } catch (...) {
            // Stopped before its answer came: the judge runs again when the
            // answer is read (Drain), so that its bookkeeping is not lost.
            if (repliesRead_ == before && !OutOfStep) Owe(f.command, std::move(f.judge));
            throw;
        }
    }
}

void TAbsClient::FinishPipeline() {
    DropUnasked("");
}

void TAbsClient::Drain(std::int32_t CapMs) {
    if (inFlight_.empty() || OutOfStep || !Socket || !Socket->Usable()) return;
    const std::int32_t saved = Socket->Timeout;
    Socket->Timeout = std::min(saved > 0 ? saved : CapMs, CapMs);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(CapMs);
    try {
        while (!inFlight_.empty() && !OutOfStep) {
            // Answers still owed in bulk (a window of articles on a slow
            // link) are not worth more than the goodbye's wait.
            if (std::chrono::steady_clock::now() >= until) {
                OutOfStep = true;
                break;
            }
            if (inFlight_.front().judge) {
                RunDueJudges();
                continue;
            }
            const std::string cmd = TakeFront().command;
            if (!DropAnswer(cmd)) OutOfStep = true;
        }
    } catch (...) {
        // The first error is the one the job reports; this one only means
        // that no goodbye can be said.
        OutOfStep = true;
    }
    Socket->Timeout = saved;
}

namespace {
// How often a loop over lines that may all be buffered already (a deflated
// answer) looks for the user's abort.
constexpr std::size_t kLinesPerAbortPoll = 4096;
} // namespace

void TAbsClient::ReadDataLines(TStrings* Lines) {
    std::size_t held = 0;
    ReadDataLines([&](std::string& line) {
        if (!Lines) return;
        held += line.size() + 2;
        if (held > kMaxHeldAnswer || Lines->size() >= kMaxHeldLines)
            throw EBufTCPClientSocket::CreateError("ReadLn", EMSGSIZE);
        Lines->push_back(std::move(line));
    });
}

void TAbsClient::ReadDataLines(const TLineSink& Sink) {
    // The body as a whole must keep coming: a line per time-out is not
    // enough to hold the run.
    TAnswerPaceScope pace(*Socket);
    std::string line;
    // The taker of the lines failed (a full disk) or the user stopped the
    // job: the rest of the body is read and dropped, for a while, so that
    // the stream stays in step for the goodbye; then the failure goes on.
    std::exception_ptr failed;
    std::chrono::steady_clock::time_point until;
    auto fail = [&] {
        if (failed) {
            OutOfStep = true;
            throw; // a second failure: the user means it
        }
        failed = std::current_exception();
        until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerDrainMs);
    };
    for (std::size_t n = 1;; ++n) {
        try {
            ReadLine(line);
        } catch (const EsktException&) {
            throw;
        } catch (...) {
            if (OutOfStep) throw;
            fail();
            continue;
        }
        bool ended = Socket->LastLineEnded();
        if (line == ".") {
            // a final "." without its line end still ends the body
            if (failed) std::rethrow_exception(failed);
            return;
        }
        if (!ended) {
            OutOfStep = true;
            RaiseClosed();
        }
        if (failed) {
            if (std::chrono::steady_clock::now() < until) continue;
            OutOfStep = true;
            std::rethrow_exception(failed);
        }
        try {
            Unstuff(line);
            Sink(line);
            line.clear();
            if (n % kLinesPerAbortPoll == 0) PollSocketAbort();
        } catch (const EsktException&) {
            OutOfStep = true; // the taker's own protocol error (a size limit)
            throw;
        } catch (...) {
            fail();
        }
    }
}

void TAbsClient::SendDataLines(const TStrings& Lines) {
    for (const std::string& line : Lines)
        Socket->QueueLn(line.starts_with('.') ? std::string_view(Stuffed(line)) : line);
}

void TAbsClient::SendRawLines(const TStrings& Lines) {
    for (const std::string& line : Lines)
        Socket->QueueLn(line);
}

bool ParseTlsMode(const std::string& Word, TTlsMode& Mode) {
    std::string w = UpperAscii(Word);
    if (w.empty() || w == "NONE")
        Mode = TTlsMode::None;
    else if (w == "STARTTLS")
        Mode = TTlsMode::StartTls;
    else if (w == "TLS")
        Mode = TTlsMode::Tls;
    else
        return false;
    return true;
}

// RFC 4422 section 3 over the protocol's AUTH (RFC 5034, RFC 4954): the
// first message goes with the command when it fits the line, else after the
// server's empty challenge; every challenge is answered in Base64, or with
// "*" when it makes no sense; a server that proves itself wrong is refused
// with "*" too. No line we send is logged but as "****".
void TAbsClient::Authenticate(TSaslMechanism& Mechanism, std::size_t MaxCommand,
                              const std::vector<std::string>& Offered, const std::string& Listed) {
    const std::string tag = std::string("Auth ") + Mechanism.Name();
    // Before any secret leaves: a server that does not offer the method
    // would only refuse it after seeing the password.
    if (std::find(Offered.begin(), Offered.end(), Mechanism.Name()) == Offered.end()) {
        std::string what = Listed;
        for (const std::string& name : Offered)
            what += " " + name;
        throw EAbsClient::CreateError(tag + " not offered by the server", what);
    }
    std::optional<std::string> first = Mechanism.First();
    std::string command = AuthCommand() + " " + Mechanism.Name();
    const std::string shownCommand = command;
    if (first) {
        const std::string inline_ = first->empty() ? "=" : Base64Encode(*first);
        if (command.size() + 1 + inline_.size() <= MaxCommand) {
            command += " " + inline_;
            first.reset();
        }
    }
    if (OnSecret && Mechanism.RevealsSecret()) OnSecret();
    SendSecretCommand(command, command == shownCommand ? command : shownCommand + " ****");
    // A server asks a few rounds at most; one that never stops is cancelled.
    std::string challenge;
    for (int round = 0; SaslChallenge(challenge); ++round) {
        if (challenge.size() > kMaxSaslChallenge) {
            SendSecretCommand("*", "*");
            throw EAbsClient::CreateError(tag, "a challenge of " +
                                                   std::to_string(challenge.size()) +
                                                   " bytes, more than any method needs");
        }
        std::optional<std::string> answer;
        std::string decoded;
        if (first) {
            answer = std::move(first);
            first.reset();
        } else if (round < 8 && Base64Decode(challenge, decoded)) {
            try {
                answer = Mechanism.Answer(decoded);
            } catch (const ESasl&) {
                SendSecretCommand("*", "*");
                throw;
            }
        }
        if (!answer) {
            SendSecretCommand("*", "*");
            break;
        }
        SendSecretCommand(Base64Encode(*answer), answer->empty() ? "" : "****");
    }
    if (!SaslSucceeded()) throw EAbsClient::CreateError(tag, LastReply);
    if (!Mechanism.MayEnd())
        throw ESasl::CreateError(tag,
                                 "the server accepted us without proving it knows the password");
}

} // namespace brix
