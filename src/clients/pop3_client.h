#pragma once
// POP3 client (RFC 1939): one operation per command, each judged by the
// "+OK" of its reply; a refusal raises EAbsPOP3Client with the command's tag
// and the server's line. The client owns the whole dialogue of a mail fetch:
// the greeting and STLS, CAPA, the login (USER/PASS, APOP or SASL), STAT,
// UIDL, TOP, LIST, RETR and DELE, pipelined when the server offers it.

#include "clients/abs_client.h"
#include "clients/sasl.h"

#include <functional>

#include <cstdint>
#include <string>

namespace brix {

BRIX_SKT_EXCEPTION_CLASS(EAbsPOP3Client);

constexpr std::int32_t POP3_ERR = 0;
constexpr std::int32_t POP3_OK = 1;

// The timestamp of the last POP3 greeting (RFC 1939 section 7), shared by
// all POP3 clients of the process and read by Login.
extern std::string APOPTimestamp;

// The greeting's text from its first "<" up to and including the next ">"
// (to the end when there is no ">"); the whole greeting when it has no "<".
std::string APOPTimestampOf(const std::string& greeting);

// "+OK nn mm ..." of STAT: the two leading numbers, text after a blank
// ignored. False when either number is missing, not a number or out of
// range (count of a signed 32-bit number, size of a signed 64-bit one).
bool ParseStatReply(const std::string& reply, std::int32_t& count, std::int64_t& size);
// The size in "+OK 2 320" (RFC 1939 section 5, scan listing): the second
// number after "+OK" and a blank. Text after the size is ignored, since the
// RFC lets servers add information there. False when the reply does not
// hold two numbers or the size is beyond 64 bits.
bool ParseScanListing(const std::string& reply, std::int64_t& size);

class TPOP3Client : public TAbsClient {
  public:
    // Port: the account's port word (a number or a service name).
    explicit TPOP3Client(const std::string& Port = "pop3");

    // Connects and requires "+OK" (tag "Connect"); sets APOPTimestamp.
    // With STARTTLS, STLS follows the greeting.
    void Connect(const std::string& Host) override;
    // STLS (RFC 2595 section 4), then TLS; a refusal raises with the tag
    // "STARTTLS refused".
    void Stls();

    void User(const std::string& Name);
    void Pass(const std::string& Password);
    // Count and size from the reply; an unreadable reply raises tag "Stat".
    void Stat(std::int32_t& Count, std::int64_t& Size);
    // "LIST n" and the size from its reply. A refusal or an unreadable reply
    // raises EAbsPOP3Client with the tag "ListOneMsg".
    void ListOneMsg(std::int32_t MsgNo, std::int64_t& Size);
    void Retr(std::int32_t MsgNo, TStrings* Lines);
    // RETR with each line of the message passed on as it arrives.
    void Retr(std::int32_t MsgNo, const TLineSink& Sink);
    // DELE sent at once, in a pipeline: its answer is read when every
    // answer before it has been, and Done gets it: true for +OK; a refusal
    // (the message stays) is Done's to report, with the reply in LastReply.
    void DeleLater(std::int32_t MsgNo, std::function<void(bool Accepted)> Done);
    // The judge that reads a DELE's answer so, for a DELE that a lookahead
    // sends.
    std::function<void()> DeleJudge(std::function<void(bool Accepted)> Done);
    // CAPA (RFC 2449): the server's capabilities, or false when it does not
    // know the command.
    bool Capa(TStrings* Lines);
    // CAPA into Capabilities (empty, and CapaKnown false, when the server
    // does not know it). Asked once, before the login (after STLS: RFC 2595
    // section 4 drops what was said in plain text), since SASL and UTF8
    // must be known then.
    void ReadCapabilities();
    // A capability line that is Name alone or Name and its arguments.
    bool Offers(const std::string& Name) const;
    // UTF8 (RFC 6856 section 2), valid only before the login: the server
    // hands over messages as they are instead of rewriting their UTF-8
    // headers. False when it refuses.
    bool Utf8();
    void Rset();
    void Quit();
    void Top(std::int32_t MsgNo, std::int32_t LineCount, TStrings* Lines);
    void Uidl(TStrings* Lines);
    void Apop(const std::string& Name, const std::string& Digest);
    // AUTH with the SASL mechanism Method (RFC 5034) when CAPA's SASL line
    // offers it (asked first unless known); else raises "Auth METHOD not
    // offered by the server" before anything of the secret is sent.
    void Auth(const std::string& Method, const TSaslAccount& Account);

    // After Connect: CAPA, UTF8 when offered; then by Method: "" USER and
    // PASS (each only when not empty), "APOP" (with the digest of
    // APOPTimestamp + Secret; only with a timestamp "<...>" in the greeting,
    // else "Apop: no timestamp in the greeting" is raised before anything is
    // sent), or the SASL mechanism of that name; then STAT into MsgCount and
    // MailboxSize, and pipelining when CAPA offered PIPELINING (RFC 2449).
    void Open(const TServerLogin& Login) override;
    // QUIT, close, then the statistics are cleared.
    void Disconnect() override;

    TStrings Capabilities;
    bool CapaKnown = false;
    bool CapaAsked = false;
    std::int32_t MsgCount = 0;
    // 64 bits: a mailbox may exceed 2 GiB.
    std::int64_t MailboxSize = 0;
    bool DeleteAfterRetr = false;

  protected:
    void Goodbye() override;
    bool SaslChallenge(std::string& Text) const override;
    bool SaslSucceeded() const override;
    TReplyLine ReplyLine(const std::string& Line) const override;
    // RETR, TOP, UIDL and LIST without a number bring a body after "+OK".
    bool DropAnswer(const std::string& Cmd) override;
    // Everything but DELE, which marks a message.
    bool MayDrop(const std::string& Cmd) const override;
    // Sends Cmd and raises EAbsPOP3Client with Tag unless the reply is +OK.
    void Command(const std::string& Cmd, const char* Tag);
};

} // namespace brix
