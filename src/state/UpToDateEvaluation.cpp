// Whether the product counts as up to date: a Configuration decision over the stored timestamps.

#include "configuration/Configuration.h"
#include "configuration/RegistryLayout.h"
#include "diagnostics/Log.h"

#include <limits>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;

constexpr auto Component = LogComponent::SecurityCenter;
constexpr Ticks InstallationGrace = std::chrono::hours(24);
constexpr Ticks RegistrationGrace = std::chrono::minutes(15);
constexpr std::int64_t DefinitionsValiditySeconds = 604'800;

bool StrictlyBetween(TimePoint start, TimePoint now, TimePoint end)
{
    return start < now && now < end;
}

}  // namespace

bool Configuration::IsUpToDate(bool quiet) const
{
    if (GetRunMode() == RunMode::Register) {
        LogFormat(Component, LogLevel::Info,
                  "Reporting product is still up to date as the agent runs mode is a Security Center register");
        return true;
    }
    const TimePoint now = CurrentTime();

    const auto installation = GetProductInstallationTime();
    if (!installation.Succeeded()) {
        LogFormat(Component, LogLevel::Warn, "Unable to get the product installation time configuration entry");
    } else if (const TimePoint waitEnd = SaturatingAdd(installation.Value(), InstallationGrace);
               StrictlyBetween(installation.Value(), now, waitEnd)) {
        LogFormat(Component, LogLevel::Info,
                  "Reporting product is still up to date as the product got just recently installed (InstallTime: {} - "
                  "WaitEnd: {} - Current: {})",
                  FormatTime(installation.Value()), FormatTime(waitEnd), FormatTime(now));
        return true;
    }

    const TimePoint registration = GetRegisterTime();
    if (const TimePoint waitEnd = SaturatingAdd(registration, RegistrationGrace);
        StrictlyBetween(registration, now, waitEnd)) {
        LogFormat(
            Component, LogLevel::Info,
            "Reporting product is still up to date as the product was just recently registered in security center "
            "(Last register: {} - WaitEnd: {} - Current: {})",
            FormatTime(registration), FormatTime(waitEnd), FormatTime(now));
        return true;
    }

    TimePoint outOfDate;
    if (const auto stored = ReadSeconds(RegistryLayout::OutOfDateTime); stored.Succeeded()) {
        outOfDate = FromStoredSeconds(stored.Value());
    } else if (const auto definitions = ReadSeconds(RegistryLayout::DefinitionsUpdateTime); definitions.Succeeded()) {
        // Seconds at the end of their range stay there rather than wrap into the past.
        std::int64_t seconds = 0;
        if (__builtin_add_overflow(definitions.Value(), DefinitionsValiditySeconds, &seconds)) {
            seconds = std::numeric_limits<std::int64_t>::max();
        }
        outOfDate = FromStoredSeconds(seconds);
    } else {
        LogFormat(Component, LogLevel::Info,
                  "Reporting product is still up to date as no out-of-date information is available");
        return true;
    }

    const bool upToDate = now < outOfDate;
    if (!quiet) {
        const std::string installText = installation.Succeeded() ? FormatTime(installation.Value()) : "<Unknown>";
        LogFormat(Component, LogLevel::Info,
                  upToDate ? "Reporting product is still up to date (OutOfDate: {} - InstallTime: {} - Current: {})"
                           : "Reporting product got out of date (OutOfDate: {} - InstallTime: {} - Current: {})",
                  FormatTime(outOfDate), installText, FormatTime(now));
    }
    return upToDate;
}

}  // namespace Tessaro::Ravelin
