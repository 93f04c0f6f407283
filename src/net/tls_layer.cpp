#include "net/tls_layer.h"

#include "net/skt_exceptions.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

namespace brix {

namespace {

// The descriptor under the session. OpenSSL's own socket BIO writes with
// write(), which raises SIGPIPE on a connection the peer has closed; ours
// sends with MSG_NOSIGNAL, as the plain socket does, so a cut connection is
// a "Write" error and never ends the process.
using BioState = TTlsLayer::BioState;
int FdOf(BIO* b) {
    return static_cast<const BioState*>(BIO_get_data(b))->fd;
}

int BioWrite(BIO* b, const char* data, int len) {
    BIO_clear_retry_flags(b);
    ssize_t n;
    do {
        n = ::send(FdOf(b), data, static_cast<size_t>(len), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(b);
    return static_cast<int>(n);
}

int BioRead(BIO* b, char* data, int len) {
    BIO_clear_retry_flags(b);
    ssize_t n;
    do {
        n = ::recv(FdOf(b), data, static_cast<size_t>(len), 0);
    } while (n < 0 && errno == EINTR);
    auto* state = static_cast<BioState*>(BIO_get_data(b));
    if (n > 0 && state->first < 0) state->first = static_cast<unsigned char>(data[0]);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(b);
    return static_cast<int>(n);
}

long BioCtrl(BIO*, int cmd, long, void*) {
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
}

BIO_METHOD* SocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "brix socket");
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BioCtrl);
        BIO_meth_set_create(m, BioCreate);
        return m;
    }();
    return method;
}

// The reason of the first queued OpenSSL error, or fallback.
std::string Reason(const char* fallback) {
    unsigned long e = ERR_peek_error();
    const char* r = e ? ERR_reason_error_string(e) : nullptr;
    return r ? r : fallback;
}

bool IsAddress(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

} // namespace

bool ParseFingerprints(const std::string& Text, std::vector<std::string>& Pins, std::string& Bad) {
    Pins.clear();
    std::string word;
    auto take = [&]() {
        std::string digest;
        int nibbles = 0, value = 0;
        for (char c : word) {
            if (c == ':') continue;
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return false;
            value = value * 16 + d;
            if (++nibbles % 2 == 0) {
                digest += static_cast<char>(value);
                value = 0;
            }
        }
        if (nibbles != 64) return false;
        Pins.push_back(digest);
        return true;
    };
    for (char c : Text + " ") {
        if (c == ' ' || c == '\t' || c == ',' || c == ';') {
            if (!word.empty() && !take()) {
                Bad = word;
                return false;
            }
            word.clear();
        } else {
            word += c;
        }
    }
    return true;
}

std::string FingerprintText(const std::string& Digest) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : Digest) {
        if (!out.empty()) out += ':';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

TTlsLayer::TTlsLayer(int Fd, const std::string& Host, const std::string& CAFile,
                     const std::vector<std::string>& Pins)
    : host_(Host), pins_(Pins) {
    bio_.fd = Fd;
    ERR_clear_error();
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_) throw ETCPClientSocket::CreateError("TLS: " + Reason("no TLS context"), 0);
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    // A pinned certificate is judged after the handshake, by its digest
    // alone (a server with its own certificate has no chain to check).
    SSL_CTX_set_verify(ctx_, pins_.empty() ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_default_verify_paths(ctx_);
    errno = 0;
    if (!CAFile.empty() && SSL_CTX_load_verify_locations(ctx_, CAFile.c_str(), nullptr) != 1) {
        int code = errno;
        std::string why = code ? std::strerror(code) : Reason("no certificate in it");
        SSL_CTX_free(ctx_);
        throw ETCPClientSocket::CreateError("TLS: cannot read the CA file " + CAFile + ": " + why,
                                            code);
    }
    ssl_ = SSL_new(ctx_);
    BIO* bio = BIO_new(SocketMethod());
    BIO_set_data(bio, &bio_);
    SSL_set_bio(ssl_, bio, bio);
    if (IsAddress(Host)) {
        // An address is checked against the certificate's IP entries; SNI
        // carries names only (RFC 6066 section 3).
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), Host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl_, Host.c_str());
        SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl_, Host.c_str());
    }
}

TTlsLayer::~TTlsLayer() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
}

TTlsLayer::Want TTlsLayer::Handshake() {
    ERR_clear_error();
    errno = 0;
    int r = SSL_connect(ssl_);
    if (r == 1) {
        CheckPins();
        return Want::None;
    }
    int err = SSL_get_error(ssl_, r);
    if (err == SSL_ERROR_WANT_READ) return Want::Read;
    if (err == SSL_ERROR_WANT_WRITE) return Want::Write;
    closed_ = true;
    // With pins the chain is not what decides; its verdict would mislead.
    long verify = pins_.empty() ? SSL_get_verify_result(ssl_) : X509_V_OK;
    if (verify != X509_V_OK) {
        std::string why = X509_verify_cert_error_string(verify);
        if (verify == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
            verify == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
            verify == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
            verify == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE)
            why += " (a server with its own CA needs that CA in TLSCAFILE)";
        throw ETCPClientSocket::CreateError(
            "TLS: certificate of " + host_ + " not accepted: " + why, static_cast<int>(verify));
    }
    int code = errno;
    // A TLS record starts with a content type of 20 to 24; a letter, a
    // digit or "+" is a greeting in plain text.
    if (bio_.first >= 0 && (bio_.first < 20 || bio_.first > 24))
        throw ETCPClientSocket::CreateError(
            "TLS: the server answered in plain text: use STARTTLS, or the port for TLS", EPROTO);
    std::string why =
        Reason(err == SSL_ERROR_SYSCALL && code == 0 ? "connection closed by the server"
                                                     : "handshake failed");
    if (err == SSL_ERROR_SSL) code = ERR_GET_REASON(ERR_peek_error());
    throw ETCPClientSocket::CreateError("TLS: handshake with " + host_ + " failed: " + why, code);
}

void TTlsLayer::CheckPins() {
    if (pins_.empty()) return;
    X509* peer = SSL_get1_peer_certificate(ssl_);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    const bool ok = peer && X509_digest(peer, EVP_sha256(), digest, &len) == 1;
    X509_free(peer);
    closed_ = true;
    if (!ok) throw ETCPClientSocket::CreateError("TLS: no certificate from " + host_, 0);
    const std::string got(reinterpret_cast<char*>(digest), len);
    for (const std::string& pin : pins_)
        if (pin == got) {
            closed_ = false;
            return;
        }
    throw ETCPClientSocket::CreateError("TLS: certificate of " + host_ +
                                            " not accepted: its SHA-256 fingerprint " +
                                            FingerprintText(got) + " is not in TLSFINGERPRINT",
                                        X509_V_ERR_CERT_REJECTED);
}

std::int32_t TTlsLayer::Read(void* Buf, std::int32_t Size, Want& W, const char* Tag) {
    return Input(Buf, Size, false, W, Tag);
}

namespace {
// What a non-blocking TLS call waits for before it can go on.
TTlsLayer::Want WantOf(int SslError) {
    if (SslError == SSL_ERROR_WANT_READ) return TTlsLayer::Want::Read;
    if (SslError == SSL_ERROR_WANT_WRITE) return TTlsLayer::Want::Write;
    return TTlsLayer::Want::None;
}
} // namespace

std::int32_t TTlsLayer::Peek(Want& W, const char* Tag) {
    char byte;
    std::int32_t n = Input(&byte, 1, true, W, Tag);
    return n > 0 ? 1 : n;
}

std::int32_t TTlsLayer::Input(void* Buf, std::int32_t Size, bool Peek, Want& W, const char* Tag) {
    ERR_clear_error();
    errno = 0;
    int r = Peek ? SSL_peek(ssl_, Buf, Size) : SSL_read(ssl_, Buf, Size);
    if (r > 0) return r;
    int err = SSL_get_error(ssl_, r);
    W = WantOf(err);
    if (W != Want::None) return -1;
    if (err == SSL_ERROR_ZERO_RETURN) return 0;
    // A TCP end without close_notify: the stream ends as a cut plain
    // connection does, and the protocol layer decides whether what came
    // before it was whole (a body without its "." line is not).
    if ((err == SSL_ERROR_SYSCALL && errno == 0 && ERR_peek_error() == 0) ||
        (err == SSL_ERROR_SSL &&
         ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
        cutOff_ = true;
        closed_ = true;
        return 0;
    }
    Fail(Tag, err);
}

std::int32_t TTlsLayer::Write(const void* Buf, std::int32_t Size, Want& W, const char* Tag) {
    ERR_clear_error();
    errno = 0;
    int r = SSL_write(ssl_, Buf, Size);
    if (r > 0) return r;
    int err = SSL_get_error(ssl_, r);
    W = WantOf(err);
    if (W != Want::None) return -1;
    Fail(Tag, err);
}

void TTlsLayer::Fail(const std::string& Tag, int SslError) {
    closed_ = true;
    // A failing system call keeps the plain socket's message and number.
    if (SslError == SSL_ERROR_SYSCALL && errno != 0)
        throw ETCPClientSocket::CreateError(Tag, errno);
    unsigned long e = ERR_peek_error();
    throw ETCPClientSocket::CreateError(Tag + ": TLS " + Reason("error"),
                                        e ? static_cast<int>(ERR_GET_REASON(e)) : ECONNRESET);
}

bool TTlsLayer::Pending() const {
    return SSL_pending(ssl_) > 0;
}

std::string TTlsLayer::Description() const {
    std::string text = std::string(SSL_get_version(ssl_)) + ", cipher " +
                       SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_)) + ", peer ";
    X509* peer = SSL_get1_peer_certificate(ssl_);
    if (peer) {
        char name[256];
        X509_NAME_oneline(X509_get_subject_name(peer), name, sizeof name);
        text += name;
        X509_free(peer);
    }
    return text;
}

void TTlsLayer::Close() {
    if (closed_) return;
    closed_ = true;
    // One attempt: a peer that does not read must not hold the job.
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

} // namespace brix
