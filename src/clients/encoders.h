#pragma once
// Line encoders for binary attachments: Base64 (RFC 2045 section 6.8) and
// the traditional uuencode and xxencode. Each reads its input stream one
// output line's worth at a time, so a file of any size is encoded in
// constant memory:
//
//   T64Encode enc(stream);
//   while (!enc.Eof()) send(enc.EncodeLine());
//
// A stream that fails while it is read raises EInOutError.

#include <istream>
#include <string>
#include <string_view>

namespace brix {

class TAbsEncode {
  public:
    // Alphabet: the 64 digit characters and a 65th, the padding or the
    // character of the closing empty line.
    TAbsEncode(std::istream& Stream, int LineBytes, std::string_view Alphabet);
    virtual ~TAbsEncode() = default;
    TAbsEncode(const TAbsEncode&) = delete;
    TAbsEncode& operator=(const TAbsEncode&) = delete;

    // True when there is no further line to produce.
    virtual bool Eof();
    // The next output line, without its line end.
    virtual std::string EncodeLine() = 0;

  protected:
    // The whole input has been read.
    bool InputDone();
    // Up to LineBytes further input bytes.
    std::string ReadBlock();

    std::istream& Stream;
    int LineBytes;
    std::string Alphabet;
};

// 54 input bytes (72 characters) per line; "=" pads the last group.
class T64Encode : public TAbsEncode {
  public:
    explicit T64Encode(std::istream& Stream);
    std::string EncodeLine() override;
};

// "begin 0644 " + the file's base name, lines of up to 45 bytes each led by
// its length character, then the empty line "`" and "end", as uudecode
// expects them. Zero bits are written as the grave accent, never as a blank,
// so that no line loses trailing blanks on its way.
class TUUEncode : public TAbsEncode {
  public:
    TUUEncode(std::istream& Stream, std::string_view FileName);
    // Also false until the begin line and both end lines have been produced.
    bool Eof() override;
    std::string EncodeLine() override;

  protected:
    TUUEncode(std::istream& Stream, std::string_view FileName, std::string_view Alphabet);

  private:
    enum class Stage { Begin, Data, End, Done };
    Stage stage_ = Stage::Begin;
    std::string name_;
};

// The uuencode line structure in the xxencode alphabet; its empty line is "+".
class TXXEncode : public TUUEncode {
  public:
    TXXEncode(std::istream& Stream, std::string_view FileName);
};

} // namespace brix
