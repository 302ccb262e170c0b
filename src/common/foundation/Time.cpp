#include "common/foundation/Time.h"

#include "common/foundation/Format.h"

#include <limits>
#include <thread>

namespace Tessaro {

namespace {

constexpr std::int64_t TicksPerSecond = 10'000'000;

}  // namespace

void Pacing::Sleep(Ticks duration)
{
    std::this_thread::sleep_for(duration);
}

TimePoint Now()
{
    return std::chrono::time_point_cast<Ticks>(std::chrono::system_clock::now());
}

TimePoint FromStoredSeconds(std::int64_t seconds)
{
    constexpr std::int64_t latest = std::numeric_limits<std::int64_t>::max() / TicksPerSecond;
    constexpr std::int64_t earliest = std::numeric_limits<std::int64_t>::min() / TicksPerSecond;
    if (seconds > latest) {
        return TimePoint::max();
    }
    if (seconds < earliest) {
        return TimePoint::min();
    }
    return TimePoint(Ticks(seconds * TicksPerSecond));
}

TimePoint SaturatingAdd(TimePoint time, Ticks duration)
{
    std::int64_t sum = 0;
    if (__builtin_add_overflow(time.time_since_epoch().count(), duration.count(), &sum)) {
        return duration.count() > 0 ? TimePoint::max() : TimePoint::min();
    }
    return TimePoint(Ticks(sum));
}

std::int64_t ToStoredSeconds(TimePoint time)
{
    return time.time_since_epoch().count() / TicksPerSecond;
}

std::string FormatTime(TimePoint time)
{
    const std::int64_t seconds = ToStoredSeconds(time);
    try {
        return Format("{:%Y-%m-%d %X}", UtcCalendarTime(static_cast<std::time_t>(seconds)));
    } catch (const std::exception&) {
        return Format("{} seconds since 1970-01-01 00:00:00 UTC", seconds);
    }
}

}  // namespace Tessaro
