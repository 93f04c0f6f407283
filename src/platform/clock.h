#pragma once
// Time sources behind one small interface, so that tests can fix the clock.

#include <cstdint>
#include <ctime>

namespace brix {

struct LocalTime {
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    // Monotonic milliseconds, wrapping like a 32-bit tick counter.
    virtual std::uint32_t TickCount() = 0;
    // Monotonic milliseconds that never wrap, for intervals.
    virtual std::int64_t MonotonicMs() { return TickCount(); }
    virtual LocalTime Now() = 0;
    // Seconds since 1 January 1970 of the local time now (for the news rate).
    virtual std::int64_t UnixNow() = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
};

Clock& TheClock();
// Replaces the program's clock (tests); nullptr restores the real one.
void SetClock(Clock* clock);

// Seconds of the local day now.
int SecondsOfDay();
// Packed date (support/text.h MakeDate) of today.
std::uint32_t Today();

} // namespace brix
