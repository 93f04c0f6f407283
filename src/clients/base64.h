#pragma once
// Base64 (RFC 4648 section 4, the alphabet of RFC 2045) with "=" padding and
// no line breaks, for the AUTH LOGIN exchange (RFC 4954). Any length.

#include <string>
#include <string_view>

namespace brix {

std::string Base64Encode(std::string_view data);
// Decodes text in that alphabet; false on any other character or a bad
// length (used to read the server's challenges in tests and tools).
bool Base64Decode(std::string_view text, std::string& out);

} // namespace brix
