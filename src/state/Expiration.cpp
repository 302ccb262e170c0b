// Whether and when the product expires: Configuration decisions over "ExpirationTime".

#include "configuration/Configuration.h"
#include "configuration/RegistryLayout.h"
#include "diagnostics/Log.h"

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;

constexpr Ticks OneDay = std::chrono::hours(24);

}  // namespace

bool Configuration::IsExpired(bool quiet) const
{
    const TimePoint expire = GetExpirationTime();
    const TimePoint now = CurrentTime();
    const TimePoint notify = GetTimeNotifyAboutNearExpiration();
    // Expired once the moment lies strictly before now: at the very tick the product is still valid.
    const bool expired = expire < now;
    if (!quiet) {
        LogFormat(LogComponent::SecurityCenter, LogLevel::Info,
                  expired ? "Reporting product got expired (Expire: {} - Notify: {} - Current: {})"
                          : "Reporting product is still valid (Expire: {} - Notify: {} - Current: {})",
                  FormatTime(expire), FormatTime(notify), FormatTime(now));
    }
    return expired;
}

std::uint32_t Configuration::GetRemainingDaysToExpiration() const
{
    const TimePoint expire = GetExpirationTime();
    const TimePoint now = CurrentTime();
    if (now >= expire) {
        return 0;
    }
    // The difference of two valid time points may exceed the tick range: compute it unsigned.
    const auto remaining = static_cast<std::uint64_t>(expire.time_since_epoch().count()) -
                           static_cast<std::uint64_t>(now.time_since_epoch().count());
    const auto day = static_cast<std::uint64_t>(OneDay.count());
    const std::uint64_t days = remaining / day + (remaining % day != 0 ? 1 : 0);
    return days > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(days);
}

}  // namespace Tessaro::Ravelin
