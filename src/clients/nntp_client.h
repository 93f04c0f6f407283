#pragma once
// NNTP client (RFC 977 commands; RFC 3977 for the replies; AUTHINFO of RFC
// 4643, COMPRESS of RFC 8054): one operation per command, each checking its
// reply code and reading the multi-line answer where there is one; a refusal
// raises EAbsNNTPClient with the command's tag and the server's line. POST
// sends the article with dot-stuffing and checks the server's verdict on it.

#include "clients/abs_client.h"
#include "platform/clock.h"

#include <cstdint>
#include <string>

namespace brix {

BRIX_SKT_EXCEPTION_CLASS(EAbsNNTPClient);

// "yymmdd hhnnss" of the NEWGROUPS and NEWNEWS commands.
std::string FormatNewsDateTime(const LocalTime& DateTime);
// "NEWGROUPS yymmdd hhnnss", then " GMT" when asked in UTC and the
// distributions in angle brackets after a blank when given; no trailing
// blank.
std::string NewGroupsCommand(const LocalTime& DateTime, bool GMT, const std::string& Distributions);

// The answer to ARTICLE, HEAD or BODY by number ("220 n <id>") names that
// number: the stream is known to be in step. Servers that name nothing are
// taken at their word elsewhere, but prove nothing here.
bool AnswerNamesArticle(const std::string& Reply, std::int64_t Number);
// The answer to GROUP ("211 count first last name") names that group.
bool AnswerNamesGroup(const std::string& Reply, const std::string& Group);

// "XOVER first-last", or "XOVER first" when last is not above first.
std::string XoverCommand(std::int64_t First, std::int64_t Last);
// What GroupInfo makes of GROUP's answer, for an answer read apart (a
// GROUP sent ahead): false on 411, the numbers on 211, else it raises as
// GroupInfo does.
bool GroupAnswer(std::int32_t Code, const std::string& Reply, std::int64_t& Count,
                 std::int64_t& First, std::int64_t& Last);

class TNNTPClient : public TAbsClient {
  public:
    // Port: the server's port word (a number or a service name).
    explicit TNNTPClient(const std::string& Port = "nntp");

    // Connects and requires greeting code 200 or 201 (tag "Connect").
    // With STARTTLS, STARTTLS follows the greeting.
    void Connect(const std::string& Host) override;
    // STARTTLS (RFC 4642), answered 382, then TLS; a refusal raises with the
    // tag "STARTTLS refused". The greeting's code stays in ReplyCode.
    void StartTls();
    // "GROUP name": false on 411; on 211 the count, first and last numbers
    // (64 bits), each of which must end at a blank. A missing or unreadable
    // number raises "Group - articlecount", "Group - articlestart" or
    // "Group - articleend"; any other code raises "Group".
    bool GroupInfo(const std::string& Name, std::int64_t& Count, std::int64_t& First,
                   std::int64_t& Last);
    // "XOVER first-last" ("XOVER first" when last is not above first),
    // accepted with 224; the overview lines go into Lines.
    void Xover(TStrings* Lines, std::int64_t First, std::int64_t Last);
    // "DATE" (111 yyyymmddhhnnss), in the server's time (UTC).
    LocalTime ServerDate();
    // "AUTHINFO USER" (381), then "AUTHINFO PASS" (281) (RFC 4643).
    void Authinfo(const std::string& User, const std::string& Password);
    // "CAPABILITIES" (RFC 3977 section 5.2): the server's capability lines,
    // or false when it does not know the command (an RFC 977 server).
    bool Capabilities(TStrings* Lines);
    // "COMPRESS DEFLATE" (RFC 8054): true on 206, and from then on both
    // directions are deflated; false on any other reply, the session going
    // on uncompressed. A reply without a code raises as CheckReadable does.
    bool Compress();
    // After a refusal: a reply without a three-digit code is no refusal but
    // a stream out of step, raised as EBufTCPClientSocket "ReadLn: reply
    // without a status code" with the line.
    void CheckReadable();
    // Says how much deflate saved, into the transcript.
    void Disconnect() override;
    // After Connect: AUTHINFO with the login when it has one; then, when
    // Extensions are asked for, CAPABILITIES (after the login, which may
    // change them: RFC 3977 section 5.2), MODE READER and CAPABILITIES again
    // for a mode-switching server, pipelining for an RFC 3977 server
    // (section 3.5: VERSION 2) and COMPRESS DEFLATE when asked and offered
    // (RFC 8054). A refused COMPRESS leaves the session as it was: a note.
    void Open(const TServerLogin& Login) override;

    // Message ids are passed without angle brackets. An answer that names
    // another article than the one asked for ("220 n <id>", RFC 3977
    // section 6.2) means the stream is out of step: it raises the command's
    // tag + ": answer for another article" with OutOfStep set, and nothing
    // of that article is read.
    void ArticleById(const std::string& MsgId, TStrings* Lines);
    void ArticleByNo(std::int64_t Number, TStrings* Lines);
    void HeadByNo(std::int64_t Number, TStrings* Lines);
    // "STAT <MsgId>": true when the server has the article (223), false when
    // it has not (430); any other answer raises "StatById".
    bool HasArticle(const std::string& MsgId);
    void List(TStrings* Lines);
    void NewGroups(const LocalTime& DateTime, bool GMT, const std::string& Distributions,
                   TStrings* Lines);
    // POST; after 340 the article is sent dot-stuffed and must be answered
    // 240 (tag "Post: After transfer"); that answer is the verdict on the
    // article (GetVerdict).
    void Post(const TStrings& Lines);
    void Quit();

  protected:
    void Goodbye() override;
    TReplyLine ReplyLine(const std::string& Line) const override;
    // The answers that bring a body (RFC 3977 section 3.1: 100, 101, 215,
    // 220 to 222, 224, 230, 231) are read to their ".".
    bool DropAnswer(const std::string& Cmd) override;
    // The article commands: they change nothing but the current article.
    bool MayDrop(const std::string& Cmd) const override;
    // Any refusal of one but "no such article" (423, 430) concerns the
    // session (400, 480, 502 ...).
    bool EndsSession() const override;
    void Command(const std::string& Cmd, const char* Tag, std::int32_t Code);
    void Transfer(const TStrings& Lines, std::int32_t FinalCode, const char* Tag);
    // ARTICLE, HEAD, BODY or STAT of one article, by Number (when MsgId is
    // empty) or by MsgId: the answer must carry Code and name that article;
    // the text follows but for STAT (223).
    void Retrieve(const char* Verb, std::int32_t Code, const char* Tag, std::int64_t Number,
                  const std::string& MsgId, TStrings* Lines);
    // Checks that LastReply names the article asked for: by Number (when
    // MsgId is empty) or by MsgId.
    void CheckNamed(const char* Tag, std::int64_t Number, const std::string& MsgId);
};

} // namespace brix
