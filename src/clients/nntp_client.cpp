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

TAbsNNTPClient::TAbsNNTPClient() {
    Service = "nntp";
}

// RFC 3977 section 3.2: one line, three digits, then a blank or the end; no
// reply continues on a second line.
TAbsClient::TReplyLine TAbsNNTPClient::ReplyLine(const std::string& Line) const {
    const std::int32_t code = ReplyCodeOf(Line);
    return {Line.size() > 3 && Line[3] == '-' ? 0 : code, false};
}

bool TAbsNNTPClient::DropAnswer(const std::string& Cmd) {
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

bool TAbsNNTPClient::MayDrop(const std::string& Cmd) const {
    for (const char* verb : {"ARTICLE ", "HEAD ", "BODY ", "STAT ", "XOVER "})
        if (Cmd.starts_with(verb)) return true;
    return false;
}

bool TAbsNNTPClient::EndsSession() const {
    return ReplyCode >= 400 && ReplyCode != 423 && ReplyCode != 430;
}

void TAbsNNTPClient::Command(const std::string& Cmd, const char* Tag, std::int32_t Code) {
    SendCommand(Cmd);
    Check<EAbsNNTPClient>(ReplyCode == Code, Tag);
}

void TAbsNNTPClient::Connect(const std::string& HostName) {
    TAbsClient::Connect(HostName);
    Check<EAbsNNTPClient>(ReplyCode == 200 || ReplyCode == 201, "Connect");
    if (TlsMode == TTlsMode::StartTls) StartTls();
}

void TAbsNNTPClient::StartTls() {
    const std::int32_t greeting = ReplyCode;
    Command("STARTTLS", "STARTTLS refused", 382);
    Socket->StartTls(TlsCAFile, TlsPins);
    // The posting permission is the greeting's (RFC 4642 keeps it).
    ReplyCode = greeting;
}

void TAbsNNTPClient::Goodbye() {
    Quit();
}

bool TAbsNNTPClient::Group(const std::string& Name) {
    SendCommand("GROUP " + Name);
    if (ReplyCode == 211) return true;
    if (ReplyCode == 411) return false;
    throw EAbsNNTPClient::CreateError("Group", LastReply);
}

void TAbsNNTPClient::CheckNamed(const char* Tag, std::int64_t Number, const std::string& MsgId) {
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

void TAbsNNTPClient::Retrieve(const char* Verb, std::int32_t Code, const char* Tag,
                              std::int64_t Number, const std::string& MsgId, TStrings* Lines) {
    Command(std::string(Verb) + " " + (MsgId.empty() ? std::to_string(Number) : "<" + MsgId + ">"),
            Tag, Code);
    CheckNamed(Tag, Number, MsgId);
    if (Code != 223) ReadDataLines(Lines);
}

void TAbsNNTPClient::ArticleById(const std::string& MsgId, TStrings* Lines) {
    Retrieve("ARTICLE", 220, "ArticleById", 0, MsgId, Lines);
}

void TAbsNNTPClient::ArticleByNo(std::int64_t Number, TStrings* Lines) {
    Retrieve("ARTICLE", 220, "ArticleByNo", Number, "", Lines);
}

void TAbsNNTPClient::HeadByNo(std::int64_t Number, TStrings* Lines) {
    Retrieve("HEAD", 221, "HeadByNo", Number, "", Lines);
}

bool TAbsNNTPClient::HasArticle(const std::string& MsgId) {
    SendCommand("STAT <" + MsgId + ">");
    if (ReplyCode == 430) return false;
    Check<EAbsNNTPClient>(ReplyCode == 223, "StatById");
    CheckNamed("StatById", 0, MsgId);
    return true;
}

void TAbsNNTPClient::Transfer(const TStrings& Lines, std::int32_t FinalCode, const char* Tag) {
    SendDataLines(Lines);
    Socket->WriteLn(".");
    GetVerdict();
    Check<EAbsNNTPClient>(ReplyCode == FinalCode, Tag);
}

void TAbsNNTPClient::List(TStrings* Lines) {
    Command("LIST", "List", 215);
    ReadDataLines(Lines);
}

void TAbsNNTPClient::NewGroups(const LocalTime& DateTime, bool GMT,
                               const std::string& Distributions, TStrings* Lines) {
    Command(NewGroupsCommand(DateTime, GMT, Distributions), "NewGroups", 231);
    ReadDataLines(Lines);
}

void TAbsNNTPClient::Post(const TStrings& Lines) {
    Command("POST", "Post", 340);
    Transfer(Lines, 240, "Post: After transfer");
}

void TAbsNNTPClient::Quit() {
    Command("QUIT", "Quit", 205);
}

} // namespace brix
