#include "news/brix_nntp.h"

#include "context/config.h"
#include "context/log.h"
#include "context/secret.h"
#include "support/text.h"

#include <cerrno>
#include <charconv>

namespace brix {

namespace {

bool Digits(std::string_view text, std::int64_t& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && ptr == text.data() + text.size();
}

} // namespace

tbrix_nntp::tbrix_nntp(const std::string& Port) {
    Service = Port;
}

void tbrix_nntp::Xover(TStrings* Lines, std::int64_t First, std::int64_t Last) {
    std::string cmd = "XOVER " + std::to_string(First);
    if (Last > First) cmd += "-" + std::to_string(Last);
    Command(cmd, "Xover", 224);
    ReadDataLines(Lines);
}

bool tbrix_nntp::GroupInfo(const std::string& Name, std::int64_t& Count, std::int64_t& First,
                           std::int64_t& Last) {
    SendCommand("GROUP " + Name);
    if (ReplyCode == 411) return false;
    Check<EAbsNNTPClient>(ReplyCode == 211, "Group");
    // "211 count first last group" (RFC 3977 section 6.1.1); the tag names
    // the first number that cannot be read.
    const std::string_view rest = std::string_view(LastReply).substr(3);
    std::int64_t values[3];
    const char* tags[] = {"Group - articlecount", "Group - articlestart", "Group - articleend"};
    for (int n = 1; n <= 3; ++n)
        Check<EAbsNNTPClient>(ReplyNumbers(rest, n, values), tags[n - 1]);
    Count = values[0];
    First = values[1];
    Last = values[2];
    return true;
}

LocalTime tbrix_nntp::ServerDate() {
    Command("DATE", "Date", 111);
    std::int64_t parts[6] = {};
    const std::size_t at[6] = {4, 8, 10, 12, 14, 16};
    const std::size_t len[6] = {4, 2, 2, 2, 2, 2};
    for (int i = 0; i < 6; ++i)
        Check<EAbsNNTPClient>(
            LastReply.size() >= at[i] + len[i] &&
                Digits(std::string_view(LastReply).substr(at[i], len[i]), parts[i]),
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

void tbrix_nntp::Authinfo(const std::string& User, const std::string& Password) {
    Command("AUTHINFO USER " + User, "Authinfo user", 381);
    if (OnSecret) OnSecret();
    SendSecretCommand("AUTHINFO PASS " + Password, "AUTHINFO PASS ****");
    Check<EAbsNNTPClient>(ReplyCode == 281, "Authinfo pass");
}

void tbrix_nntp::PrepareLogin(const tbrixconfig& Box, const char* Job) {
    loginUser_ = Box.NNTPUSER;
    loginSecret_.clear();
    if (loginUser_.empty() || (Box.NNTPPASS.empty() && Box.NNTPPASSCMD.empty())) return;
    loginSecret_ = SecretOf({"NNTPPASSCMD", Box.NNTPPASSCMD, Box.NNTPPASS, Box.NNTPSERVER,
                             NntpPortOf(Box), loginUser_});
    WatchForPlainText(Job, *this, loginUser_);
}

bool tbrix_nntp::Capabilities(TStrings* Lines) {
    SendCommand("CAPABILITIES");
    if (ReplyCode != 101) return false;
    ReadDataLines(Lines);
    return true;
}

bool tbrix_nntp::Compress() {
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

void tbrix_nntp::Disconnect() {
    const std::string counts = Socket->CompressionCounts();
    if (!counts.empty()) DoLogLine("COMPRESS DEFLATE: " + counts);
    TAbsNNTPClient::Disconnect();
}

void tbrix_nntp::CheckReadable() {
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

std::string WithoutBrackets(std::string id) {
    if (!id.empty() && id.front() == '<') id.erase(0, 1);
    if (!id.empty() && id.back() == '>') id.pop_back();
    return id;
}

void OverviewToHeader(TStrings& Lines, const std::string& Group, const std::string& Overview) {
    static const char* const kNames[] = {
        "X-Message-Number: ", nullptr,        "Subject: ",         "From: ", "Date: ",
        "Message-ID: ",       "References: ", "X-Messagelength: ", "Lines: "};
    std::string_view rest = Overview;
    std::string_view fields[8];
    for (std::string_view& field : fields) {
        std::size_t tab = rest.find('\t');
        field = rest.substr(0, tab);
        rest = tab == std::string_view::npos ? std::string_view() : rest.substr(tab + 1);
    }
    Lines.push_back(kNames[0] + std::string(fields[0]));
    Lines.push_back("Newsgroups: " + Group);
    for (int i = 1; i < 8; ++i)
        Lines.push_back(kNames[i + 1] + std::string(fields[i]));
}

bool OverviewNumber(const std::string& Overview, std::int64_t& Number) {
    return Digits(std::string_view(Overview).substr(0, Overview.find('\t')), Number);
}

} // namespace brix
