#include "net/deflate_layer.h"

#include "net/skt_exceptions.h"

#include <cerrno>
#include <zlib.h>

namespace brix {

struct TDeflateLayer::Streams {
    z_stream in{}, out{};
};

TDeflateLayer::TDeflateLayer() : z_(std::make_unique<Streams>()) {
    // Raw deflate (negative window bits): RFC 8054 section 2.2.2 has no
    // zlib header or trailer.
    if (inflateInit2(&z_->in, -15) != Z_OK ||
        deflateInit2(&z_->out, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) !=
            Z_OK)
        throw ETCPClientSocket::CreateError("COMPRESS DEFLATE: no zlib stream", ENOMEM);
}

TDeflateLayer::~TDeflateLayer() {
    inflateEnd(&z_->in);
    deflateEnd(&z_->out);
}

void TDeflateLayer::Feed(const char* Data, std::size_t Size) {
    if (used_ == input_.size()) {
        input_.clear();
        used_ = 0;
    }
    input_.append(Data, Size);
    inWire_ += Size;
}

bool TDeflateLayer::Pending() const {
    return used_ < input_.size();
}

std::size_t TDeflateLayer::Inflate(char* Buf, std::size_t Size, const char* Tag) {
    // A stream that has ended takes nothing more: the connection's end is
    // all that may follow it.
    if (ended_) {
        if (Pending())
            throw ETCPClientSocket::CreateError(
                std::string(Tag) + ": COMPRESS DEFLATE: data after the end of the stream", EPROTO);
        return 0;
    }
    z_stream& z = z_->in;
    z.next_in = reinterpret_cast<Bytef*>(input_.data() + used_);
    z.avail_in = static_cast<uInt>(input_.size() - used_);
    z.next_out = reinterpret_cast<Bytef*>(Buf);
    z.avail_out = static_cast<uInt>(Size);
    const int rc = inflate(&z, Z_SYNC_FLUSH);
    used_ = input_.size() - z.avail_in;
    const std::size_t made = Size - z.avail_out;
    inPlain_ += made;
    // A server may finish its stream as it closes (an IMAP server at
    // LOGOUT); bytes zlib cannot read mean the stream is broken.
    if (rc == Z_STREAM_END) {
        ended_ = true;
    } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
        throw ETCPClientSocket::CreateError(
            std::string(Tag) + ": COMPRESS DEFLATE: " + (z.msg ? z.msg : "stream broken"), EPROTO);
    }
    return made;
}

std::string TDeflateLayer::Deflate(std::string_view Data) {
    z_stream& z = z_->out;
    std::string wire;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
    z.avail_in = static_cast<uInt>(Data.size());
    do {
        char chunk[16384];
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof chunk;
        deflate(&z, Z_SYNC_FLUSH);
        wire.append(chunk, sizeof chunk - z.avail_out);
    } while (z.avail_out == 0);
    outPlain_ += Data.size();
    outWire_ += wire.size();
    return wire;
}

std::string TDeflateLayer::Counts() const {
    return std::to_string(inWire_) + " bytes in for " + std::to_string(inPlain_) + ", " +
           std::to_string(outWire_) + " bytes out for " + std::to_string(outPlain_);
}

} // namespace brix
