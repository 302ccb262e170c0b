#pragma once

#include "common/foundation/Time.h"

#include "common/FileInfo.h"
#include "common/IOsInfo.h"
#include "diagnostics/Result.h"
#include "security_center/com/ComPointer.h"
#include "security_center/IComFactory.h"
#include "security_center/com/SecurityCenterInterfaces.h"
#include "security_center/SecurityCenterState.h"
#include "configuration/ProductState.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace Tessaro::Ravelin {

class Configuration;

// The only place that talks to Security Center's antivirus status interfaces. Every operation
// creates its own Security Center object, asks for the interface it needs, makes its call and
// releases everything. It also decides what Security Center is told: the state with the
// expiration override, the sub-states and the once-a-day near-expiration notice.
class WindowsSecurityCenterIntegration {
public:
    // The shared configuration, CoCreateInstance and the running system.
    WindowsSecurityCenterIntegration();
    WindowsSecurityCenterIntegration(std::shared_ptr<Configuration> configuration, std::shared_ptr<IComFactory> factory,
                                     std::shared_ptr<IOsInfo> osInfo);
    virtual ~WindowsSecurityCenterIntegration() = default;

    Vantrel::Common::Result<ComPointer<IUnknown>> CreateSecurityCenterObject();
    template <typename Interface>
    Vantrel::Common::Result<ComPointer<Interface>> QueryStatusInterface(REFIID interfaceId, const char* name);

    // Up to ten Register calls 500 ms apart.
    Vantrel::Common::Result<> RegisterProduct(const std::string& displayName,
                                              const Vantrel::Common::Utilities::FileInfo& reportingExecutable);
    // An answer that means "not registered" counts as success.
    Vantrel::Common::Result<> UnregisterProduct();
    Vantrel::Common::Result<> WriteAntivirusState();
    // Written only on workstations of Windows 10 build 16241 or later; elsewhere success.
    Vantrel::Common::Result<> SetProtectionSettingsSubstatus(std::uint32_t subState);
    Vantrel::Common::Result<> SetProtectionUpdatesSubstatus(std::uint32_t subState);
    Vantrel::Common::Result<> SetCurrentThreatsSubstatus(std::uint32_t subState);

    // On and Snoozed become EXPIRED once the product has expired; a valid product is offered the
    // near-expiration notice. Quiet keeps the expiration check's own line out of the log.
    SecurityCenterState ToSecurityCenterState(bool quiet, ProductState state);
    SubStates ComputeSubStates();
    // The pause between registration attempts.
    void SetPacing(Pacing pacing);
    // Sends the notice unless the day marker shows it went out on this UTC day; the marker is
    // written first, so a failed notice is not repeated that day.
    void NotifyNearExpiration(std::uint32_t days);
    // Security Center's near-expiration notification; failures are only logged.
    void SendNearExpirationNotification(std::uint32_t days);

private:
    using SubstatusCall = HRESULT (STDMETHODCALLTYPE IWscAVStatus4::*)(LONG);
    Vantrel::Common::Result<> SetSubstatus(const char* label, std::uint32_t subState, std::string_view failureMessage,
                                           SubstatusCall call);

    std::shared_ptr<Configuration> configuration_;
    std::shared_ptr<IComFactory> factory_;
    std::shared_ptr<IOsInfo> osInfo_;
    Pacing pacing_;
};

}  // namespace Tessaro::Ravelin
