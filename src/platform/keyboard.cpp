#include "platform/keyboard.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace brix {

void KeyDecoder::Feed(const char* data, int n) {
    if (head_ > 0 && head_ >= buf_.size()) {
        buf_.clear();
        head_ = 0;
    }
    buf_.append(data, static_cast<std::size_t>(n));
}

int KeyDecoder::Next() {
    if (!HasKey()) return -1;
    auto c = static_cast<unsigned char>(buf_[head_++]);
    if (c != kEscKey || head_ >= buf_.size()) return c;
    char n = buf_[head_];
    if (n == '\x1b') { // ESC ESC is one ESC
        ++head_;
        return kEscKey;
    }
    if (n == 'O') { // SS3: one more byte names the key
        head_ += 1;
        if (head_ < buf_.size()) ++head_;
        return kFunctionKey;
    }
    if (n == '[') { // CSI: parameters up to a final byte 0x40..0x7E
        ++head_;
        while (head_ < buf_.size()) {
            auto b = static_cast<unsigned char>(buf_[head_++]);
            if (b >= 0x40 && b <= 0x7E) break;
        }
        return kFunctionKey;
    }
    return kEscKey;
}

namespace {
class TerminalKeyboard final : public Keyboard {
  public:
    TerminalKeyboard() : isTty_(::isatty(STDIN_FILENO) == 1) {}
    bool KeyPressed() override {
        Fill();
        return decoder_.HasKey();
    }
    int ReadKey() override {
        Fill();
        return decoder_.Next();
    }
    bool IsInteractive() const override { return isTty_; }

  private:
    void Fill() {
        if (!isTty_) return;
        for (;;) {
            pollfd p{STDIN_FILENO, POLLIN, 0};
            int r = ::poll(&p, 1, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0 || !(p.revents & POLLIN)) return;
            char buf[256];
            ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            decoder_.Feed(buf, static_cast<int>(n));
        }
    }
    bool isTty_;
    KeyDecoder decoder_;
};

Keyboard* gKeyboard = nullptr;
} // namespace

Keyboard& TheKeyboard() {
    static TerminalKeyboard real;
    return gKeyboard ? *gKeyboard : real;
}
void SetKeyboard(Keyboard* keyboard) {
    gKeyboard = keyboard;
}

void DiscardKeys() {
    while (TheKeyboard().KeyPressed())
        TheKeyboard().ReadKey();
}

} // namespace brix
