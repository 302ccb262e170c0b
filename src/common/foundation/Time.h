#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ratio>
#include <string>

namespace Tessaro {

// The system's time: signed 64-bit 100-nanosecond ticks since 1970-01-01 00:00:00 UTC.
using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
using TimePoint = std::chrono::time_point<std::chrono::system_clock, Ticks>;

TimePoint Now();

// Whole seconds as stored in the registry, signed: before 1970 is negative. Seconds that do not
// fit the tick range are clamped to its nearer end (the far past or the far future) instead of
// overflowing.
TimePoint FromStoredSeconds(std::int64_t seconds);
// time + duration, held at the ends of the tick range instead of overflowing.
TimePoint SaturatingAdd(TimePoint time, Ticks duration);
// Ticks divided by 10,000,000, truncated toward zero.
std::int64_t ToStoredSeconds(TimePoint time);

// The waits of one object: the clock its deadlines read and the pause between its attempts. The
// real clock and a real sleep unless a test puts its own in, to see each pause and its length and
// to move the clock without sleeping.
struct Pacing {
    std::function<TimePoint()> clock = &Now;
    std::function<void(Ticks)> pause = &Sleep;

    // Sleeps for the duration.
    static void Sleep(Ticks duration);
};

// "{:%Y-%m-%d %X}" in UTC. A time the calendar functions cannot represent still gives a readable
// text (its second count) instead of failing the log line it goes into.
std::string FormatTime(TimePoint time);

}  // namespace Tessaro
