#include "platform/clock.h"

#include "support/text.h"

#include <cerrno>
#include <time.h>

namespace brix {

namespace {
class RealClock final : public Clock {
  public:
    std::uint32_t TickCount() override { return static_cast<std::uint32_t>(MonotonicMs()); }
    std::int64_t MonotonicMs() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }
    LocalTime Now() override {
        std::time_t t = std::time(nullptr);
        std::tm tm{};
        localtime_r(&t, &tm);
        return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    }
    std::int64_t UnixNow() override { return static_cast<std::int64_t>(std::time(nullptr)); }
    void Sleep(std::uint32_t ms) override {
        timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        timespec rem{};
        while (nanosleep(&req, &rem) != 0 && errno == EINTR)
            req = rem;
    }
};

RealClock gRealClock;
Clock* gClock = &gRealClock;
} // namespace

Clock& TheClock() {
    return *gClock;
}
void SetClock(Clock* clock) {
    gClock = clock ? clock : &gRealClock;
}

int SecondsOfDay() {
    LocalTime t = TheClock().Now();
    return t.hour * 3600 + t.minute * 60 + t.second;
}

std::uint32_t Today() {
    LocalTime t = TheClock().Now();
    return MakeDate(t.year, t.month, t.day);
}

} // namespace brix
