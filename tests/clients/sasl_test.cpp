// SASL: the RFCs' own example exchanges, byte for byte through POP3's and
// SMTP's AUTH against the scripted server, each error dance, a method the
// server does not offer, and a server that cannot prove it knows the
// password. No secret may reach the transcript.

#include "clients/base64.h"
#include "clients/pop3_client.h"
#include "clients/sasl.h"
#include "clients/smtp_client.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using namespace testing;

std::string B64(const std::string& s) {
    return Base64Encode(s);
}

// RFC 7677 section 3.
const TSaslAccount kScramUser{"user", "pencil", "", ""};
const std::string kScramNonce = "rOprNGfwEbeRWgbNEkqO";
const std::string kServerFirst = "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
                                 "s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
const std::string kClientFinal = "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
                                 "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
const std::string kServerFinal = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";
// RFC 7628 section 4.1.
const TSaslAccount kBearerUser{
    "user@example.com", "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==", "server.example.com", "143"};
// The form Google documents for XOAUTH2.
const TSaslAccount kGoogleUser{"someuser@example.com",
                               "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg", "", ""};

const TSaslAccount kTim{"tim", "tanstaaftanstaaf", "", ""};

TEST(Sasl, TheRfcExamples) {
    EXPECT_EQ(B64(*MakeSaslMechanism("plain", kTim)->First()), "AHRpbQB0YW5zdGFhZnRhbnN0YWFm");
    auto cram = MakeSaslMechanism("CRAM-MD5", kTim); // RFC 2195 section 2
    EXPECT_FALSE(cram->First());
    EXPECT_EQ(cram->Answer("<1896.697170952@postoffice.reston.mci.net>"),
              "tim b913a602c7eda7a495b4e6e7334d3890");
    EXPECT_FALSE(cram->Answer("again"));
    EXPECT_EQ(B64(*MakeSaslMechanism("OAUTHBEARER", kBearerUser)->First()),
              "bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9QmVh"
              "cmVyIHZGOWRmdDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB");
    EXPECT_EQ(B64(*MakeSaslMechanism("XOAUTH2", kGoogleUser)->First()),
              "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbG"
              "NrQmhkSFJoZG1semRHRXVZMjl0Q2cBAQ==");
    auto scram = MakeSaslMechanism("SCRAM-SHA-256", kScramUser, kScramNonce);
    EXPECT_EQ(scram->First(), "n,,n=user,r=rOprNGfwEbeRWgbNEkqO");
    EXPECT_EQ(scram->Answer(kServerFirst), kClientFinal);
    EXPECT_FALSE(scram->MayEnd());
    EXPECT_EQ(scram->Answer(kServerFinal), "");
    EXPECT_TRUE(scram->MayEnd());
    // A server whose nonce does not continue ours, or that wants to burn
    // our time, is not answered.
    for (const std::string bad :
         {"r=someoneElse,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
          "r=rOprNGfwEbeRWgbNEkqOx,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=999999999", "m=ext,r=x"})
        EXPECT_THROW(MakeSaslMechanism("SCRAM-SHA-256", kScramUser, kScramNonce)->Answer(bad),
                     ESasl)
            << bad;
    EXPECT_EQ(OfferedMechanisms({"AUTH=LOGIN", "AUTH PLAIN  cram-md5", "AUTHX Y"}, "AUTH"),
              (std::vector<std::string>{"LOGIN", "PLAIN", "CRAM-MD5"}));
    EXPECT_FALSE(MakeSaslMechanism("LOGIN", kTim));
}

// Each exchange through the protocol's own lines: the server's side as the
// RFCs show it; errors as the servers report them. The transcript shows
// "****" for every line that could carry the secret.
struct Exchange {
    const char* name;
    bool smtp;
    const char* method; // empty: the SCRAM mechanism of the RFC example
    TSaslAccount account;
    std::function<Script(Script)> server; // after the greeting (and CAPA)
    std::string error;                    // empty: logged in
    std::string offered = "PLAIN CRAM-MD5 SCRAM-SHA-256 XOAUTH2 OAUTHBEARER";
};

Script Pop3Greeting(const std::string& sasl) {
    return Script().Send("+OK ready").Expect("CAPA").SendData("+OK", {"USER", "SASL " + sasl});
}

const std::string kTokenError =
    B64(R"({"status":"invalid_token","scope":"example_scope",)"
        R"("openid-configuration":"https://example.com/.well-known/openid-configuration"})");

class SaslExchange : public ::testing::TestWithParam<Exchange> {};

TEST_P(SaslExchange, GoesAsTheRfcSaysAndShowsNoSecret) {
    const Exchange& x = GetParam();
    Script start = x.smtp ? Script().Send("220 ready") : Pop3Greeting(x.offered);
    ScriptServer server(x.server(start));
    std::vector<std::string> log;
    std::string error;
    auto run = [&](TAbsClient& client, const std::function<void()>& auth) {
        client.OnLogLine = [&](const std::string& line) { log.push_back(line); };
        client.Socket->Timeout = 3000;
        client.Service = server.PortText();
        try {
            client.Connect("127.0.0.1");
            auth();
        } catch (const EsktException& e) {
            error = e.Message();
        }
    };
    if (x.smtp) {
        TSMTPClient client;
        run(client, [&] {
            if (!*x.method) {
                auto m = MakeSaslMechanism("SCRAM-SHA-256", x.account, kScramNonce);
                client.Authenticate(*m, 12286, {"SCRAM-SHA-256"}, "AUTH");
            } else {
                client.AuthSasl(x.method, {"AUTH " + x.offered}, x.account);
            }
        });
    } else {
        TPOP3Client client;
        run(client, [&] { client.Auth(x.method, x.account); });
    }
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(error, x.error);
    for (const std::string& line : log) {
        EXPECT_EQ(line.find(x.account.secret), std::string::npos) << line;
        const bool sent = line.starts_with("<") && line != "<CAPA" && line != "<" && line != "<*";
        EXPECT_TRUE(!sent || line.ends_with("****") || line.ends_with("CRAM-MD5") ||
                    line.ends_with("XOAUTH2"))
            << line;
    }
}

const std::string kCramChallenge = "<1896.697170952@postoffice.reston.mci.net>";

// The RFC 7677 exchange over SMTP up to the client's final message.
Script ScramUpToClientFinal(Script s) {
    s.Expect("AUTH SCRAM-SHA-256 " + B64("n,,n=user,r=" + kScramNonce));
    return s.Send("334 " + B64(kServerFirst)).Expect(B64(kClientFinal));
}

// The RFC 7628 token refused over POP3 with the error `challenge`.
Script BearerRefused(Script s, const std::string& challenge) {
    s.ExpectPrefix("AUTH OAUTHBEARER bixhPXVzZXJAZXhhbXBsZS5jb20s").Send("+ " + challenge);
    return s.Expect("AQ==").Send("-ERR [AUTH] invalid token");
}

INSTANTIATE_TEST_SUITE_P(
    Methods, SaslExchange,
    ::testing::Values(
        Exchange{"Pop3Plain", false, "PLAIN", kTim,
                 [](Script s) {
                     return s.Expect("AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm").Send("+OK in");
                 },
                 ""},
        Exchange{"Pop3CramMd5", false, "cram-md5", kTim,
                 [](Script s) {
                     return s.Expect("AUTH CRAM-MD5")
                         .Send("+ " + B64(kCramChallenge))
                         .Expect(B64("tim b913a602c7eda7a495b4e6e7334d3890"))
                         .Send("+OK in");
                 },
                 ""},
        // A Google token is longer than a POP3 line: it follows "+ ".
        Exchange{"Pop3XOAuth2LongToken", false, "XOAUTH2",
                 TSaslAccount{"someuser@example.com", std::string(300, 't'), "", ""},
                 [](Script s) {
                     return s.Expect("AUTH XOAUTH2")
                         .Send("+ ")
                         .Expect(B64("user=someuser@example.com\x01"
                                     "auth=Bearer " +
                                     std::string(300, 't') + "\x01\x01"))
                         .Send("+OK in");
                 },
                 ""},
        Exchange{"Pop3OAuthBearerRefused", false, "OAUTHBEARER", kBearerUser,
                 [](Script s) { return BearerRefused(s, kTokenError); },
                 "Auth OAUTHBEARER. (Error=-ERR [AUTH] invalid token)"},
        // A challenge longer than a log line is read whole: its Base64 cut
        // short would not decode, and the answer would be "*".
        Exchange{"Pop3OAuthBearerLongChallenge", false, "OAUTHBEARER", kBearerUser,
                 [](Script s) {
                     return BearerRefused(s, B64(R"({"status":"invalid_token","scope":")" +
                                                 std::string(400, 's') + R"("})"));
                 },
                 "Auth OAUTHBEARER. (Error=-ERR [AUTH] invalid token)"},
        Exchange{"Pop3NotOffered", false, "SCRAM-SHA-256", kScramUser, [](Script s) { return s; },
                 "Auth SCRAM-SHA-256 not offered by the server. (Error=SASL PLAIN)", "PLAIN"},
        Exchange{"SmtpNotOffered", true, "XOAUTH2", kGoogleUser, [](Script s) { return s; },
                 "Auth XOAUTH2 not offered by the server. (Error=AUTH LOGIN PLAIN)", "LOGIN PLAIN"},
        Exchange{"SmtpXOAuth2Refused", true, "XOAUTH2", kGoogleUser,
                 [](Script s) {
                     return s
                         .Expect("AUTH XOAUTH2 dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlc"
                                 "iB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZMjl0Q2"
                                 "cBAQ==")
                         .Send("334 eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiQmVhcmVyIiwic2NvcGUiOiJo"
                               "dHRwczovL21haWwuZ29vZ2xlLmNvbS8ifQ==")
                         .Expect("")
                         .Send("535-5.7.8 Username and Password not accepted.")
                         .Send("535 5.7.8 Learn more");
                 },
                 "Auth XOAUTH2. (Error=535 5.7.8 Learn more)"},
        Exchange{"SmtpScram", true, "", kScramUser,
                 [](Script s) {
                     return ScramUpToClientFinal(s)
                         .Send("334 " + B64(kServerFinal))
                         .Expect("")
                         .Send("235 2.7.0 OK");
                 },
                 ""},
        // A server that does not know the password cannot sign: we cancel.
        Exchange{"SmtpScramWrongSignature", true, "", kScramUser,
                 [](Script s) {
                     return ScramUpToClientFinal(s)
                         .Send("334 " + B64("v=" + B64(std::string(32, 'x'))))
                         .Expect("*")
                         .Send("501 cancelled");
                 },
                 "SCRAM-SHA-256. (Error=wrong server signature: this server does not know the "
                 "password)"},
        // Success without the signature proves nothing either.
        Exchange{"SmtpScramUnsigned", true, "", kScramUser,
                 [](Script s) { return ScramUpToClientFinal(s).Send("235 fine"); },
                 "Auth SCRAM-SHA-256. (Error=the server accepted us without proving it knows the "
                 "password)"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace brix
