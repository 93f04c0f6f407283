#include "support/text.h"

#include "support/errors.h"

#include <limits>

namespace brix {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";
bool IsBlankOrTab(char c) {
    return c == ' ' || c == '\t';
}
char UpAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
} // namespace

void TrimBlanks(std::string& s) {
    std::size_t b = 0;
    while (b < s.size() && IsBlankOrTab(s[b]))
        ++b;
    std::size_t e = s.size();
    while (e > b && IsBlankOrTab(s[e - 1]))
        --e;
    s = s.substr(b, e - b);
}

std::string Trimmed(std::string_view s) {
    std::string r(s);
    TrimBlanks(r);
    return r;
}

char FirstChar(std::string_view s) {
    return s.empty() ? '\0' : s.front();
}
char LastChar(std::string_view s) {
    return s.empty() ? '\0' : s.back();
}

int WordCount(std::string_view s) {
    int n = 0;
    bool inWord = false;
    for (char c : s) {
        if (c == ' ') {
            inWord = false;
        } else if (!inWord) {
            inWord = true;
            ++n;
        }
    }
    return n;
}

std::string ExtractWord(int n, std::string_view s) {
    if (n <= 0) return {};
    if (n > WordCount(s)) n = 1;
    int k = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ')
            ++i;
        if (i >= s.size()) break;
        std::size_t start = i;
        while (i < s.size() && s[i] != ' ')
            ++i;
        if (++k == n) return std::string(s.substr(start, i - start));
    }
    return {};
}

bool NextUtf8(std::string_view s, std::size_t& i, char32_t& c) {
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

bool IsUtf8(std::string_view s) {
    char32_t c = 0;
    for (std::size_t i = 0; i < s.size();)
        if (!NextUtf8(s, i, c)) return false;
    return true;
}

void UpperCaseOEM(std::string& s) {
    for (char& ch : s) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case 0x84:
            c = 0x8E;
            break;
        case 0x94:
            c = 0x99;
            break;
        case 0x81:
            c = 0x9A;
            break;
        case 0x82:
            c = 0x90;
            break;
        case 0x86:
            c = 0x8F;
            break;
        case 0x91:
            c = 0x92;
            break;
        case 0xA4:
            c = 0xA5;
            break;
        case 0x87:
            c = 0x80;
            break;
        default:
            if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 32);
        }
        ch = static_cast<char>(c);
    }
}

void UpperCaseUmlauts(std::string& s) {
    for (char& ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c == 0x84)
            c = 0x8E;
        else if (c == 0x94)
            c = 0x99;
        else if (c == 0x81)
            c = 0x9A;
        else if (c >= 'a' && c <= 'z')
            c = static_cast<unsigned char>(c - 32);
        ch = static_cast<char>(c);
    }
}

std::string UpperAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = UpAscii(c);
    return r;
}

std::string LowerAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return r;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpAscii(a[i]) != UpAscii(b[i])) return false;
    return true;
}

void CutTo(std::string& s, std::size_t max) {
    if (s.size() > max) s.resize(max);
}

std::string IntToBase(std::int64_t value, int base, int minDigits) {
    if (value < 0 || base < 2 || base > 16) ThrowRangeError();
    std::string r;
    do {
        r.insert(r.begin(), kDigits[value % base]);
        value /= base;
    } while (value > 0);
    if (minDigits > 255) minDigits = 255;
    while (static_cast<int>(r.size()) < minDigits)
        r.insert(r.begin(), '0');
    return r;
}

std::string FormatSize(std::int64_t size) {
    if (size < 0) ThrowRangeError();
    int unit = 0;
    std::int64_t rest = 0;
    while (size >= 1024) {
        ++unit;
        rest = size % 1024;
        size /= 1024;
    }
    if (unit == 0) return IntToBase(size, 10, 1);
    std::string fraction;
    if (size < 10)
        fraction = "," + IntToBase(rest * 100 / 1024, 10, 2);
    else if (size < 100)
        fraction = "," + IntToBase(rest * 10 / 1024, 10, 1);
    static constexpr char kUnits[] = " KMGTPE";
    return IntToBase(size, 10, 1) + fraction + kUnits[unit];
}

std::string ProgressBar(std::int64_t percent, int width) {
    if (width < 0) width = 0;
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    std::int64_t w = static_cast<std::int64_t>(width) * percent / 100;
    return std::string(static_cast<std::size_t>(w), '\xDB') +
           std::string(static_cast<std::size_t>(width - w), '\xB0');
}

bool TryStrToInt(std::string_view s, std::int32_t& out) {
    std::size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        neg = s[i] == '-';
        ++i;
    }
    if (i >= s.size()) return false;
    std::int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1)
            return false;
    }
    if (neg) v = -v;
    if (v > std::numeric_limits<std::int32_t>::max() ||
        v < std::numeric_limits<std::int32_t>::min())
        return false;
    out = static_cast<std::int32_t>(v);
    return true;
}

std::int32_t StrToInt(std::string_view s) {
    std::int32_t v = 0;
    if (!TryStrToInt(s, v))
        throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
    return v;
}

bool LeadingInt64(std::string_view s, std::int64_t& out) {
    std::size_t i = 0;
    std::int64_t v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        const int digit = s[i] - '0';
        // Up to 2^63-1 itself: an article number may be the last one there is.
        if (v > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return false;
        v = v * 10 + digit;
        ++i;
    }
    if (i == 0) return false;
    out = v;
    return true;
}

bool DigitsInt64(std::string_view s, std::int64_t& out) {
    return s.find_first_not_of("0123456789") == std::string_view::npos && LeadingInt64(s, out);
}

bool WildcardMatch(std::string_view pattern, std::string_view text, int caseFlag) {
    // Iterative glob with backtracking to the last star: linear in practice
    // and never recursive, so hostile header lines cannot blow the stack.
    const bool exact = caseFlag == 1;
    auto eq = [exact](char a, char b) { return exact ? a == b : UpAscii(a) == UpAscii(b); };
    std::size_t p = 0, t = 0;
    std::size_t starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || eq(pattern[p], text[t]))) {
            ++p;
            ++t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int month, int year) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    if (month == 2 && IsLeapYear(year)) return 29;
    return kDays[month - 1];
}

std::uint32_t MakeDate(int year, int month, int day) {
    if (year < 100) year += 1900;
    return (static_cast<std::uint32_t>(year & 0xFFFF) << 16) |
           (static_cast<std::uint32_t>(month & 0xFF) << 8) | static_cast<std::uint32_t>(day & 0xFF);
}

} // namespace brix
