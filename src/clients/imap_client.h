#pragma once
// IMAP client (RFC 3501 IMAP4rev1, RFC 9051 IMAP4rev2) for fetching mail:
// the greeting and STARTTLS, CAPABILITY, the login (LOGIN or AUTHENTICATE
// with an initial response, RFC 4959), COMPRESS=DEFLATE (RFC 4978),
// EXAMINE or SELECT, the listing by UID, UID FETCH of whole messages with
// their literals streamed line by line, UID STORE and UID EXPUNGE (RFC
// 4315), LOGOUT. Every command is tagged; its answer is read whole, with
// the untagged responses the server sends on the way (EXISTS, EXPUNGE,
// FETCH flags, ALERT, BYE) and literals of any announced size, which never
// cost more memory than a line. A tag other than the one due leaves the
// stream out of step. A refusal raises EAbsIMAPClient with the command's
// tag and the server's line.

#include "clients/abs_client.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace brix {

BRIX_SKT_EXCEPTION_CLASS(EAbsIMAPClient);

// ReplyCode after an answer: its tagged status, a continuation request
// ("+"), or the greeting's untagged status; 0 for a line that fits none.
constexpr std::int32_t IMAP_OK = 1;
constexpr std::int32_t IMAP_NO = 2;
constexpr std::int32_t IMAP_BAD = 3;
constexpr std::int32_t IMAP_CONTINUE = 4;
constexpr std::int32_t IMAP_PREAUTH = 5;
constexpr std::int32_t IMAP_BYE = 6;

// A literal that is not a message's body is kept up to this size (a
// mailbox name, a header field); a larger one is read and dropped.
constexpr std::size_t kMaxImapSmallLiteral = 64u << 10;

// A message of a mailbox's listing.
struct TImapMessage {
    std::uint32_t uid = 0;
    std::int64_t size = 0;
};

// What EXAMINE or SELECT tells of the mailbox.
struct TImapMailbox {
    std::uint32_t uidValidity = 0;
    std::uint32_t uidNext = 0;
    std::int64_t exists = 0;
    bool readOnly = false;
};

// The capability names in the text after "CAPABILITY" (upper-cased).
std::vector<std::string> ParseImapCapabilities(std::string_view Text);
// The number after the data item Name ("UID", "RFC822.SIZE") in a FETCH
// response's text, outside its quoted strings. False when it is missing or
// no number of 32 bits (UID) or 63 bits.
bool ImapFetchNumber(std::string_view Line, std::string_view Name, std::uint64_t& Value);
// The size of the literal ("{N}" or "{N+}") that ends Line; false when
// none does.
bool ImapLiteralAtEnd(std::string_view Line, std::uint64_t& Size);
// The UIDs, sorted and without repeats, as sequence sets ("1:5,7,9:12"),
// each at most MaxBytes long.
std::vector<std::string> ImapUidSets(std::vector<std::uint32_t> Uids, std::size_t MaxBytes);
// The ranges of a sequence set ("1:5,7,9:*"), "*" as the largest UID;
// parts that are no range are left out.
std::vector<std::pair<std::uint32_t, std::uint32_t>> ImapUidRanges(std::string_view Set);
// A string as IMAP sends it: a quoted string when it is printable ASCII,
// else "" (it needs a literal).
std::string ImapQuotedOrEmpty(const std::string& s);

// Takes the body of a FETCH as it arrives: Begin when its literal starts,
// each line (without its line end) as it comes, End with the UID of the
// FETCH response once the response is whole (0 when it named none).
struct TImapBodyTaker {
    std::function<void()> Begin;
    TLineSink Line;
    std::function<void(std::uint32_t Uid)> End;
};

class TIMAPClient : public TAbsClient {
  public:
    // Port: the account's port word (a number or a service name).
    explicit TIMAPClient(const std::string& Port = "imap");

    // Connects and requires "* OK" or "* PREAUTH" (tag "Connect"); the
    // greeting's capabilities are kept. With STARTTLS, STARTTLS follows.
    void Connect(const std::string& Host) override;
    // After Connect: CAPABILITY unless known, the login (Method "": the
    // LOGIN command; else the SASL mechanism of that name through
    // AUTHENTICATE, with its first message inline where SASL-IR is
    // offered), the capabilities after it, ENABLE UTF8=ACCEPT where offered,
    // pipelining, and COMPRESS=DEFLATE
    // as Login.Compress wants it where it is offered.
    void Open(const TServerLogin& Login) override;
    bool Offers(const std::string& Capability) const;

    // EXAMINE (ReadOnly) or SELECT of the mailbox named in UTF-8; a refusal
    // raises "Select".
    void Select(const std::string& Name, bool ReadOnly, TImapMailbox& Box);
    // Every message of the selected mailbox by UID and size (UID FETCH 1:*
    // (UID RFC822.SIZE)), sorted by UID, each UID once. At most
    // kMaxHeldLines messages.
    void List(std::vector<TImapMessage>& Messages);
    // The command that fetches the messages of the set whole without
    // setting \Seen, for a lookahead to send ahead. Its tag is the set's
    // own, so that a command planned ahead is the same text in its turn.
    static std::string FetchCommand(const std::string& UidSet);
    // Sends it (or reads its answer, when it went ahead); a refusal raises
    // "Fetch". The bodies go to Bodies as they come.
    void FetchBodies(const std::string& UidSet);
    // Takes every message body that arrives while it is set, in whichever
    // answer the server puts it: a server may answer the fetches sent
    // ahead in one stream of FETCH responses before their tagged lines.
    TImapBodyTaker* Bodies = nullptr;
    // The header of each message of the set (BODY.PEEK[HEADER]), each
    // given to Take with its UID as its lines arrive whole.
    void FetchHeaders(const std::string& UidSet,
                      const std::function<void(std::uint32_t Uid, TStrings& Lines)>& Take);
    // UID STORE of \Deleted (Set) or its removal, silently; and UID
    // EXPUNGE. Sent at once; Done gets whether the server said OK when the
    // answer's turn comes.
    void StoreDeletedLater(const std::string& UidSet, bool Set, std::function<void(bool Ok)> Done);
    void ExpungeLater(const std::string& UidSet, std::function<void(bool Ok)> Done);
    void Logout();
    void Disconnect() override;

    std::vector<std::string> Capabilities;
    // The greeting logged us in already.
    bool Preauth = false;
    // The server took ENABLE UTF8=ACCEPT: names go in UTF-8.
    bool Utf8Accepted = false;
    // The text of the last untagged BYE: the server's reason for the close
    // that follows.
    std::string Bye;
    // Texts the server marked [ALERT]: they must reach the user.
    std::vector<std::string> Alerts;

  protected:
    void Goodbye() override;
    TReplyLine ReplyLine(const std::string& Line) const override;
    void GetResponse(TStrings* Lines) override;
    bool SaslChallenge(std::string& Text) const override;
    bool SaslSucceeded() const override;
    bool DropAnswer(const std::string& Cmd) override;
    // Fetches and the commands that only read; not STORE or EXPUNGE.
    bool MayDrop(const std::string& Cmd) const override;
    std::string AuthCommand() override;

  private:
    std::string NextTag();
    // Sends the tagged command and raises Tag unless the answer is OK.
    void Command(const std::string& Words, const char* Tag);
    void Capability();
    void Login(const std::string& User, const std::string& Secret);
    bool Compress();
    // The tag the answer being read must end with ("" for the greeting).
    std::string ExpectedTag();
    // What an untagged response tells the session.
    void Untagged(const std::string& Line);
    // The status text of a tagged or greeting line: its response code.
    void ResponseCode(std::string_view Text);
    // Reads the literals that end Line, and the rest of the line after
    // each; a body literal goes to the taker.
    void CompleteLine(std::string& Line, std::size_t& Shown);
    void ReadLiteral(std::uint64_t Size, bool Body);
    [[noreturn]] void Closed();

    std::uint32_t tagCount_ = 0;
    bool greeting_ = false;
    std::string lastTag_;
    bool bodyInLine_ = false;
    std::function<void(const std::string&)> onFetch_;
    TImapMailbox* mailbox_ = nullptr;
    // The body's taker failed (a full disk) or the user stopped: the rest
    // of the answer is read and dropped until then, to stay in step.
    std::exception_ptr failed_;
    std::int64_t failedUntilMs_ = 0;
};

} // namespace brix
