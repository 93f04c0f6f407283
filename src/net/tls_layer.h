#pragma once
// TLS (OpenSSL) on the descriptor of an open client socket. The layer only
// turns bytes into records and back; the socket keeps the waits, the
// time-outs and the error classes, so a TLS connection fails, times out and
// ends exactly as a plain one does.
//
// Verification cannot be turned off: the peer's chain must lead to the
// system's trust store or to the extra CA file, and its certificate must
// name the host that was connected to (RFC 6125), or the certificate must be
// one of the pinned ones; TLS 1.2 is the least version accepted.

#include <cstdint>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

namespace brix {

// The SHA-256 fingerprints of a text ("AB:CD:..." or plain hex, words
// between blanks or commas) as 32-byte digests. False, with the word in
// Bad, when a word is not 64 hex digits.
bool ParseFingerprints(const std::string& Text, std::vector<std::string>& Pins, std::string& Bad);
// "AB:CD:..." of a digest.
std::string FingerprintText(const std::string& Digest);

class TTlsLayer {
  public:
    // The socket under the session, and the first byte the server sent:
    // plain text there means a port without TLS.
    struct BioState {
        int fd = -1;
        int first = -1;
    };
    // What a step needs before it can go on.
    enum class Want { None, Read, Write };

    // Prepares a client session on Fd for Host (a name, sent as SNI, or an
    // address). CAFile, when not empty, names PEM certificates trusted in
    // addition to the system's. Pins, when not empty, are the SHA-256
    // digests of the only certificates accepted, without chain or name
    // checks. Raises ETCPClientSocket when the CA file cannot be read.
    TTlsLayer(int Fd, const std::string& Host, const std::string& CAFile,
              const std::vector<std::string>& Pins = {});
    ~TTlsLayer();
    TTlsLayer(const TTlsLayer&) = delete;
    TTlsLayer& operator=(const TTlsLayer&) = delete;

    // One step of the handshake: None when it is complete. A failed
    // handshake or verification raises ETCPClientSocket naming the reason.
    Want Handshake();

    // Bytes read (> 0); 0 at the end of the stream; -1 when Want says what
    // to wait for. Errors raise ETCPClientSocket with Tag.
    std::int32_t Read(void* Buf, std::int32_t Size, Want& W, const char* Tag);
    // Looks for one byte of data without taking it: 1 when there is one, 0
    // at the end of the stream, -1 with Want when there is none yet.
    std::int32_t Peek(Want& W, const char* Tag);
    // Bytes written (> 0) or -1 with Want; errors raise ETCPClientSocket.
    std::int32_t Write(const void* Buf, std::int32_t Size, Want& W, const char* Tag);
    // Decrypted bytes waiting inside the layer.
    bool Pending() const;
    // The end of the stream came without the peer's close_notify.
    bool CutOff() const { return cutOff_; }
    // "TLSv1.3, cipher ..., peer /CN=..." for the debug log.
    std::string Description() const;
    // Sends close_notify once, without waiting for the peer's.
    void Close();

  private:
    std::int32_t Input(void* Buf, std::int32_t Size, bool Peek, Want& W, const char* Tag);
    [[noreturn]] void Fail(const std::string& Tag, int SslError);
    // With pins: the peer's certificate must be one of them.
    void CheckPins();

    ssl_ctx_st* ctx_ = nullptr;
    ssl_st* ssl_ = nullptr;
    std::string host_;
    std::vector<std::string> pins_;
    BioState bio_;
    bool cutOff_ = false;
    bool closed_ = false;
};

} // namespace brix
