#pragma once
// SASL mechanisms (RFC 4422) for POP3's and SMTP's AUTH: the client's side
// of each exchange as pure steps, decoded text in, decoded text out. The
// protocol clients carry the steps over their own lines (Base64, "+ " or
// "334 ", "*" to cancel); nothing here touches a socket.
//
//   PLAIN          RFC 4616, authorization identity empty
//   CRAM-MD5       RFC 2195
//   SCRAM-SHA-256  RFC 5802 / RFC 7677, no channel binding; the server's
//                  signature must be shown and right
//   XOAUTH2        the form Google and Microsoft document
//   OAUTHBEARER    RFC 7628

#include "net/skt_exceptions.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brix {

BRIX_SKT_EXCEPTION_CLASS(ESasl);

class TSaslMechanism {
  public:
    virtual ~TSaslMechanism() = default;
    // The name in AUTH and in the server's list ("SCRAM-SHA-256").
    virtual const char* Name() const = 0;
    // The client's first message, sent with the AUTH command; none when the
    // mechanism waits for the server's challenge (CRAM-MD5).
    virtual std::optional<std::string> First() = 0;
    // The answer to a challenge. None: the challenge makes no sense in this
    // exchange and the client cancels it ("*"). A server that proves itself
    // wrong (SCRAM's signature) raises ESasl.
    virtual std::optional<std::string> Answer(const std::string& Challenge) = 0;
    // The exchange may end in success here: SCRAM only after the server's
    // signature has been checked.
    virtual bool MayEnd() const { return true; }
    // The password or token itself crosses the wire (protected by TLS
    // alone); CRAM-MD5 and SCRAM send proofs of it.
    virtual bool RevealsSecret() const { return true; }
};

// The account and secret a mechanism works with, and the server it speaks
// to (OAUTHBEARER names them).
struct TSaslAccount {
    std::string user;
    std::string secret; // password, or OAuth 2.0 access token
    std::string host;
    std::string port;
};

// The mechanisms this client knows, by their names.
const std::vector<std::string>& SaslMechanismNames();
// Name (any case) is one of SaslMechanismNames.
bool IsSaslMechanism(const std::string& Name);
// The mechanism called Name (any case), or null when there is none such.
// Nonce: SCRAM's client nonce; empty means fresh random bytes.
std::unique_ptr<TSaslMechanism> MakeSaslMechanism(const std::string& Name,
                                                  const TSaslAccount& Account,
                                                  const std::string& Nonce = "");

// The mechanisms a server offers: the words after Keyword ("SASL" in POP3's
// CAPA, "AUTH" or the old "AUTH=" in SMTP's EHLO lines), in upper case.
std::vector<std::string> OfferedMechanisms(const std::vector<std::string>& Lines,
                                           const std::string& Keyword);

// HMAC-MD5 of Text under Key as lower-case hex (CRAM-MD5's digest).
std::string HmacMd5Hex(const std::string& Key, const std::string& Text);

} // namespace brix
