#pragma once

// The one door to the formatting library. GCC 12 has no <format>; everything goes through these
// names so that a later compiler can switch to std::format here alone.

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <string>
#include <string_view>
#include <utility>

namespace Tessaro {

template <typename... Args>
using FormatString = fmt::format_string<Args...>;
using FormatArgs = fmt::format_args;
using FormatError = fmt::format_error;

// Format string checked at compile time.
template <typename... Args>
std::string Format(FormatString<Args...> format, Args&&... args)
{
    return fmt::format(format, std::forward<Args>(args)...);
}

// Format string known only at run time; a mismatch raises FormatError.
inline std::string FormatRuntime(std::string_view format, FormatArgs args)
{
    return fmt::vformat(format, args);
}

template <typename... Args>
auto MakeFormatArgs(const Args&... args)
{
    return fmt::make_format_args(args...);
}

}  // namespace Tessaro

#include <ctime>

namespace Tessaro {

// The UTC calendar time of a count of seconds since 1970, for "{:%Y-%m-%d %X}". Raises
// FormatError for a time the C runtime cannot represent.
inline std::tm UtcCalendarTime(std::time_t seconds)
{
    return fmt::gmtime(seconds);
}

}  // namespace Tessaro
