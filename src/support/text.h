#pragma once
// Text and number helpers shared by every subsystem. Texts are byte strings
// in the console code page CP850.

#include <cstdint>
#include <string>
#include <string_view>

namespace brix {

// Short texts (configuration values, log lines, status texts) are limited to
// this many characters.
constexpr std::size_t kShortText = 255;

void TrimBlanks(std::string& s);
std::string Trimmed(std::string_view s);
char FirstChar(std::string_view s);
char LastChar(std::string_view s);
int WordCount(std::string_view s);
// The N-th blank-separated word; N = 0 gives "", N past the end gives word 1.
std::string ExtractWord(int n, std::string_view s);
void UpperCaseOEM(std::string& s);
void UpperCaseUmlauts(std::string& s);
// a-z to A-Z only.
std::string UpperAscii(std::string_view s);
std::string LowerAscii(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
// The character of the UTF-8 sequence at s[i] into c, and i past it; false
// for a byte that starts no well-formed sequence (a stray or missing
// continuation byte, an overlong form, a surrogate, past U+10FFFF), which
// is taken as U+FFFD one byte long.
bool NextUtf8(std::string_view s, std::size_t& i, char32_t& c);
// Well-formed UTF-8 throughout (names the box gives for servers in UTF-8).
bool IsUtf8(std::string_view s);
void CutTo(std::string& s, std::size_t max);
inline std::string Cut(std::string s, std::size_t max = kShortText) {
    CutTo(s, max);
    return s;
}
inline std::int32_t Min(std::int32_t a, std::int32_t b) {
    return a < b ? a : b;
}

// Digits from "0123456789ABCDEF"; a negative value raises ERangeError.
std::string IntToBase(std::int64_t value, int base, int minDigits);
// 512 -> "512", 1536 -> "1,50K", 10752 -> "10,5K"; negative raises ERangeError.
std::string FormatSize(std::int64_t size);
// Full blocks (0xDB) then light shades (0xB0); percent is clamped to 0..100.
std::string ProgressBar(std::int64_t percent, int width);

// Strict decimal conversion: optional sign, digits, nothing else, in range of
// a signed 32-bit integer. Raises EConvertError "'s' is not a valid integer value".
std::int32_t StrToInt(std::string_view s);
// The same test without raising.
bool TryStrToInt(std::string_view s, std::int32_t& out);
// Leading decimal number of a text (for replies such as "+OK 2 320"): digits
// up to the first non-digit; false when there are none or they overflow.
bool LeadingInt64(std::string_view s, std::int64_t& out);
// The whole text as a decimal number: digits only, at least one, within 64
// bits (article numbers, the fields of a server's date).
bool DigitsInt64(std::string_view s, std::int64_t& out);

// Filter support.
// Whole-text match with "*" (any run, also empty) and "?" (one character).
// caseFlag 1 compares exactly, any other value ignores the case of a-z.
bool WildcardMatch(std::string_view pattern, std::string_view text, int caseFlag);
// Packed date: day in the lowest byte, then month, then the year in 16 bits.
std::uint32_t MakeDate(int year, int month, int day);
bool IsLeapYear(int year);
int DaysInMonth(int month, int year);

} // namespace brix
