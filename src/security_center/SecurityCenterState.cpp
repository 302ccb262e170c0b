#include "security_center/SecurityCenterState.h"

#include "diagnostics/Log.h"

namespace Tessaro::Ravelin {

namespace {

void LogUnknownState(std::uint32_t value)
{
    Vantrel::Common::LogFormat(Vantrel::Common::LogComponent::SecurityCenter, Vantrel::Common::LogLevel::Error,
                               "Unknown state to set in Windows Security Center (State: {})", value);
}

}  // namespace

ProductState FromSecurityCenterState(SecurityCenterState state)
{
    switch (state) {
        case SecurityCenterState::On:
            return ProductState::On;
        case SecurityCenterState::Off:
            return ProductState::Off;
        case SecurityCenterState::Snoozed:
            return ProductState::Snoozed;
        case SecurityCenterState::Expired:
            return ProductState::Expired;
    }
    LogUnknownState(static_cast<std::uint32_t>(state));
    return ProductState::Snoozed;
}

SecurityCenterState MapToSecurityCenterState(ProductState state)
{
    switch (state) {
        case ProductState::Off:
        case ProductState::Unregistered:
            return SecurityCenterState::Off;
        case ProductState::On:
            return SecurityCenterState::On;
        case ProductState::Snoozed:
        case ProductState::Expired:
            return SecurityCenterState::Snoozed;
        case ProductState::None:
            break;
    }
    LogUnknownState(static_cast<std::uint32_t>(state));
    return SecurityCenterState::Snoozed;
}

}  // namespace Tessaro::Ravelin
