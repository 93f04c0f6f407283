#include "clients/sasl.h"

#include "clients/abs_client.h"
#include "clients/base64.h"
#include "support/text.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace brix {

namespace {

std::string Hmac(const EVP_MD* md, const std::string& key, std::string_view text) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(md, key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(text.data()), text.size(), out, &len))
        throw ESasl::CreateError("SASL", "HMAC failed");
    return std::string(reinterpret_cast<char*>(out), len);
}

std::string Sha256(const std::string& data) {
    unsigned char out[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
    return std::string(reinterpret_cast<char*>(out), sizeof out);
}

// RFC 5802 section 5.1: "," and "=" in a user name are escaped.
std::string SaslName(const std::string& user) {
    std::string out;
    for (char c : user) {
        if (c == '=')
            out += "=3D";
        else if (c == ',')
            out += "=2C";
        else
            out += c;
    }
    return out;
}

class Plain : public TSaslMechanism {
  public:
    explicit Plain(TSaslAccount a) : a_(std::move(a)) {}
    const char* Name() const override { return "PLAIN"; }
    std::optional<std::string> First() override {
        return std::string(1, '\0') + a_.user + std::string(1, '\0') + a_.secret;
    }
    std::optional<std::string> Answer(const std::string&) override { return std::nullopt; }

  private:
    TSaslAccount a_;
};

class CramMd5 : public TSaslMechanism {
  public:
    explicit CramMd5(TSaslAccount a) : a_(std::move(a)) {}
    const char* Name() const override { return "CRAM-MD5"; }
    bool RevealsSecret() const override { return false; }
    std::optional<std::string> First() override { return std::nullopt; }
    std::optional<std::string> Answer(const std::string& challenge) override {
        if (answered_) return std::nullopt;
        answered_ = true;
        return a_.user + " " + HmacMd5Hex(a_.secret, challenge);
    }

  private:
    TSaslAccount a_;
    bool answered_ = false;
};

// The bearer token mechanisms: whatever the server says after the token is
// its error report (a JSON text), answered so that it can send its refusal.
class Bearer : public TSaslMechanism {
  public:
    Bearer(TSaslAccount a, bool oauthBearer) : a_(std::move(a)), rfc_(oauthBearer) {}
    const char* Name() const override { return rfc_ ? "OAUTHBEARER" : "XOAUTH2"; }
    std::optional<std::string> First() override {
        if (!rfc_)
            return "user=" + a_.user +
                   "\x01"
                   "auth=Bearer " +
                   a_.secret + "\x01\x01";
        // RFC 7628 section 3.1: GS2 header, then host, port and token.
        return "n,a=" + SaslName(a_.user) + ",\x01host=" + a_.host + "\x01port=" + a_.port +
               "\x01"
               "auth=Bearer " +
               a_.secret + "\x01\x01";
    }
    // RFC 7628 section 3.2.3 answers with a lone %x01; the older form with
    // an empty response.
    std::optional<std::string> Answer(const std::string&) override {
        return rfc_ ? std::string("\x01") : std::string();
    }

  private:
    TSaslAccount a_;
    bool rfc_;
};

// SCRAM-SHA-256 (RFC 5802, RFC 7677) without channel binding ("n,,").
class Scram : public TSaslMechanism {
  public:
    Scram(TSaslAccount a, std::string nonce) : a_(std::move(a)), nonce_(std::move(nonce)) {
        if (nonce_.empty()) {
            unsigned char raw[18];
            if (RAND_bytes(raw, sizeof raw) != 1)
                throw ESasl::CreateError("SCRAM-SHA-256", "no random bytes for the nonce");
            nonce_ = Base64Encode(std::string_view(reinterpret_cast<char*>(raw), sizeof raw));
        }
        bare_ = "n=" + SaslName(a_.user) + ",r=" + nonce_;
    }
    const char* Name() const override { return "SCRAM-SHA-256"; }
    bool RevealsSecret() const override { return false; }
    std::optional<std::string> First() override { return "n,," + bare_; }
    std::optional<std::string> Answer(const std::string& challenge) override {
        if (step_ == 0) {
            step_ = 1;
            return ClientFinal(challenge);
        }
        if (step_ == 1) {
            step_ = 2;
            CheckServerFinal(challenge);
            verified_ = true;
            return std::string();
        }
        return std::nullopt;
    }
    bool MayEnd() const override { return verified_; }

  private:
    // A server may ask for many rounds, but not for minutes of our time.
    static constexpr std::int64_t kMaxIterations = 1'000'000;

    [[noreturn]] void Fail(const std::string& why) const {
        throw ESasl::CreateError("SCRAM-SHA-256", why);
    }
    // "r=...,s=...,i=..." (RFC 5802 section 5.1); "m=" is an extension we
    // cannot know, so the exchange must stop.
    std::string ClientFinal(const std::string& serverFirst) {
        std::string nonce, salt64, iterations;
        for (const std::string& field : SplitAt(serverFirst, ',')) {
            if (field.starts_with("m=")) Fail("the server asks for an extension");
            if (field.starts_with("r=")) nonce = field.substr(2);
            if (field.starts_with("s=")) salt64 = field.substr(2);
            if (field.starts_with("i=")) iterations = field.substr(2);
        }
        std::string salt;
        std::int64_t rounds = 0;
        if (!nonce.starts_with(nonce_) || nonce.size() == nonce_.size())
            Fail("the server's nonce does not continue ours");
        if (salt64.empty() || !Base64Decode(salt64, salt)) Fail("no salt from the server");
        if (!ReplyNumbers(iterations, 1, &rounds) || rounds < 1 || rounds > kMaxIterations)
            Fail("iteration count '" + iterations + "' out of range");
        unsigned char salted[32];
        if (PKCS5_PBKDF2_HMAC(a_.secret.data(), static_cast<int>(a_.secret.size()),
                              reinterpret_cast<const unsigned char*>(salt.data()),
                              static_cast<int>(salt.size()), static_cast<int>(rounds), EVP_sha256(),
                              sizeof salted, salted) != 1)
            Fail("PBKDF2 failed");
        salted_.assign(reinterpret_cast<char*>(salted), sizeof salted);
        const std::string withoutProof = "c=biws,r=" + nonce;
        authMessage_ = bare_ + "," + serverFirst + "," + withoutProof;
        const std::string clientKey = Hmac(EVP_sha256(), salted_, "Client Key");
        const std::string signature = Hmac(EVP_sha256(), Sha256(clientKey), authMessage_);
        std::string proof = clientKey;
        for (std::size_t i = 0; i < proof.size(); ++i)
            proof[i] = static_cast<char>(proof[i] ^ signature[i]);
        return withoutProof + ",p=" + Base64Encode(proof);
    }
    // "v=" and the server's signature: only a server that knows the
    // password (or its stored keys) can give it.
    void CheckServerFinal(const std::string& serverFinal) const {
        if (serverFinal.starts_with("e=")) Fail("the server says " + serverFinal.substr(2));
        std::string given;
        const std::string v = SplitAt(serverFinal, ',').front();
        if (!v.starts_with("v=") || !Base64Decode(v.substr(2), given)) Fail("no server signature");
        const std::string serverKey = Hmac(EVP_sha256(), salted_, "Server Key");
        if (given != Hmac(EVP_sha256(), serverKey, authMessage_))
            Fail("wrong server signature: this server does not know the password");
    }
    static std::vector<std::string> SplitAt(const std::string& text, char sep) {
        std::vector<std::string> out(1);
        for (char c : text) {
            if (c == sep)
                out.emplace_back();
            else
                out.back() += c;
        }
        return out;
    }

    TSaslAccount a_;
    std::string nonce_, bare_, salted_, authMessage_;
    int step_ = 0;
    bool verified_ = false;
};

} // namespace

std::string HmacMd5Hex(const std::string& Key, const std::string& Text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : Hmac(EVP_md5(), Key, Text)) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

std::vector<std::string> OfferedMechanisms(const std::vector<std::string>& Lines,
                                           const std::string& Keyword) {
    std::vector<std::string> out;
    for (const std::string& line : Lines) {
        const std::string upper = UpperAscii(line);
        if (!upper.starts_with(Keyword) || upper.size() <= Keyword.size() ||
            (upper[Keyword.size()] != ' ' && upper[Keyword.size()] != '='))
            continue;
        std::string word;
        for (char c : upper.substr(Keyword.size() + 1) + " ") {
            if (c == ' ' || c == '\t' || c == '\r') {
                if (!word.empty()) out.push_back(word);
                word.clear();
            } else {
                word += c;
            }
        }
    }
    return out;
}

const std::vector<std::string>& SaslMechanismNames() {
    static const std::vector<std::string> names = {"PLAIN", "CRAM-MD5", "SCRAM-SHA-256", "XOAUTH2",
                                                   "OAUTHBEARER"};
    return names;
}

bool IsSaslMechanism(const std::string& Name) {
    const auto& names = SaslMechanismNames();
    return std::find(names.begin(), names.end(), UpperAscii(Name)) != names.end();
}

std::unique_ptr<TSaslMechanism>
MakeSaslMechanism(const std::string& Name, const TSaslAccount& Account, const std::string& Nonce) {
    const std::string name = UpperAscii(Name);
    if (name == "PLAIN") return std::make_unique<Plain>(Account);
    if (name == "CRAM-MD5") return std::make_unique<CramMd5>(Account);
    if (name == "SCRAM-SHA-256") return std::make_unique<Scram>(Account, Nonce);
    if (name == "XOAUTH2") return std::make_unique<Bearer>(Account, false);
    if (name == "OAUTHBEARER") return std::make_unique<Bearer>(Account, true);
    return nullptr;
}

} // namespace brix
