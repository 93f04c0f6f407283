#pragma once
// Raw deflate in both directions of a connection (NNTP's COMPRESS DEFLATE,
// RFC 8054), through zlib. Like the TLS layer it only turns bytes into bytes:
// the socket keeps the waits, the time-outs and the error classes.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace brix {

class TDeflateLayer {
  public:
    TDeflateLayer();
    ~TDeflateLayer();
    TDeflateLayer(const TDeflateLayer&) = delete;
    TDeflateLayer& operator=(const TDeflateLayer&) = delete;

    // Compressed bytes as they came from the peer.
    void Feed(const char* Data, std::size_t Size);
    // Inflates what was fed into Buf: the bytes made (0 when it needs more
    // input). A broken stream raises ETCPClientSocket with Tag.
    std::size_t Inflate(char* Buf, std::size_t Size, const char* Tag);
    // Fed bytes not yet inflated.
    bool Pending() const;
    // Data compressed and flushed (Z_SYNC_FLUSH), so that the peer can read
    // all of it at once: what goes on the wire.
    std::string Deflate(std::string_view Data);
    // "N bytes in for M, K bytes out for L" for the debug log.
    std::string Counts() const;

  private:
    struct Streams;
    std::unique_ptr<Streams> z_;
    std::string input_;
    std::size_t used_ = 0; // bytes of input_ inflated
    bool ended_ = false;   // the peer finished its stream
    std::uint64_t inWire_ = 0, inPlain_ = 0, outWire_ = 0, outPlain_ = 0;
};

} // namespace brix
