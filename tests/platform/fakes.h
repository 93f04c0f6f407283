#pragma once
// Test doubles for the platform layer: an 80x25 screen of characters and
// attributes, a fixed clock and a scripted keyboard. Each installs itself
// for its lifetime.

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/keyboard.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace brix::testing {

class MemoryScreen final : public Console {
  public:
    static constexpr int kCols = 80, kRows = 25;
    MemoryScreen() {
        Clear();
        SetConsole(this);
    }
    ~MemoryScreen() override { SetConsole(nullptr); }

    void Write(std::string_view text) override { output += text; }
    void WriteAt(int x, int y, std::string_view text) override {
        if (x >= 1 && y >= 1 && x <= kCols && y <= kRows) {
            cx_ = x;
            cy_ = y;
        }
        for (char c : text) {
            if (cx_ >= 1 && cx_ <= kCols && cy_ >= 1 && cy_ <= kRows) {
                chars[cy_ - 1][cx_ - 1] = c;
                attrs[cy_ - 1][cx_ - 1] = attr_;
            }
            ++cx_;
        }
    }
    void SetAttr(std::uint8_t a) override { attr_ = a; }
    void ClearScreen() override { Clear(); }
    void CursorOff() override {}
    void CursorOn() override {}
    void Bell() override { ++bells; }
    bool IsScreen() const override { return true; }

    // Characters of row y (1-based) from column x, n long.
    std::string Text(int x, int y, int n) const { return chars[y - 1].substr(x - 1, n); }
    std::uint8_t Attr(int x, int y) const { return attrs[y - 1][x - 1]; }

    std::string output;
    std::array<std::string, kRows> chars;
    std::array<std::array<std::uint8_t, kCols>, kRows> attrs{};
    int bells = 0;

  private:
    void Clear() {
        for (auto& r : chars)
            r.assign(kCols, ' ');
        for (auto& r : attrs)
            r.fill(7);
        cx_ = cy_ = 1;
    }
    std::uint8_t attr_ = 7;
    int cx_ = 1, cy_ = 1;
};

class FixedClock final : public Clock {
  public:
    FixedClock() { SetClock(this); }
    ~FixedClock() override { SetClock(nullptr); }
    std::uint32_t TickCount() override { return ticks; }
    LocalTime Now() override { return now; }
    std::int64_t UnixNow() override { return unix; }
    void Sleep(std::uint32_t ms) override {
        sleeps.push_back(ms);
        ticks += ms;
    }
    std::uint32_t ticks = 1000;
    LocalTime now{2001, 2, 3, 9, 5, 0};
    std::int64_t unix = 981191100;
    std::vector<std::uint32_t> sleeps;
};

class ScriptedKeyboard final : public Keyboard {
  public:
    ScriptedKeyboard() { SetKeyboard(this); }
    ~ScriptedKeyboard() override { SetKeyboard(nullptr); }
    // Raw bytes as a terminal would deliver them.
    void Type(const std::string& bytes) {
        decoder_.Feed(bytes.data(), static_cast<int>(bytes.size()));
    }
    bool KeyPressed() override { return decoder_.HasKey(); }
    int ReadKey() override { return decoder_.Next(); }

  private:
    KeyDecoder decoder_;
};

} // namespace brix::testing
