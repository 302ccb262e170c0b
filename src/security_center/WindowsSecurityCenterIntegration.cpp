#include "security_center/WindowsSecurityCenterIntegration.h"

#include "configuration/Configuration.h"
#include "diagnostics/Log.h"

#include <utility>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::Log;
using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;

constexpr auto Component = LogComponent::SecurityCenter;
constexpr std::int64_t TicksPerDay = 864'000'000'000;

// Days since 1970, rounded toward negative infinity.
std::int32_t UtcDayNumber(TimePoint time)
{
    const std::int64_t ticks = time.time_since_epoch().count();
    const std::int64_t day = ticks / TicksPerDay - ((ticks % TicksPerDay) < 0 ? 1 : 0);
    return static_cast<std::int32_t>(day);
}

}  // namespace

WindowsSecurityCenterIntegration::WindowsSecurityCenterIntegration(std::shared_ptr<Configuration> configuration,
                                                                   std::shared_ptr<IOsInfo> osInfo)
    : configuration_(std::move(configuration)), osInfo_(std::move(osInfo))
{
}

SecurityCenterState WindowsSecurityCenterIntegration::ToSecurityCenterState(bool quiet, ProductState state)
{
    if (state == ProductState::On || state == ProductState::Snoozed) {
        if (configuration_->IsExpired(quiet)) {
            // An expired product is reported as such, and a notice about expiring soon would be wrong.
            Log(Component, LogLevel::Warn, "The antivirus state got overriden by the expired state");
            return SecurityCenterState::Expired;
        }
        if (const std::uint32_t days = configuration_->GetRemainingDaysToExpiration(); days != 0) {
            LogFormat(Component, LogLevel::Info,
                      "Reporting product will get expire in the {} days for the near to expire status", days);
            NotifyNearExpiration(days);
        } else {
            Log(Component, LogLevel::Info,
                "Won't report product will be near to expire as the expire date passed already");
        }
    }
    return MapToSecurityCenterState(state);
}

SubStates WindowsSecurityCenterIntegration::ComputeSubStates()
{
    SubStates subStates;
    const SecurityCenterState state = ToSecurityCenterState(true, configuration_->GetProductState());
    if (state == SecurityCenterState::Snoozed) {
        subStates.protectionSettings = SecurityCenterSubState::ActionRecommended;
    } else if (state == SecurityCenterState::Off) {
        subStates.protectionSettings = SecurityCenterSubState::ActionNeeded;
    } else if (!configuration_->IsUpToDate(true)) {
        Log(Component, LogLevel::Warn, "The antivirus state got overriden by the up to date state");
        subStates.protectionUpdates = SecurityCenterSubState::ActionRecommended;
    }
    return subStates;
}

void WindowsSecurityCenterIntegration::NotifyNearExpiration(std::uint32_t days)
{
    const TimePoint now = configuration_->CurrentTime();
    if (configuration_->HasLastNearExpirationNotificationTime() &&
        UtcDayNumber(configuration_->GetLastNearExpirationNotificationTime()) == UtcDayNumber(now)) {
        Log(Component, LogLevel::Info,
            "Skip near expiration notification because it was already sent for current UTC day");
        return;
    }
    if (const auto code = configuration_->SetLastNearExpirationNotificationTime(now); code != 0) {
        LogFormat(Component, LogLevel::Warn,
                  "Failed to persist last near expiration notification time before notify attempt (Error: {})", code);
    } else {
        Log(Component, LogLevel::Info,
            "Stored near expiration notification day marker for current UTC day before notify attempt");
    }
    SendNearExpirationNotification(days);
}

void WindowsSecurityCenterIntegration::SendNearExpirationNotification(std::uint32_t days)
{
    LogFormat(Component, LogLevel::Info, "Notify the user about near expiration (Remaining days: {})", days);
    // The call through Security Center's status interface joins with the COM adapter.
}

}  // namespace Tessaro::Ravelin
