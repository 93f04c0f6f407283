#pragma once
// The line-protocol engine under the POP3, SMTP and NNTP clients: connects
// its buffered socket, sends one command at a time, reads and classifies the
// reply (RFC 5321 continuation lines), reads dot-terminated bodies, sends
// dot-stuffed ones, and passes every command and reply line to OnLogLine.
// The protocol classes add only their command texts and success rules.
//
// Use by a job:
//   TPOP3Client client(port);                // Service = port text
//   client.Socket->Timeout = seconds * 1000; // default 60 s per wait
//   client.OnLogLine = ...;                 // "<" commands, ">" replies
//   client.Socket->OnLogLine = ...;         // the socket's progress lines
//   client.Connect(host);                   // greeting, STARTTLS
//   client.Open(login);                     // capabilities, login, extensions
//   ... commands; each refusal raises the client's class with its tag ...
//   client.Disconnect();
// Every error derives from EsktException and its message is
// tag + ". (Error=" + detail + ")".

#include "net/buf_tcp_client_socket.h"
#include "net/skt_exceptions.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brix {

class TSaslMechanism;

// Lines of a message, an article or a list. Lines are kept whole.
using TStrings = std::vector<std::string>;
// Takes each line of a body as it arrives (and may move it away).
using TLineSink = std::function<void(std::string& Line)>;

// A multi-line answer held in memory stops with an error beyond this size,
// so that a server sending without end cannot exhaust memory.
constexpr std::size_t kMaxHeldAnswer = 256u << 20;
// ... and beyond this many lines: each line held costs a string and its
// place in the list beside its bytes, so that a million empty lines (a few
// KiB of deflate) are not free. 2 Mi lines cost about 64 MiB.
constexpr std::size_t kMaxHeldLines = 2u << 20;
// A SASL challenge is read whole up to this size (RFC 4422 sets no limit;
// SCRAM's server-first message with a long nonce or salt passes 255).
constexpr std::size_t kMaxSaslChallenge = 64u << 10;
// How long the rest of a body is read and dropped after its taker failed or
// the user stopped the job, as long as a job waits for its goodbye.
constexpr std::int32_t kAnswerDrainMs = 5'000;
// A command's reply with its continuation lines ("250-...") stops with an
// error beyond this size: real replies are a few lines long, and one that
// never ends would hold the run.
constexpr std::size_t kMaxReplySize = 1u << 20;

BRIX_SKT_EXCEPTION_CLASS(EAbsClient);

// The three-digit code at the start of a reply line (RFC 5321 section 4.2:
// exactly three digits, then a blank, "-" or the end of the line), or 0 when
// the line does not start that way: "2501" or "250x" carry no code.
std::int32_t ReplyCodeOf(const std::string& line);

// Reads Count decimal numbers from the start of Text (leading blanks
// skipped), as POP3 and NNTP replies carry them ("2 320 octets",
// "3 1 3 de.test"): each number must end at a blank or the end of the text;
// whatever follows the last one is ignored. False when a number is missing,
// not decimal or beyond 64 bits. The caller checks the range it needs and
// raises its client error with the command's tag and the reply line.
bool ReplyNumbers(std::string_view Text, int Count, std::int64_t* Values);

// How a client protects its connection: not at all, with the protocol's
// STARTTLS command right after the greeting, or with TLS from the first
// byte (implicit TLS on a port of its own, such as 995, 465 or 563).
enum class TTlsMode { None, StartTls, Tls };

// The word of a box's TLS key: "NONE" (or empty), "STARTTLS" or "TLS", in
// any case. False for any other word.
bool ParseTlsMode(const std::string& Word, TTlsMode& Mode);

// Whether to ask for compression where the server offers it. It costs the
// server CPU time for every byte and pays only where the link, not the
// server, is what limits: left to the link, it is asked for when the
// shortest round trip of the opening dialogue is kCompressFromRttUs or more
// (a far server; one on this machine or the local network answers within a
// millisecond or two, a tunnel's far end shows its own round trip).
enum class TCompress { Never, Always, OnSlowLink };
constexpr std::int64_t kCompressFromRttUs = 10'000;

// What a job brings to the opening dialogue of a session, after the
// greeting: the account, and what to switch on where the server offers it.
struct TServerLogin {
    std::string User;
    // The password or access token; read before the connection was made.
    std::string Secret;
    // How to log in: POP3 "" (USER and PASS), "APOP" or a SASL mechanism's
    // name; SMTP its SMTPAUTH word (LOGIN, AUTO or a SASL mechanism).
    std::string Method;
    // POP3 always logs in; NNTP and SMTP only with a user and a secret.
    bool LogIn = false;
    // The server's extensions asked for after the login, and pipelining and
    // compression switched on from them (the news fetch); POP3 and SMTP
    // learn them in their login dialogue anyway.
    bool Extensions = false;
    TCompress Compress = TCompress::Never;
    // The commands the job asks first once logged in (POP3: UIDL): with a
    // server that pipelines they go out with the login, a round trip
    // earlier; a job that asks for something else has their answers
    // dropped.
    std::vector<std::string> Ahead;
};

class TAbsClient {
  public:
    TAbsClient();
    virtual ~TAbsClient();
    TAbsClient(const TAbsClient&) = delete;
    TAbsClient& operator=(const TAbsClient&) = delete;

    // Reads one reply into LastReply and ReplyCode; continuation lines
    // ("250-...") are read up to the last line, and when Lines is given the
    // text of each line after the first (from its fifth character) is added.
    // A reply line is whole only with its line end: one cut off by the end
    // of the stream, the first included, raises EBufTCPClientSocket
    // "ReadLn: connection closed by the server" and is never taken as a reply.
    virtual void GetResponse(TStrings* Lines = nullptr);
    // Reads the server's verdict on a message whose last byte has been handed
    // over (SMTP's reply to ".", NNTP's to the article after POST).
    // It is the commit point, so it is waited for at least kVerdictTimeout
    // (servers scan the message first, RFC 5321 section 4.5.3.2.6), and an
    // abort during the wait is held up to kVerdictAbortGrace for it: an
    // accepted message must not stay queued to be sent again. VerdictPending
    // stays set when no verdict came.
    void GetVerdict();
    // Connects the socket to Host and Service and reads the greeting into
    // Greeting. Subclasses judge the greeting.
    virtual void Connect(const std::string& Host);
    // The protocol's opening after Connect: capabilities, the login, then
    // pipelining (and compression) where the server offers them. Nothing by
    // default.
    virtual void Open(const TServerLogin& Login) { (void)Login; }
    // What the opening has to say for the run log (an extension refused,
    // the session going on without it).
    std::vector<std::string> OpenNotes;
    // Says the protocol's goodbye (Goodbye) when the connection can take it,
    // then closes the socket and clears Host, Service, LastReply, ReplyCode;
    // Greeting stays.
    virtual void Disconnect();

    // Logs "<" + Cmd, sends it with CR LF, reads the reply. The caller judges
    // ReplyCode. A command sent ahead (SendAhead) is not sent again: its
    // reply is read, after those of the SendLater commands before it.
    void SendCommand(const std::string& Cmd);
    // The same for a command that carries a secret: the log shows Shown.
    void SendSecretCommand(const std::string& Cmd, const std::string& Shown);
    // SendAhead for a command that carries a secret: the log shows Shown.
    bool SendSecretAhead(const std::string& Cmd, const std::string& Shown);
    // One SASL exchange through the protocol's AUTH command, when Offered
    // (the server's list, shown after Listed in the error) names the
    // mechanism; else EAbsClient "Auth MECHANISM not offered by the server"
    // before anything is sent. The first message goes with the command when
    // the line stays within MaxCommand. A refusal raises EAbsClient "Auth
    // MECHANISM" with the server's line; a server that proves itself wrong
    // raises ESasl.
    void Authenticate(TSaslMechanism& Mechanism, std::size_t MaxCommand,
                      const std::vector<std::string>& Offered, const std::string& Listed);
    // The same, collecting continuation lines in Lines.
    void SendCommandLines(const std::string& Cmd, TStrings* Lines);
    // Reads a body up to its "." line, unstuffing leading dots (RFC 1939
    // section 3, RFC 3977 section 3.1.1); Lines gets the lines unless null.
    // A body cut off by the peer before its "." raises EBufTCPClientSocket
    // "ReadLn" (Error=ECONNRESET): a truncated message is never taken as whole.
    // Lines beyond kMaxHeldAnswer bytes raise "ReadLn" (Error=EMSGSIZE).
    void ReadDataLines(TStrings* Lines);
    // The same, each line passed to Sink as it arrives, nothing held.
    void ReadDataLines(const TLineSink& Sink);
    // Queues the lines with dot-stuffing; the terminating "." is the
    // caller's. The lines leave with the caller's next line or read.
    void SendDataLines(const TStrings& Lines);
    // Queues the lines unchanged.
    void SendRawLines(const TStrings& Lines);
    // Passes Line to OnLogLine when assigned. Virtual so that a job's client
    // class can take the lines itself.
    virtual void DoLogLine(const std::string& Line);

    // The connection can still take a goodbye (QUIT): it is open, the peer
    // has not closed it and the stream is in step, no answer in flight.
    bool CanSayGoodbye() const {
        return Socket && Socket->Usable() && !OutOfStep && inFlight_.empty();
    }

    // Pipelining (POP3's PIPELINING of RFC 2449, SMTP's RFC 2920, NNTP's RFC
    // 3977 section 3.5): commands go out before the answers to earlier ones
    // are read, and the answers are read strictly in the order the commands
    // went out. SetPipeline turns it on, for a server that offers it;
    // without it one command is in flight at a time.
    void SetPipeline() { pipelining_ = true; }
    bool Pipelining() const { return pipelining_; }
    // The window bounds the bytes in flight: the commands sent whose answers
    // are not being read yet, and the answers they will bring (as expected:
    // the size a job gives, else the running mean of the answers read). A
    // command goes ahead while they are below it, so they pass it by one
    // answer at most. It starts at a sixty-fourth of kMaxWindow and grows
    // toward twice what the link holds, as the session measures it: the
    // fastest pace at which answers were read times the shortest time from
    // a command's send to its answer's first byte. It never shrinks and
    // never passes kMaxWindow.
    static constexpr std::size_t kMaxWindow = 4u << 20;
    std::size_t Window() const { return window_; }
    // The shortest time from a command's send to its answer's first byte
    // seen so far (0: none yet).
    std::int64_t ShortestRoundTripUs() const { return minRttUs_; }
    std::size_t BytesInFlight() const { return requestBytes_ + answerBytes_; }
    // (Disconnect writes the window reached and the most ever in flight to
    // the transcript: "Pipelining: window N bytes, at most M bytes in
    // flight".)
    //
    // The commands in flight also stay below kAheadBytes, so that a write
    // never blocks on a server that is busy writing its answers (the send
    // buffers of any TCP stack hold that much).
    static constexpr std::size_t kAheadBytes = 8 * 1024;
    // Sends Cmd now, ahead of its turn, when the window is not full (without
    // pipelining: when nothing is in flight); AnswerBytes is the size of its
    // answer when the job knows it, else 0. Without Judge, the operation
    // that gives Cmd in its turn reads its answer, and a job that no longer
    // asks for it has the answer read and dropped: only a command whose
    // answer can be dropped (MayDrop) goes ahead so. With Judge, the judge
    // reads and judges the answer in its turn, as SendLater's. False, and
    // nothing sent, otherwise.
    bool SendAhead(const std::string& Cmd, std::size_t AnswerBytes = 0,
                   std::function<void()> Judge = {});
    // Sends Cmd now, whatever the window; Judge reads and judges its answer
    // when every answer before it has been read (before the next command's
    // answer, or in FinishPipeline). Without pipelining the answers still
    // owed are read first.
    void SendLater(const std::string& Cmd, std::function<void()> Judge,
                   std::size_t AnswerBytes = 0);
    // The same for the "." that ends a message: not a command, so not logged.
    void EndBodyLater(std::function<void()> Judge);
    // Reads the answers still in flight: the judged ones are judged, those
    // of commands sent ahead that no operation asked for in the end are
    // dropped.
    void FinishPipeline();
    // Reads the answers in flight in their order, the judged ones judged and
    // the others dropped, until Reached (asked before each) holds or none is
    // left: a job whose judges record what they read waits so for one of
    // them, and what it sent ahead of that and no longer asks for is gone.
    void ReadUntil(const std::function<bool()>& Reached);
    // After an error or an abort: reads every answer still owed, within
    // CapMs for each wait (the judges of SendLater commands run as in
    // FinishPipeline), so that the stream is in step again and the goodbye
    // can be said; a server that deletes at QUIT (POP3) then commits what
    // was safely stored. Any failure on the way leaves the stream out of
    // step (no goodbye); nothing is raised.
    void Drain(std::int32_t CapMs);
    std::size_t InFlight() const { return inFlight_.size(); }
    // Told before a password or token itself is sent (PASS, AUTHINFO PASS,
    // AUTH LOGIN, PLAIN and the bearer tokens), so that a job can warn of
    // plain text.
    std::function<void()> OnSecret;
    // Told when an operation's command has its turn, before its answer is
    // read: Sent when the operation sent it itself (nothing was ahead of
    // it), else it had gone ahead. A lookahead counts what went out, and
    // fills the room that the answer leaves in the window.
    std::function<void(const std::string& Cmd, bool Sent)> OnTurn;

    std::unique_ptr<TBufTCPClientSocket> Socket;
    std::string Host;
    std::string Service;
    std::string Greeting;  // at most 255 characters
    std::string LastReply; // at most 255 characters
    // The last reply line whole (SASL challenges), up to kMaxSaslChallenge.
    std::string LastLine;
    std::int32_t ReplyCode = 0;
    TOnLogLineProc OnLogLine;
    // TLS for the next Connect. The certificate is always verified, against
    // the system's trust store and the PEM file TlsCAFile when set.
    TTlsMode TlsMode = TTlsMode::None;
    std::string TlsCAFile;
    // SHA-256 digests of server certificates accepted as they are; when
    // set, no other certificate is.
    std::vector<std::string> TlsPins;

    // Ten minutes for a verdict (RFC 5321 section 4.5.3.2.6), or the
    // socket's time-out when that is longer.
    static constexpr std::int32_t kVerdictTimeout = 600'000;
    // How long an abort waits for a verdict that is due.
    static constexpr std::int32_t kVerdictAbortGrace = 30'000;
    // A message was handed over and no verdict on it was read: the server
    // may hold it.
    bool VerdictPending = false;
    // The server said something we did not ask for, or answered for another
    // article: nothing more can be read in step, not even a goodbye.
    bool OutOfStep = false;

  protected:
    // The protocol's goodbye (QUIT); none by default.
    virtual void Goodbye() {}
    // Raises E with Tag and LastReply unless ok.
    template <class E> void Check(bool ok, const char* Tag) const {
        if (!ok) throw E::CreateError(Tag, LastReply);
    }
    // What one reply line says under the protocol's reply rule: its code (0
    // when it has none: the stream is out of step), and whether another line
    // of the same reply follows. Each protocol class has its own rule; the
    // engine reads every reply with it, line by line.
    struct TReplyLine {
        std::int32_t code = 0;
        bool more = false;
    };
    virtual TReplyLine ReplyLine(const std::string& Line) const = 0;
    // The last reply is a SASL challenge; Text gets its Base64 part.
    virtual bool SaslChallenge(std::string& Text) const {
        (void)Text;
        return false;
    }
    // The last reply ends an exchange in success.
    virtual bool SaslSucceeded() const { return false; }
    // Reads the answer to Cmd, sent ahead and no longer wanted, and drops it
    // (with its multi-line body where it has one). False when the session
    // is not in step after it (a DATA or POST that the server now waits to
    // be given text for). The default: one reply, whose 3xx code (SMTP,
    // NNTP) means the server waits for more of the command.
    virtual bool DropAnswer(const std::string& Cmd) {
        (void)Cmd;
        GetResponse(nullptr);
        return ReplyCode < 300 || ReplyCode >= 400;
    }
    // Cmd, sent ahead, may be left unasked: its answer can be read and
    // dropped without changing the session. Commands that change it (POP3's
    // DELE, SMTP's envelope) may not, and go ahead only with their judge.
    virtual bool MayDrop(const std::string& Cmd) const {
        (void)Cmd;
        return false;
    }
    // The answer just dropped refuses more than its command (NNTP's 502 or
    // 400 to an ARTICLE): had the job asked for it, the session would have
    // ended there, so it ends with it all the same.
    virtual bool EndsSession() const { return false; }

    // The command word of a SASL exchange: "AUTH" (POP3, SMTP); IMAP's is
    // a tagged AUTHENTICATE.
    virtual std::string AuthCommand() { return "AUTH"; }
    // The engine for a protocol that reads its answers its own way (IMAP's
    // literals): one line, as GetResponse reads it; and, at the first line
    // of an answer, what the engine counts (the link's measure, the replies
    // read).
    void ReadLine(std::string& Line);
    void AnswerStarted();
    // The command whose answer is being read ("" for the greeting).
    std::string answering_;

  private:
    struct TInFlight {
        std::string command;
        std::function<void()> judge; // empty: its operation reads the answer
        std::size_t answerBytes = 0; // the answer expected, in the window
        bool sized = false;          // answerBytes is the job's, not the mean
        std::int64_t sentUs = 0;
        std::uint64_t readAtSend = 0; // answer bytes read when it went out
    };
    // Runs the judges of the SendLater commands at the front.
    void RunDueJudges();
    // Cmd's answer is still owed (its reader was stopped before it came).
    void Owe(const std::string& Cmd, std::function<void()> Judge);
    // Replies read so far: tells whether a reader stopped before its reply.
    std::uint64_t repliesRead_ = 0;
    // Reads the answers in flight before Cmd's: the judged ones are judged,
    // those of commands sent ahead and not asked for are dropped. Then Cmd
    // is at the front (sent ahead), or nothing is in flight. An empty Cmd
    // reads them all.
    void DropUnasked(const std::string& Cmd);
    // Reads the front answer, sent ahead and not asked for, and drops it.
    void DropFront();
    // Queues Cmd and counts it in flight.
    void Push(const std::string& Cmd, std::function<void()> Judge, std::size_t AnswerBytes,
              bool Log = true);
    // Takes the front command out of flight: its answer is the next to read.
    TInFlight TakeFront();
    // The next answer to be read is that of a command sent at SentUs.
    void BeginAnswer(std::int64_t SentUs, std::uint64_t ReadAtSend, bool Sized);
    // The first line of that answer is in: what it took tells the link.
    void Measure();
    std::size_t ExpectedAnswer() const { return meanAnswer_; }
    std::deque<TInFlight> inFlight_;
    std::size_t requestBytes_ = 0, answerBytes_ = 0, mostInFlight_ = 0;
    bool pipelining_ = false;
    std::size_t window_ = kMaxWindow / 64;
    // What the session has seen: the bytes of answers read, their running
    // mean (of those whose size no job gave), the shortest round trip and
    // the fastest pace of answers (bytes per microsecond).
    std::uint64_t answerRead_ = 0;
    std::size_t meanAnswer_ = 0;
    bool meanKnown_ = false;
    std::int64_t minRttUs_ = 0;
    double maxPace_ = 0;
    // The span of answers whose pace is being taken: when its first answer
    // began and the bytes read by then.
    static constexpr std::uint64_t kPaceSpanBytes = 32u << 10;
    std::int64_t spanStartUs_ = 0;
    std::uint64_t spanStartRead_ = 0;
    // The answer being read.
    struct {
        std::int64_t sentUs = 0;
        std::uint64_t readAtSend = 0, start = 0;
        bool open = false, firstLine = false, sized = false;
    } answer_;
    const std::string* shown_ = nullptr; // what the log shows of the command
};

} // namespace brix
