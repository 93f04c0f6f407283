#pragma once
// Test doubles for the platform layer: a screen that keeps what is written
// to it, a fixed clock and a scripted keyboard. Each installs itself
// for its lifetime.

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/keyboard.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace brix::testing {

class MemoryScreen final : public Console {
  public:
    MemoryScreen() { SetConsole(this); }
    ~MemoryScreen() override { SetConsole(nullptr); }

    void Write(std::string_view text) override { output += text; }
    void WriteAt(int, int, std::string_view) override {}
    void SetAttr(std::uint8_t) override {}
    void ClearScreen() override {}
    void CursorOff() override {}
    void CursorOn() override {}
    void Bell() override { ++bells; }
    bool IsScreen() const override { return true; }

    std::string output;
    int bells = 0;
};

class FixedClock final : public Clock {
  public:
    FixedClock() { SetClock(this); }
    ~FixedClock() override { SetClock(nullptr); }
    // Every look is `step` milliseconds later.
    std::uint32_t TickCount() override { return ticks += step; }
    LocalTime Now() override { return now; }
    std::int64_t UnixNow() override { return unix; }
    void Sleep(std::uint32_t ms) override {
        sleeps.push_back(ms);
        ticks += ms;
    }
    std::uint32_t ticks = 1000, step = 0;
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
