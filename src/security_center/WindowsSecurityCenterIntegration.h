#pragma once

#include "common/IOsInfo.h"
#include "security_center/SecurityCenterState.h"
#include "state/ProductState.h"

#include <cstdint>
#include <memory>

namespace Tessaro::Ravelin {

class Configuration;

// The agent's side of Security Center: decides what Security Center is told (state with the
// expiration override, sub-states, the once-a-day near-expiration notice) and makes the calls.
class WindowsSecurityCenterIntegration {
public:
    WindowsSecurityCenterIntegration(std::shared_ptr<Configuration> configuration, std::shared_ptr<IOsInfo> osInfo);
    virtual ~WindowsSecurityCenterIntegration() = default;

    // On and Snoozed become EXPIRED once the product has expired; a valid product is offered the
    // near-expiration notice. Quiet keeps the expiration check's own line out of the log.
    SecurityCenterState ToSecurityCenterState(bool quiet, ProductState state);
    SubStates ComputeSubStates();
    // Sends the notice unless the day marker shows it went out on this UTC day; the marker is
    // written first, so a failed notice is not repeated that day.
    void NotifyNearExpiration(std::uint32_t days);

    // Security Center's near-expiration notification.
    virtual void SendNearExpirationNotification(std::uint32_t days);

protected:
    const std::shared_ptr<Configuration>& GetConfiguration() const { return configuration_; }
    const std::shared_ptr<IOsInfo>& GetOsInfo() const { return osInfo_; }

private:
    std::shared_ptr<Configuration> configuration_;
    std::shared_ptr<IOsInfo> osInfo_;
};

}  // namespace Tessaro::Ravelin
