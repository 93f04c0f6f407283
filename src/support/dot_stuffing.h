#pragma once
// Dot-stuffing of message bodies on the wire and in batched SMTP (RFC 5321
// section 4.5.2, RFC 1939 section 3, RFC 3977 section 3.1.1): a body line
// that begins with "." gets one more in front, so that no line of the body
// can be the lone "." that ends it; the receiver takes that one away.

#include <string>
#include <string_view>

namespace brix {

// The line as it goes into a dot-terminated body.
inline std::string Stuffed(std::string_view line) {
    std::string out;
    out.reserve(line.size() + 1);
    if (line.starts_with('.')) out += '.';
    out += line;
    return out;
}

// A received body line back as it was sent; the lone "." that ends the
// body is the caller's to see first.
inline void Unstuff(std::string& line) {
    if (line.size() > 1 && line[0] == '.') line.erase(0, 1);
}

} // namespace brix
