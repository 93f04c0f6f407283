#pragma once
// MD5 message digest (RFC 1321), used for the APOP digest (RFC 1939) and for
// identifying messages by their header lines.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>

namespace brix {

class TMD5Context {
  public:
    TMD5Context() { Init(); }
    ~TMD5Context();
    void Init();
    void Update(const void* data, std::size_t size);
    // The 16-byte digest; the context is zeroed afterwards.
    std::string Final();

  private:
    void Transform(const unsigned char block[64]);
    std::uint32_t state_[4];
    std::uint32_t count_[2]; // bit count, low word first
    unsigned char buffer_[64];
};

// The digest of the bytes of S, as a 16-byte string.
std::string MD5String(std::string_view S);
// The digest of a memory block.
std::string MD5Buffer(const void* data, std::size_t size);
// The digest of everything left in a stream, read in blocks of 4096 bytes.
std::string MD5Stream(std::istream& in);
// Each byte as two lower-case hexadecimal digits.
std::string DigestToHex(std::string_view S);

} // namespace brix
