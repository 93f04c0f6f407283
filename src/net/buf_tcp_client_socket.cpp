#include "net/buf_tcp_client_socket.h"

#include "net/deflate_layer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brix {

void TBufTCPClientSocket::ResetStream() {
    TTCPClientSocket::ResetStream();
    BufPos = 0;
    BufCount = 0;
}

void TBufTCPClientSocket::StartCompression() {
    TTCPClientSocket::StartCompression();
    if (BufPos < BufCount)
        deflate_->Feed(Buffer.data() + BufPos, static_cast<std::size_t>(BufCount - BufPos));
    BufPos = BufCount = 0;
}

void TBufTCPClientSocket::WaitForData() {
    if (BufPos == BufCount) TTCPClientSocket::WaitForData();
}

std::int32_t TBufTCPClientSocket::WaitForDataTime(std::int32_t T) {
    if (BufPos < BufCount) return 1;
    return TTCPClientSocket::WaitForDataTime(T);
}

std::int32_t TBufTCPClientSocket::Read(void* Buf, std::int32_t Size) {
    if (BufPos == BufCount) {
        BufPos = 0;
        BufCount = 0;
        BufCount = TTCPClientSocket::Read(Buffer.data(), kBufferSize);
    }
    std::int32_t n = Size < BufCount - BufPos ? Size : BufCount - BufPos;
    if (n > 0) {
        std::memcpy(Buf, Buffer.data() + BufPos, static_cast<std::size_t>(n));
        BufPos += n;
    }
    return BufCount - BufPos;
}

std::size_t TBufTCPClientSocket::ReadBlock(std::string& S, std::size_t Max) {
    TDeadlineScope deadline(*this);
    if (BufPos == BufCount) {
        char none;
        Read(&none, 0);
        if (BufPos == BufCount) return 0;
    }
    const std::size_t n = std::min(Max, static_cast<std::size_t>(BufCount - BufPos));
    S.append(Buffer.data() + BufPos, n);
    BufPos += static_cast<std::int32_t>(n);
    return n;
}

std::int32_t TBufTCPClientSocket::ReadLn(std::string& S) {
    S.clear();
    lineEnded_ = false;
    TDeadlineScope deadline(*this);
    for (;;) {
        if (BufPos == BufCount) {
            char none;
            Read(&none, 0);                // size 0: refill only
            if (BufPos == BufCount) break; // the peer has closed
        }
        const char* start = Buffer.data() + BufPos;
        std::size_t avail = static_cast<std::size_t>(BufCount - BufPos);
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', avail));
        std::size_t take = lf ? static_cast<std::size_t>(lf - start) : avail;
        S.append(start, take);
        BufPos += static_cast<std::int32_t>(take + (lf ? 1 : 0));
        if (S.size() > kMaxLineLength) throw EBufTCPClientSocket::CreateError("ReadLn", EMSGSIZE);
        if (lf) {
            // Only CR LF (or a bare LF) ends a line; a CR elsewhere is one
            // of the line's bytes.
            if (!S.empty() && S.back() == '\r') S.pop_back();
            lineEnded_ = true;
            break;
        }
    }
    return static_cast<std::int32_t>(S.size());
}

} // namespace brix
