#pragma once
// Keys waiting at the console, read without blocking.

#include <string>

namespace brix {

// Key codes: a byte 0..255, or kFunctionKey for an escape sequence (arrow
// and function keys), which must never count as ESC.
constexpr int kEscKey = 27;
constexpr int kFunctionKey = 0x100;

class Keyboard {
  public:
    virtual ~Keyboard() = default;
    virtual bool KeyPressed() = 0;
    // The next key, or -1 when none is waiting.
    virtual int ReadKey() = 0;
    // False when standard input is no terminal: nobody can answer a prompt.
    virtual bool IsInteractive() const { return true; }
};

Keyboard& TheKeyboard();
// Replaces the keyboard (tests); nullptr restores the terminal's.
void SetKeyboard(Keyboard* keyboard);

// Reads every waiting key and discards it.
void DiscardKeys();

// Splits raw terminal input into keys (pure, for tests): ESC followed by "["
// or "O" starts a sequence, ESC ESC is one ESC.
class KeyDecoder {
  public:
    void Feed(const char* data, int n);
    bool HasKey() const { return head_ < buf_.size(); }
    int Next();

  private:
    std::string buf_;
    std::size_t head_ = 0;
};

} // namespace brix
