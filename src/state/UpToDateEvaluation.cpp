// Whether the product counts as up to date: a Configuration decision over the stored timestamps.

#include "configuration/Configuration.h"
#include "configuration/RegistryLayout.h"
#include "diagnostics/Log.h"

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;

constexpr auto Component = LogComponent::SecurityCenter;
constexpr Ticks InstallationGrace = std::chrono::hours(24);
constexpr Ticks RegistrationGrace = std::chrono::minutes(15);
constexpr std::uint64_t DefinitionsValiditySeconds = 604'800;

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
    } else if (const TimePoint waitEnd = installation.Value() + InstallationGrace;
               StrictlyBetween(installation.Value(), now, waitEnd)) {
        LogFormat(Component, LogLevel::Info,
                  "Reporting product is still up to date as the product got just recently installed (InstallTime: {} - "
                  "WaitEnd: {} - Current: {})",
                  FormatTime(installation.Value()), FormatTime(waitEnd), FormatTime(now));
        return true;
    }

    const TimePoint registration = GetRegisterTime();
    if (const TimePoint waitEnd = registration + RegistrationGrace; StrictlyBetween(registration, now, waitEnd)) {
        LogFormat(
            Component, LogLevel::Info,
            "Reporting product is still up to date as the product was just recently registered in security center "
            "(Last register: {} - WaitEnd: {} - Current: {})",
            FormatTime(registration), FormatTime(waitEnd), FormatTime(now));
        return true;
    }

    TimePoint outOfDate;
    if (const auto stored = ReadNumber(RegistryLayout::OutOfDateTime); stored.Succeeded()) {
        outOfDate = FromStoredSeconds(stored.Value());
    } else if (const auto definitions = ReadNumber(RegistryLayout::DefinitionsUpdateTime); definitions.Succeeded()) {
        // Stored seconds beyond the tick range saturate rather than wrap.
        const std::uint64_t seconds = definitions.Value() > UINT64_MAX - DefinitionsValiditySeconds
                                          ? UINT64_MAX
                                          : definitions.Value() + DefinitionsValiditySeconds;
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
