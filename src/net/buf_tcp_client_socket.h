#pragma once
// The client socket the protocol clients own: reads the stream in blocks of
// up to 4096 bytes (one receive per refill) and serves lines from the block,
// so that line reading costs one system call per block instead of one per
// byte, and a poll for further lines is answered without a system call
// while bytes are pending.

#include "net/tcp_client_socket.h"

#include <array>
#include <cstdint>
#include <string>

namespace brix {

class TBufTCPClientSocket : public TTCPClientSocket {
  public:
    static constexpr std::int32_t kBufferSize = 4096;

    // Returns at once while bytes are buffered.
    void WaitForData() override;
    // 1 at once (no wait, no log line) while bytes are buffered.
    std::int32_t WaitForDataTime(std::int32_t T) override;
    // Refills an empty buffer with one receive, then copies at most Size
    // bytes; returns the number of bytes still buffered. Size 0 only refills.
    std::int32_t Read(void* Buf, std::int32_t Size) override;
    // One line of any length (up to kMaxLineLength, beyond which it raises
    // EBufTCPClientSocket "ReadLn"), without CR and LF; returns its length.
    std::int32_t ReadLn(std::string& S) override;

    // Appends up to Max bytes of the stream to S: what is buffered, else
    // what one receive brings (within Timeout). Returns the bytes appended;
    // 0 when the peer has closed. For data counted in bytes (IMAP's
    // literals), which lines must not be made of.
    std::size_t ReadBlock(std::string& S, std::size_t Max);

    // Bytes already read past the reply that started compression are
    // compressed ones: they go back to the layer.
    void StartCompression() override;

    // Nothing buffered and the peer has closed: every further line is empty.
    bool AtEnd() const { return BufPos == BufCount && peerClosed_; }

    std::array<char, kBufferSize + 1> Buffer{};
    std::int32_t BufPos = 0;
    std::int32_t BufCount = 0;

  protected:
    void ResetStream() override;
};

} // namespace brix
