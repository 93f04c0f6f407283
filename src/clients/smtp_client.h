#pragma once
// SMTP client (RFC 821/5321 commands, EHLO, AUTH LOGIN of RFC 4954): one
// operation per command, each checking its reply code; a refusal raises
// EAbsSMTPClient with the command's tag and the server's line. Addresses
// are passed bare; the client adds "<" and ">".

#include "clients/abs_client.h"
#include "clients/sasl.h"

#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brix {

BRIX_SKT_EXCEPTION_CLASS(EAbsSMTPClient);

class TSMTPMessage;

class TSMTPClient : public TAbsClient {
  public:
    // Port: the server's port word (a number or a service name).
    explicit TSMTPClient(const std::string& Port = "smtp");

    // Connects and requires greeting code 220 (tag "Connect"). With
    // STARTTLS, StartTls follows the greeting.
    void Connect(const std::string& Host) override;
    // RFC 3207: EHLO, STARTTLS when the server lists it (else the tag
    // "STARTTLS not offered"), answered 220 (else "STARTTLS refused"), TLS,
    // and EHLO again, since what the server said in plain text no longer
    // counts. The EHLO name is TlsDomain, or this host's name when empty.
    void StartTls();

    std::string TlsDomain;

    // Keeps the login for Greet: the first message's HELO line names the
    // domain, so the greeting waits for it.
    void Open(const TServerLogin& Login) override { login_ = Login; }
    // The greeting of a session: EHLO (with the login of Open when it has
    // one), HELO for a server that refuses EHLO (5yz; any other refusal
    // raises "Ehlo"); a server that announces PIPELINING gets the commands
    // of a message in one write from then on (RFC 2920).
    void Greet(const std::string& Domain);
    // The envelope of one message: MAIL FROM, RCPT TO for each recipient,
    // DATA. Pipelined (RFC 2920) when the server offers it: the commands go
    // out together (DATA with them only for one recipient: after a refused
    // one, a DATA already taken could only deliver to the others), and each
    // reply is judged in its turn as if it came alone. The first refusal is
    // raised once every reply was read, so the stream stays in step; a DATA
    // taken despite it gets a lone "." that delivers nothing. OnRecipient is
    // told of each recipient as its turn comes.
    void Envelope(const std::string& From, const std::vector<std::string>& To,
                  const std::function<void(const std::string&)>& OnRecipient);

    void Helo(const std::string& Domain);
    // "EHLO Domain" (RFC 5321 section 4.1.1.1): true and the extension lines
    // in Lines when the server takes it (250), false when it refuses it (an
    // old server, to be greeted with HELO).
    bool Ehlo(const std::string& Domain, TStrings* Lines);
    // "MAIL FROM: <From>"; a 451 raises with the tag "Smtp-Auth required".
    void Mail(const std::string& From);
    // 250 or 251.
    void Rcpt(const std::string& To);
    // 354; the message follows (DataRawLine or SendDataLines, then EndData).
    void Data();
    // The reply just read judged as Mail, Rcpt and Data judge theirs (for a
    // pipeline that reads the replies in their turn).
    void CheckMail() const;
    void CheckRcpt() const;
    void CheckData() const;
    void Rset();
    void Quit();
    // EHLO; Lines gets the extension lines. When the server lists any,
    // AuthMethod names a SASL mechanism (AuthSasl), or is "LOGIN" or "AUTO"
    // and a line must offer LOGIN; then AUTH LOGIN with the Base64 of User
    // and Password follows.
    void Ehlo(const std::string& Domain, TStrings* Lines, const std::string& AuthMethod,
              const std::string& User, const std::string& Password);

    // Ends the message that follows Data: sends "." and reads the reply to
    // it; only 250 means the message was accepted, anything else raises
    // EAbsSMTPClient "Data: After transfer" with the reply line. Any lines
    // still queued go out with the ".". A server that said anything before
    // the "." is out of step with us: no "." is sent, OutOfStep is set and
    // EAbsSMTPClient "Data: Reply before end of message" is raised. The
    // reply is the verdict on the message (GetVerdict).
    void EndData();
    // The same, but the verdict is read in its turn behind the commands that
    // follow (RFC 2920: the next message's MAIL, RCPT and DATA go with the
    // "."): Judge reads it with ReadVerdict.
    void EndDataLater(std::function<void()> Judge);
    // The verdict on a message: only 250 is an acceptance; anything else
    // raises "Data: After transfer".
    void ReadVerdict();
    // Queues one line of a message that is dot-stuffed already; a line that
    // is exactly "." is still sent as "..", since it would end the message
    // early and let the rest be read as commands.
    void DataRawLine(std::string_view Line);

    // Sends a composed message in one transaction: MAIL, RCPT for every
    // recipient, DATA, the message, ".". A message that cannot be sent
    // (a missing or unreadable attachment, a line break in a header text, no
    // recipient) raises "SendMessage" before the first command.
    void SendMessage(const TSMTPMessage& Message);

    // AUTH with the SASL mechanism Method (RFC 4954) when the EHLO lines
    // Extensions offer it; else raises "Auth METHOD not offered by the
    // server" before anything of the secret is sent.
    void AuthSasl(const std::string& Method, const TStrings& Extensions,
                  const TSaslAccount& Account);

  protected:
    // QUIT (RFC 5321 section 4.1.1.10); the rule is 221, any 2yz will do.
    void Goodbye() override;
    TReplyLine ReplyLine(const std::string& Line) const override;
    bool SaslChallenge(std::string& Text) const override;
    bool SaslSucceeded() const override;
    void Command(const std::string& Cmd, const char* Tag, std::initializer_list<int> Codes);
    bool CodeIn(std::initializer_list<int> Codes) const;
    // Before the "." of a message: anything the server said before it.
    void CheckNothingEarly();

  private:
    TServerLogin login_;
};

} // namespace brix
