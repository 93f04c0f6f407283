#include "clients/encoders.h"

#include "clients/base64.h"
#include "support/errors.h"

namespace brix {

namespace {
constexpr std::string_view k64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr std::string_view kUU =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`";
constexpr std::string_view kXX =
    "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+";
static_assert(k64.size() == 65 && kUU.size() == 65 && kXX.size() == 65);
} // namespace

TAbsEncode::TAbsEncode(std::istream& S, int Bytes, std::string_view A)
    : Stream(S), LineBytes(Bytes), Alphabet(A) {}

bool TAbsEncode::InputDone() {
    bool done = Stream.peek() == std::istream::traits_type::eof();
    // A failing read would otherwise look like the end of the file and
    // leave the attachment cut short without a word.
    if (Stream.bad()) throw EInOutError("read error");
    return done;
}

bool TAbsEncode::Eof() {
    return InputDone();
}

std::string TAbsEncode::ReadBlock() {
    std::string block(static_cast<std::size_t>(LineBytes), '\0');
    Stream.read(block.data(), LineBytes);
    if (Stream.bad()) throw EInOutError("read error");
    block.resize(static_cast<std::size_t>(Stream.gcount()));
    return block;
}

T64Encode::T64Encode(std::istream& S) : TAbsEncode(S, 54, k64) {}

std::string T64Encode::EncodeLine() {
    return Base64Encode(ReadBlock());
}

TUUEncode::TUUEncode(std::istream& S, std::string_view FileName) : TUUEncode(S, FileName, kUU) {}

TUUEncode::TUUEncode(std::istream& S, std::string_view FileName, std::string_view A)
    : TAbsEncode(S, 45, A) {
    std::size_t slash = FileName.find_last_of('/');
    name_ = FileName.substr(slash == std::string_view::npos ? 0 : slash + 1);
    // The name ends the begin line; a line break in it would end it early.
    for (char& c : name_)
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = '_';
}

bool TUUEncode::Eof() {
    return stage_ == Stage::Done;
}

std::string TUUEncode::EncodeLine() {
    switch (stage_) {
    case Stage::Begin:
        stage_ = Stage::Data;
        return "begin 0644 " + name_;
    case Stage::Data:
        if (InputDone()) {
            stage_ = Stage::End;
            return std::string(1, Alphabet[0]);
        }
        break;
    case Stage::End:
        stage_ = Stage::Done;
        return "end";
    case Stage::Done:
        return {};
    }
    std::string block = ReadBlock();
    std::string line(1, Alphabet[block.size()]);
    for (std::size_t i = 0; i < block.size(); i += 3) {
        // The last group is filled with zero bytes; the length character
        // tells the decoder how many of them are real.
        unsigned v = 0;
        for (std::size_t j = 0; j < 3; ++j)
            v = v << 8 | (i + j < block.size() ? static_cast<unsigned char>(block[i + j]) : 0u);
        for (int shift = 18; shift >= 0; shift -= 6)
            line += Alphabet[(v >> shift) & 63];
    }
    return line;
}

TXXEncode::TXXEncode(std::istream& S, std::string_view FileName) : TUUEncode(S, FileName, kXX) {}

} // namespace brix
