#pragma once
// NNTP client (RFC 977 commands; RFC 3977 for the replies): one operation
// per command, each checking its reply code and reading the multi-line
// answer where there is one; a refusal raises EAbsNNTPClient with the
// command's tag and the server's line. POST sends the article with
// dot-stuffing and checks the server's verdict on it.

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

class TAbsNNTPClient : public TAbsClient {
  public:
    TAbsNNTPClient();

    // Connects and requires greeting code 200 or 201 (tag "Connect").
    // With STARTTLS, STARTTLS follows the greeting.
    void Connect(const std::string& Host) override;
    // STARTTLS (RFC 4642), answered 382, then TLS; a refusal raises with the
    // tag "STARTTLS refused". The greeting's code stays in ReplyCode.
    void StartTls();
    // "GROUP Name": true on 211, false on 411 (no such group); the numbers
    // stay in LastReply.
    virtual bool Group(const std::string& Name);

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
