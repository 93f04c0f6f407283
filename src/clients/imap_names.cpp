#include "clients/imap_names.h"

#include "support/text.h"

#include <cstdint>

namespace brix {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

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
        NextUtf8(utf8, i, c);
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

std::string ImapQuoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace brix
