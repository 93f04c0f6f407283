#include "clients/nntp_client.h"

#include "net/socket_abort.h"
#include "support/text.h"

#include <algorithm>
#include <cstdio>

namespace brix {

std::string FormatNewsDateTime(const LocalTime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d%02d%02d %02d%02d%02d", ((t.year % 100) + 100) % 100,
                  t.month % 100, t.day % 100, t.hour % 100, t.minute % 100, t.second % 100);
    return text;
}

std::string NewGroupsCommand(const LocalTime& DateTime, bool GMT,
                             const std::string& Distributions) {
    // RFC 3977 section 7.3: "NEWGROUPS date time [GMT]", nothing after the
    // last word; servers that split on single blanks take a trailing one
    // for an empty argument.
    return "NEWGROUPS " + FormatNewsDateTime(DateTime) + (GMT ? " GMT" : "") +
           (Distributions.empty() ? std::string() : " <" + Distributions + ">");
}

TNNTPClient::TNNTPClient(const std::string& Port) {
    Service = Port;
}

// RFC 3977 section 3.2: one line, three digits, then a blank or the end; no
// reply continues on a second line.
TAbsClient::TReplyLine TNNTPClient::ReplyLine(const std::string& Line) const {
    const std::int32_t code = ReplyCodeOf(Line);
    return {Line.size() > 3 && Line[3] == '-' ? 0 : code, false};
}

bool TNNTPClient::DropAnswer(const std::string& Cmd) {
    (void)Cmd;
    GetResponse(nullptr);
    switch (ReplyCode) {
    case 100:
    case 101:
    case 215:
    case 220:
    case 221:
    case 222:
    case 224:
    case 230:
    case 231:
        ReadDataLines(static_cast<TStrings*>(nullptr));
        return true;
    default:
        return ReplyCode != 0 && (ReplyCode < 300 || ReplyCode >= 400);
    }
}

bool TNNTPClient::MayDrop(const std::string& Cmd) const {
    for (const char* verb : {"ARTICLE ", "HEAD ", "BODY ", "STAT ", "XOVER "})
        if (Cmd.starts_with(verb)) return true;
    return false;
}

bool TNNTPClient::EndsSession() const {
    return ReplyCode >= 400 && ReplyCode != 423 && ReplyCode != 430;
}

void TNNTPClient::Command(const std::string& Cmd, const char* Tag, std::int32_t Code) {
    SendCommand(Cmd);
    Check<EAbsNNTPClient>(ReplyCode == Code, Tag);
}

void TNNTPClient::Connect(const std::string& HostName) {
    TAbsClient::Connect(HostName);
    Check<EAbsNNTPClient>(ReplyCode == 200 || ReplyCode == 201, "Connect");
    if (TlsMode == TTlsMode::StartTls) StartTls();
}

void TNNTPClient::StartTls() {
    const std::int32_t greeting = ReplyCode;
    Command("STARTTLS", "STARTTLS refused", 382);
    Socket->StartTls(TlsCAFile, TlsPins);
    // The posting permission is the greeting's (RFC 4642 keeps it).
    ReplyCode = greeting;
}

void TNNTPClient::Goodbye() {
    Quit();
}

void TNNTPClient::CheckNamed(const char* Tag, std::int64_t Number, const std::string& MsgId) {
    // "220 n <id>": the number (0 when asked by Message-ID), then the id.
    // Servers that name neither are taken at their word.
    std::string_view rest =
        std::string_view(LastReply).substr(std::min<std::size_t>(4, LastReply.size()));
    const std::size_t blank = rest.find(' ');
    const std::string_view number = rest.substr(0, blank);
    std::string_view id =
        blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    id = id.substr(0, id.find(' '));
    std::int64_t named = 0;
    bool other;
    if (MsgId.empty())
        other = ReplyNumbers(number, 1, &named) && named != Number;
    else
        // Compared without regard to case: servers may store the domain
        // part as the poster wrote it (RFC 5536 section 3.1.3).
        other = id.starts_with('<') && !EqualsNoCase(id, "<" + MsgId + ">");
    if (!other) return;
    OutOfStep = true;
    throw EAbsNNTPClient::CreateError(std::string(Tag) + ": answer for another article", LastReply);
}

void TNNTPClient::Retrieve(const char* Verb, std::int32_t Code, const char* Tag,
                           std::int64_t Number, const std::string& MsgId, TStrings* Lines) {
    Command(std::string(Verb) + " " + (MsgId.empty() ? std::to_string(Number) : "<" + MsgId + ">"),
            Tag, Code);
    CheckNamed(Tag, Number, MsgId);
    if (Code != 223) ReadDataLines(Lines);
}

void TNNTPClient::ArticleById(const std::string& MsgId, TStrings* Lines) {
    Retrieve("ARTICLE", 220, "ArticleById", 0, MsgId, Lines);
}

void TNNTPClient::ArticleByNo(std::int64_t Number, TStrings* Lines) {
    Retrieve("ARTICLE", 220, "ArticleByNo", Number, "", Lines);
}

void TNNTPClient::HeadByNo(std::int64_t Number, TStrings* Lines) {
    Retrieve("HEAD", 221, "HeadByNo", Number, "", Lines);
}

bool TNNTPClient::HasArticle(const std::string& MsgId) {
    SendCommand("STAT <" + MsgId + ">");
    if (ReplyCode == 430) return false;
    Check<EAbsNNTPClient>(ReplyCode == 223, "StatById");
    CheckNamed("StatById", 0, MsgId);
    return true;
}

void TNNTPClient::Transfer(const TStrings& Lines, std::int32_t FinalCode, const char* Tag) {
    SendDataLines(Lines);
    Socket->WriteLn(".");
    GetVerdict();
    Check<EAbsNNTPClient>(ReplyCode == FinalCode, Tag);
}

void TNNTPClient::List(TStrings* Lines) {
    Command("LIST", "List", 215);
    ReadDataLines(Lines);
}

void TNNTPClient::NewGroups(const LocalTime& DateTime, bool GMT, const std::string& Distributions,
                            TStrings* Lines) {
    Command(NewGroupsCommand(DateTime, GMT, Distributions), "NewGroups", 231);
    ReadDataLines(Lines);
}

void TNNTPClient::Post(const TStrings& Lines) {
    Command("POST", "Post", 340);
    Transfer(Lines, 240, "Post: After transfer");
}

void TNNTPClient::Quit() {
    Command("QUIT", "Quit", 205);
}

std::string XoverCommand(std::int64_t First, std::int64_t Last) {
    std::string cmd = "XOVER " + std::to_string(First);
    if (Last > First) cmd += "-" + std::to_string(Last);
    return cmd;
}

void TNNTPClient::Xover(TStrings* Lines, std::int64_t First, std::int64_t Last) {
    Command(XoverCommand(First, Last), "Xover", 224);
    ReadDataLines(Lines);
}

bool TNNTPClient::GroupInfo(const std::string& Name, std::int64_t& Count, std::int64_t& First,
                            std::int64_t& Last) {
    SendCommand("GROUP " + Name);
    return GroupAnswer(ReplyCode, LastReply, Count, First, Last);
}

bool GroupAnswer(std::int32_t Code, const std::string& Reply, std::int64_t& Count,
                 std::int64_t& First, std::int64_t& Last) {
    if (Code == 411) return false;
    if (Code != 211) throw EAbsNNTPClient::CreateError("Group", Reply);
    // "211 count first last group" (RFC 3977 section 6.1.1); the tag names
    // the first number that cannot be read.
    const std::string_view rest =
        std::string_view(Reply).substr(std::min<std::size_t>(3, Reply.size()));
    std::int64_t values[3];
    const char* tags[] = {"Group - articlecount", "Group - articlestart", "Group - articleend"};
    for (int n = 1; n <= 3; ++n)
        if (!ReplyNumbers(rest, n, values)) throw EAbsNNTPClient::CreateError(tags[n - 1], Reply);
    Count = values[0];
    First = values[1];
    Last = values[2];
    return true;
}

LocalTime TNNTPClient::ServerDate() {
    Command("DATE", "Date", 111);
    std::int64_t parts[6] = {};
    const std::size_t at[6] = {4, 8, 10, 12, 14, 16};
    const std::size_t len[6] = {4, 2, 2, 2, 2, 2};
    for (int i = 0; i < 6; ++i)
        Check<EAbsNNTPClient>(
            LastReply.size() >= at[i] + len[i] &&
                DigitsInt64(std::string_view(LastReply).substr(at[i], len[i]), parts[i]),
            "Date");
    LocalTime t;
    t.year = static_cast<int>(parts[0]);
    t.month = static_cast<int>(parts[1]);
    t.day = static_cast<int>(parts[2]);
    t.hour = static_cast<int>(parts[3]);
    t.minute = static_cast<int>(parts[4]);
    t.second = static_cast<int>(parts[5]);
    return t;
}

void TNNTPClient::Authinfo(const std::string& User, const std::string& Password) {
    Command("AUTHINFO USER " + User, "Authinfo user", 381);
    if (OnSecret) OnSecret();
    SendSecretCommand("AUTHINFO PASS " + Password, "AUTHINFO PASS ****");
    Check<EAbsNNTPClient>(ReplyCode == 281, "Authinfo pass");
}

bool TNNTPClient::Capabilities(TStrings* Lines) {
    SendCommand("CAPABILITIES");
    if (ReplyCode != 101) return false;
    ReadDataLines(Lines);
    return true;
}

bool TNNTPClient::Compress() {
    SendCommand("COMPRESS DEFLATE");
    // Until 206 nothing has changed on the wire: a refusal leaves the session
    // as it was (RFC 8054 section 2.2.2), but an answer that cannot be read
    // leaves it out of step.
    if (ReplyCode != 206) {
        CheckReadable();
        return false;
    }
    Socket->StartCompression();
    return true;
}

void TNNTPClient::Disconnect() {
    const std::string counts = Socket->CompressionCounts();
    if (!counts.empty()) DoLogLine("COMPRESS DEFLATE: " + counts);
    TAbsClient::Disconnect();
}

void TNNTPClient::Open(const TServerLogin& Login) {
    if (Login.LogIn) Authinfo(Login.User, Login.Secret);
    if (!Login.Extensions) return;
    TStrings capabilities;
    Capabilities(&capabilities);
    auto offers = [&](std::string_view what) {
        return std::any_of(capabilities.begin(), capabilities.end(), [&](const std::string& c) {
            const std::string line = UpperAscii(Trimmed(c));
            return line.starts_with(what) &&
                   (line.size() == what.size() || line[what.size()] == ' ');
        });
    };
    // A mode-switching server (RFC 3977 section 5.3) reads articles only
    // after MODE READER, and then says anew what it offers.
    if (offers("MODE-READER") && !offers("READER")) {
        SendCommand("MODE READER");
        Check<EAbsNNTPClient>(ReplyCode == 200 || ReplyCode == 201, "Mode reader");
        capabilities.clear();
        Capabilities(&capabilities);
    }
    if (offers("VERSION 2")) SetPipeline();
    const bool wanted =
        Login.Compress == TCompress::Always ||
        (Login.Compress == TCompress::OnSlowLink && ShortestRoundTripUs() >= kCompressFromRttUs);
    // RFC 8054 section 2.2: the list of COMPRESS names the algorithms.
    const bool offered =
        std::any_of(capabilities.begin(), capabilities.end(), [](const std::string& c) {
            const std::string l = UpperAscii(Trimmed(c));
            return l.starts_with("COMPRESS ") && l.find(" DEFLATE") != std::string::npos;
        });
    const bool deflate = wanted && offered;
    if (Login.Compress == TCompress::OnSlowLink && offered)
        DoLogLine(std::string("COMPRESS DEFLATE ") + (wanted ? "asked for" : "not asked for") +
                  ": shortest round trip " + std::to_string(ShortestRoundTripUs() / 1000) + "." +
                  std::to_string(ShortestRoundTripUs() / 100 % 10) + " ms");
    if (deflate && !Compress())
        OpenNotes.push_back("COMPRESS DEFLATE refused: " + LastReply + "; going on uncompressed");
}

void TNNTPClient::CheckReadable() {
    if (ReplyCode != 0) return;
    OutOfStep = true;
    throw EBufTCPClientSocket::CreateError("ReadLn: reply without a status code", LastReply);
}

bool AnswerNamesArticle(const std::string& Reply, std::int64_t Number) {
    std::int64_t named = 0;
    return Reply.size() > 4 && ReplyNumbers(std::string_view(Reply).substr(4), 1, &named) &&
           named == Number;
}

bool AnswerNamesGroup(const std::string& Reply, const std::string& Group) {
    // The fifth word: after the code and the three numbers.
    std::size_t at = 0;
    for (int word = 0; word < 4 && at != std::string::npos; ++word)
        at = Reply.find_first_not_of(' ', Reply.find(' ', at));
    return at != std::string::npos && Reply.compare(at, Reply.find(' ', at) - at, Group) == 0;
}

} // namespace brix
