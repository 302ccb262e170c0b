#include "common/Time.h"

#include "common/Format.h"

#include <limits>

namespace Tessaro {

namespace {

constexpr std::int64_t TicksPerSecond = 10'000'000;

}  // namespace

TimePoint Now()
{
    return std::chrono::time_point_cast<Ticks>(std::chrono::system_clock::now());
}

TimePoint FromStoredSeconds(std::uint64_t seconds)
{
    constexpr auto maximumSeconds =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / TicksPerSecond);
    if (seconds > maximumSeconds) {
        return TimePoint(Ticks(std::numeric_limits<std::int64_t>::max()));
    }
    return TimePoint(Ticks(static_cast<std::int64_t>(seconds) * TicksPerSecond));
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
