#include "clients/imap_names.h"

#include <cstdint>

namespace brix {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

// The code point that starts at s[i] into c, and i past it; false for a
// byte that starts no well-formed sequence, which is taken as U+FFFD one
// byte long.
bool NextCodePoint(const std::string& s, std::size_t& i, char32_t& c) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        c = lead;
        return true;
    }
    int more = lead >= 0xf0 && lead <= 0xf4   ? 3
               : lead >= 0xe0 && lead <= 0xef ? 2
               : lead >= 0xc2 && lead <= 0xdf ? 1
                                              : 0;
    c = more == 3 ? lead & 0x07 : more == 2 ? lead & 0x0f : lead & 0x1f;
    std::size_t k = i + 1;
    for (int n = 0; n < more; ++n, ++k) {
        if (k >= s.size() || (byte(k) & 0xc0) != 0x80) {
            more = 0;
            break;
        }
        c = c << 6 | (byte(k) & 0x3f);
    }
    // Overlong forms, surrogates and values past U+10FFFF are no characters.
    const bool valid = more > 0 && !(more == 2 && c < 0x800) && !(more == 3 && c < 0x10000) &&
                       !(c >= 0xd800 && c <= 0xdfff) && c <= 0x10ffff;
    if (!valid) {
        ++i;
        c = 0xfffd;
        return false;
    }
    i = k;
    return true;
}

// Modified Base64 of UTF-16BE units, without padding.
std::string ShiftedRun(const std::u16string& units) {
    std::string bytes;
    for (char16_t u : units) {
        bytes += static_cast<char>(u >> 8);
        bytes += static_cast<char>(u & 0xff);
    }
    std::string out;
    std::uint32_t bits = 0;
    int held = 0;
    for (char b : bytes) {
        bits = bits << 8 | static_cast<unsigned char>(b);
        held += 8;
        while (held >= 6) {
            held -= 6;
            out += kAlphabet[(bits >> held) & 63];
        }
    }
    if (held > 0) out += kAlphabet[(bits << (6 - held)) & 63];
    return out;
}

} // namespace

std::string ImapMailboxName(const std::string& utf8) {
    std::string out;
    std::u16string run;
    const auto endRun = [&] {
        if (run.empty()) return;
        out += "&" + ShiftedRun(run) + "-";
        run.clear();
    };
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c = 0;
        NextCodePoint(utf8, i, c);
        if (c >= 0x20 && c <= 0x7e) {
            endRun();
            out += c == '&' ? std::string("&-") : std::string(1, static_cast<char>(c));
        } else if (c >= 0x10000) {
            run += static_cast<char16_t>(0xd800 + ((c - 0x10000) >> 10));
            run += static_cast<char16_t>(0xdc00 + ((c - 0x10000) & 0x3ff));
        } else {
            run += static_cast<char16_t>(c);
        }
    }
    endRun();
    return out;
}

bool IsUtf8(const std::string& s) {
    char32_t c = 0;
    for (std::size_t i = 0; i < s.size();)
        if (!NextCodePoint(s, i, c)) return false;
    return true;
}

std::string ImapQuoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace brix
