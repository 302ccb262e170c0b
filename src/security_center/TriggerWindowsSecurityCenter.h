#pragma once

#include "common/foundation/Time.h"
#include "diagnostics/Result.h"

#include <memory>

namespace Tessaro::Ravelin {

class Configuration;
class WindowsSecurityCenterIntegration;
class WindowsSecurityCenterProducts;

// Runs one Security Center command: waits for the service, registers, removes or updates with
// the retries Security Center's "pending" and "not found" answers call for, and lists Security
// Center's products in the log before and after.
class TriggerWindowsSecurityCenter {
public:
    TriggerWindowsSecurityCenter();
    TriggerWindowsSecurityCenter(std::shared_ptr<Configuration> configuration,
                                 std::shared_ptr<WindowsSecurityCenterIntegration> integration);
    ~TriggerWindowsSecurityCenter();

    Vantrel::Common::Result<> Run();
    Vantrel::Common::Result<> RegisterWithRetry();
    Vantrel::Common::Result<> RegisterOnce();
    Vantrel::Common::Result<> UpdateWithRetry();
    Vantrel::Common::Result<> RemoveRegistration();

    // The pause between attempts of a registration or an update.
    void SetPacing(Pacing pacing);

protected:
    // The state and the three sub-states, once.
    Vantrel::Common::Result<> Update() const;

private:
    void ListProducts();

    std::shared_ptr<Configuration> configuration_;
    std::shared_ptr<WindowsSecurityCenterIntegration> integration_;
    Pacing pacing_;
};

}  // namespace Tessaro::Ravelin
