#pragma once
// The news jobs' NNTP client: the library client plus the commands it lacks
// (XOVER, AUTHINFO, DATE and a GROUP that reads its numbers), and the
// overview helpers.

#include "clients/nntp_client.h"
#include "platform/clock.h"

#include <cstdint>
#include <string>

namespace brix {

class tbrixconfig;

// Loops over what a server sent (overview lines, list lines, request
// records) check for the user's abort at least this often, so that no
// answer, however long, keeps the user waiting.
constexpr std::size_t kLinesPerAbortCheck = 4096;

class tbrix_nntp : public TAbsNNTPClient {
  public:
    // Port is the NNTPPORT text: a service name or a port number.
    explicit tbrix_nntp(const std::string& Port);

    // "XOVER first-last" ("XOVER first" when last is not above first),
    // accepted with 224; the overview lines go into Lines.
    void Xover(TStrings* Lines, std::int64_t First, std::int64_t Last);
    // "GROUP name": false on 411; on 211 the count, first and last numbers
    // (64 bits), each of which must end at a blank. A missing or unreadable
    // number raises "Group - articlecount", "Group - articlestart" or
    // "Group - articleend"; any other code raises "Group".
    bool GroupInfo(const std::string& Name, std::int64_t& Count, std::int64_t& First,
                   std::int64_t& Last);
    // "DATE" (111 yyyymmddhhnnss), in the server's time (UTC).
    LocalTime ServerDate();
    // "AUTHINFO USER" (381), then "AUTHINFO PASS" (281) (RFC 4643).
    void Authinfo(const std::string& User, const std::string& Password);
    // The box's news login, made ready before the connection: the secret is
    // NNTPPASS or what NNTPPASSCMD prints (a failing command is the job's
    // error and nothing is sent); none without NNTPUSER.
    void PrepareLogin(const tbrixconfig& Box, const char* Job);
    bool HasLogin() const { return !loginUser_.empty() && !loginSecret_.empty(); }
    // AUTHINFO with the prepared login.
    void LogIn() { Authinfo(loginUser_, loginSecret_); }
    // "CAPABILITIES" (RFC 3977 section 5.2): the server's capability lines,
    // or false when it does not know the command (an RFC 977 server).
    bool Capabilities(TStrings* Lines);
    // "COMPRESS DEFLATE" (RFC 8054): true on 206, and from then on both
    // directions are deflated; false on any other reply, the session going
    // on uncompressed. A reply without a code raises as CheckReadable does.
    bool Compress();
    // Says how much deflate saved, into the transcript.
    void Disconnect() override;

    // After a refusal: a reply without a three-digit code is no refusal but
    // a stream out of step, raised as EBufTCPClientSocket "ReadLn: reply
    // without a status code" with the line.
    void CheckReadable();

  private:
    std::string loginUser_;
    std::string loginSecret_;
};

// The answer to ARTICLE, HEAD or BODY by number ("220 n <id>") names that
// number: the stream is known to be in step. Servers that name nothing are
// taken at their word elsewhere, but prove nothing here.
bool AnswerNamesArticle(const std::string& Reply, std::int64_t Number);
// The answer to GROUP ("211 count first last name") names that group.
bool AnswerNamesGroup(const std::string& Reply, const std::string& Group);

// A Message-ID as the client's commands take it: without its angle brackets.
std::string WithoutBrackets(std::string id);

// The nine header lines built from an overview line (RFC 2980 section 2.8:
// number, subject, from, date, message-id, references, bytes, lines,
// separated by TAB), for group: "X-Message-Number: ", "Newsgroups: ",
// "Subject: ", "From: ", "Date: ", "Message-ID: ", "References: ",
// "X-Messagelength: ", "Lines: ". Missing fields are empty. No empty line.
void OverviewToHeader(TStrings& Lines, const std::string& Group, const std::string& Overview);
// The article number before the first TAB; false when it is not a
// non-negative 64-bit number.
bool OverviewNumber(const std::string& Overview, std::int64_t& Number);

} // namespace brix
