#include "clients/md5.h"

#include <cstring>

namespace brix {

namespace {

constexpr std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (~x & z);
}
constexpr std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & z) | (y & ~z);
}
constexpr std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
constexpr std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}
constexpr std::uint32_t Rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// Per-step shift amounts and the constants floor(abs(sin(i + 1)) * 2^32) of
// RFC 1321 section 3.4.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

} // namespace

TMD5Context::~TMD5Context() {
    std::memset(state_, 0, sizeof state_);
    std::memset(buffer_, 0, sizeof buffer_);
}

void TMD5Context::Init() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    count_[0] = count_[1] = 0;
    std::memset(buffer_, 0, sizeof buffer_);
}

void TMD5Context::Transform(const unsigned char block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = std::uint32_t(block[i * 4]) | std::uint32_t(block[i * 4 + 1]) << 8 |
               std::uint32_t(block[i * 4 + 2]) << 16 | std::uint32_t(block[i * 4 + 3]) << 24;
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int k;
        switch (i / 16) {
        case 0:
            f = F(b, c, d);
            k = i;
            break;
        case 1:
            f = G(b, c, d);
            k = (5 * i + 1) % 16;
            break;
        case 2:
            f = H(b, c, d);
            k = (3 * i + 5) % 16;
            break;
        default:
            f = I(b, c, d);
            k = (7 * i) % 16;
            break;
        }
        std::uint32_t t = d;
        d = c;
        c = b;
        b = b + Rotl(a + f + kSine[i] + x[k], kShift[i]);
        a = t;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void TMD5Context::Update(const void* data, std::size_t size) {
    const auto* in = static_cast<const unsigned char*>(data);
    std::size_t index = (count_[0] >> 3) & 0x3f;
    std::uint64_t bits = (std::uint64_t(count_[1]) << 32 | count_[0]) + std::uint64_t(size) * 8;
    count_[0] = static_cast<std::uint32_t>(bits);
    count_[1] = static_cast<std::uint32_t>(bits >> 32);
    std::size_t room = 64 - index;
    std::size_t i = 0;
    if (size >= room) {
        std::memcpy(buffer_ + index, in, room);
        Transform(buffer_);
        for (i = room; i + 63 < size; i += 64)
            Transform(in + i);
        index = 0;
    }
    if (size > i) std::memcpy(buffer_ + index, in + i, size - i);
}

std::string TMD5Context::Final() {
    unsigned char bits[8];
    for (int i = 0; i < 4; ++i) {
        bits[i] = static_cast<unsigned char>(count_[0] >> (8 * i));
        bits[i + 4] = static_cast<unsigned char>(count_[1] >> (8 * i));
    }
    // Pad to 56 bytes modulo 64, then append the bit count.
    static const unsigned char padding[64] = {0x80};
    std::size_t index = (count_[0] >> 3) & 0x3f;
    std::size_t padLen = index < 56 ? 56 - index : 120 - index;
    Update(padding, padLen);
    Update(bits, 8);
    std::string digest(16, '\0');
    for (int i = 0; i < 16; ++i)
        digest[i] = static_cast<char>(state_[i / 4] >> (8 * (i % 4)));
    std::memset(state_, 0, sizeof state_);
    std::memset(count_, 0, sizeof count_);
    std::memset(buffer_, 0, sizeof buffer_);
    return digest;
}

std::string MD5Buffer(const void* data, std::size_t size) {
    TMD5Context ctx;
    ctx.Update(data, size);
    return ctx.Final();
}

std::string MD5String(std::string_view S) {
    return MD5Buffer(S.data(), S.size());
}

std::string MD5Stream(std::istream& in) {
    TMD5Context ctx;
    char block[4096];
    while (in) {
        in.read(block, sizeof block);
        if (in.gcount() > 0) ctx.Update(block, static_cast<std::size_t>(in.gcount()));
    }
    return ctx.Final();
}

std::string DigestToHex(std::string_view S) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(S.size() * 2);
    for (unsigned char c : S) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

} // namespace brix
