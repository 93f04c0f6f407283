#include "clients/pop3_client.h"

#include "clients/md5.h"
#include "clients/sasl.h"
#include "net/socket_abort.h"
#include "support/text.h"

#include <limits>

namespace brix {

std::string APOPTimestamp;

std::string APOPTimestampOf(const std::string& greeting) {
    std::size_t open = greeting.find('<');
    if (open == std::string::npos) return greeting;
    std::size_t close = greeting.find('>', open);
    if (close == std::string::npos) return greeting.substr(open);
    return greeting.substr(open, close - open + 1);
}

namespace {
// "+OK" and a blank, then two numbers (RFC 1939 section 5: STAT's count and
// size, a scan listing's number and size).
bool OkNumbers(const std::string& reply, std::int64_t (&values)[2]) {
    return reply.starts_with("+OK") && reply.size() >= 4 && (reply[3] == ' ' || reply[3] == '\t') &&
           ReplyNumbers(std::string_view(reply).substr(4), 2, values);
}
} // namespace

bool ParseStatReply(const std::string& reply, std::int32_t& count, std::int64_t& size) {
    count = 0;
    size = 0;
    std::int64_t values[2];
    if (!OkNumbers(reply, values) || values[0] > std::numeric_limits<std::int32_t>::max())
        return false;
    count = static_cast<std::int32_t>(values[0]);
    size = values[1];
    return true;
}

bool ParseScanListing(const std::string& reply, std::int64_t& size) {
    std::int64_t values[2];
    const bool ok = OkNumbers(reply, values);
    size = ok ? values[1] : 0;
    return ok;
}

TPOP3Client::TPOP3Client(const std::string& Port) {
    Service = Port;
}

// RFC 1939 section 3: one line, "+OK" or "-ERR". Anything but "+OK" is no
// acceptance, which is all the commands ask; no line continues a reply, so
// a "+OK-..." line cannot make the client wait for more.
TAbsClient::TReplyLine TPOP3Client::ReplyLine(const std::string& Line) const {
    return {Line.starts_with("+OK") ? POP3_OK : POP3_ERR, false};
}

bool TPOP3Client::DropAnswer(const std::string& Cmd) {
    GetResponse(nullptr);
    const bool body = Cmd.starts_with("RETR ") || Cmd.starts_with("TOP ") || Cmd == "UIDL" ||
                      Cmd == "LIST" || Cmd == "CAPA";
    if (ReplyCode == POP3_OK && body) ReadDataLines(static_cast<TStrings*>(nullptr));
    return true;
}

bool TPOP3Client::MayDrop(const std::string& Cmd) const {
    return !Cmd.starts_with("DELE");
}

void TPOP3Client::Connect(const std::string& HostName) {
    Capabilities.clear();
    CapaKnown = CapaAsked = false;
    TAbsClient::Connect(HostName);
    Check<EAbsPOP3Client>(ReplyCode == POP3_OK, "Connect");
    APOPTimestamp = APOPTimestampOf(LastReply);
    if (TlsMode == TTlsMode::StartTls) Stls();
}

void TPOP3Client::Stls() {
    Command("STLS", "STARTTLS refused");
    Socket->StartTls(TlsCAFile, TlsPins);
}

void TPOP3Client::Command(const std::string& Cmd, const char* Tag) {
    SendCommand(Cmd);
    Check<EAbsPOP3Client>(ReplyCode == POP3_OK, Tag);
}

void TPOP3Client::User(const std::string& Name) {
    Command("USER " + Name, "User");
}

void TPOP3Client::Pass(const std::string& Password) {
    if (OnSecret) OnSecret();
    SendSecretCommand("PASS " + Password, "PASS ****");
    Check<EAbsPOP3Client>(ReplyCode == POP3_OK, "Pass");
}

// RFC 5034 section 4: "+ " and the Base64 of the challenge; "+OK" ends it.
bool TPOP3Client::SaslChallenge(std::string& Text) const {
    // The whole line: LastReply is cut to the width of a log line.
    if (LastLine != "+" && !LastLine.starts_with("+ ")) return false;
    Text = Trimmed(std::string_view(LastLine).substr(1));
    return true;
}

bool TPOP3Client::SaslSucceeded() const {
    return ReplyCode == POP3_OK;
}

void TPOP3Client::Auth(const std::string& Method, const TSaslAccount& Account) {
    std::unique_ptr<TSaslMechanism> mechanism = MakeSaslMechanism(Method, Account);
    if (!mechanism) throw EAbsPOP3Client::CreateError("Auth: unknown method", Method);
    // Asked before any secret leaves: a server that does not offer the
    // method would only refuse it after seeing the password.
    if (!CapaAsked) ReadCapabilities();
    // The command line holds at most 255 octets with its CR LF.
    Authenticate(*mechanism, 253, OfferedMechanisms(Capabilities, "SASL"),
                 CapaKnown ? "SASL" : "no CAPA");
}

void TPOP3Client::ReadCapabilities() {
    Capabilities.clear();
    CapaKnown = Capa(&Capabilities);
    CapaAsked = true;
}

bool TPOP3Client::Offers(const std::string& Name) const {
    for (const std::string& line : Capabilities) {
        const std::string l = UpperAscii(Trimmed(line));
        if (l == Name || (l.starts_with(Name) && l[Name.size()] == ' ')) return true;
    }
    return false;
}

bool TPOP3Client::Utf8() {
    SendCommand("UTF8");
    return ReplyCode == POP3_OK;
}

void TPOP3Client::Stat(std::int32_t& Count, std::int64_t& Size) {
    Count = 0;
    Size = 0;
    Command("STAT", "Stat");
    Check<EAbsPOP3Client>(ParseStatReply(LastReply, Count, Size), "Stat");
}

void TPOP3Client::ListOneMsg(std::int32_t MsgNo, std::int64_t& Size) {
    Command("LIST " + std::to_string(MsgNo), "ListOneMsg");
    Check<EAbsPOP3Client>(ParseScanListing(LastReply, Size), "ListOneMsg");
}

void TPOP3Client::Retr(std::int32_t MsgNo, TStrings* Lines) {
    Command("RETR " + std::to_string(MsgNo), "Retr");
    ReadDataLines(Lines);
}

void TPOP3Client::Retr(std::int32_t MsgNo, const TLineSink& Sink) {
    Command("RETR " + std::to_string(MsgNo), "Retr");
    ReadDataLines(Sink);
}

void TPOP3Client::DeleLater(std::int32_t MsgNo, std::function<void(bool Accepted)> Done) {
    SendLater("DELE " + std::to_string(MsgNo), DeleJudge(std::move(Done)));
}

std::function<void()> TPOP3Client::DeleJudge(std::function<void(bool Accepted)> Done) {
    return [this, Done = std::move(Done)] {
        GetResponse(nullptr);
        Done(ReplyCode == POP3_OK);
    };
}

bool TPOP3Client::Capa(TStrings* Lines) {
    SendCommand("CAPA");
    if (ReplyCode != POP3_OK) return false;
    ReadDataLines(Lines);
    return true;
}

void TPOP3Client::Rset() {
    Command("RSET", "Rset");
}

void TPOP3Client::Quit() {
    SendCommand("QUIT");
    Check<EAbsPOP3Client>(ReplyCode == POP3_OK && !LastReply.empty(), "Quit");
}

void TPOP3Client::Top(std::int32_t MsgNo, std::int32_t LineCount, TStrings* Lines) {
    Command("TOP " + std::to_string(MsgNo) + " " + std::to_string(LineCount), "Top");
    ReadDataLines(Lines);
}

void TPOP3Client::Uidl(TStrings* Lines) {
    Command("UIDL", "Uidl");
    ReadDataLines(Lines);
}

void TPOP3Client::Apop(const std::string& Name, const std::string& Digest) {
    // The digest stands for the password: it stays out of the logs too.
    SendSecretCommand("APOP " + Name + " " + Digest, "APOP " + Name + " ****");
    Check<EAbsPOP3Client>(ReplyCode == POP3_OK, "Apop");
}

void TPOP3Client::Open(const TServerLogin& Login) {
    ReadCapabilities();
    // RFC 6856: asked for before the login, or a server may rewrite the
    // UTF-8 headers of the messages it hands over.
    if (Offers("UTF8")) Utf8();
    if (!Login.Method.empty() && Login.Method != "APOP") {
        Auth(Login.Method, {Login.User, Login.Secret, Host, Service});
    } else if (Login.Method == "APOP") {
        // RFC 1939 section 7: without the server's own "<...>" the digest
        // would be the same on every login, to be replayed by anyone who saw
        // it once.
        const std::string& stamp = APOPTimestamp;
        if (stamp.size() < 3 || stamp.front() != '<' || stamp.back() != '>')
            throw EAbsPOP3Client::CreateError("Apop: no timestamp in the greeting", Greeting);
        Apop(Login.User, DigestToHex(MD5String(APOPTimestamp + Login.Secret)));
    } else {
        // A server that pipelines (RFC 2449 section 6.6) gets USER, PASS,
        // STAT and what the job asks first in one round: a refused USER
        // still ends the login, and the answers after it are read and
        // dropped before the goodbye.
        if (Offers("PIPELINING") && !Login.User.empty() && !Login.Secret.empty()) {
            SetPipeline();
            SendAhead("USER " + Login.User);
            if (OnSecret) OnSecret();
            SendSecretAhead("PASS " + Login.Secret, "PASS ****");
            SendAhead("STAT");
            for (const std::string& command : Login.Ahead)
                SendAhead(command);
        }
        if (!Login.User.empty()) User(Login.User);
        if (!Login.Secret.empty()) Pass(Login.Secret);
    }
    Stat(MsgCount, MailboxSize);
    // A server that announces PIPELINING takes the commands of the next
    // messages before it has answered this one's; one that does not is
    // asked one command at a time, as ever.
    if (Offers("PIPELINING")) SetPipeline();
}

void TPOP3Client::Goodbye() {
    Quit();
}

void TPOP3Client::Disconnect() {
    TAbsClient::Disconnect();
    MsgCount = 0;
    MailboxSize = 0;
}

} // namespace brix
