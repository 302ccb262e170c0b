#pragma once

#include "common/IServiceUtilities.h"
#include "common/foundation/Time.h"
#include "diagnostics/Result.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace Tessaro::Ravelin {

// Waits for the Security Center service "wscsvc" and recognises a system shutdown, which the
// service control manager reports with 1115.
class WindowsSecurityCenterService {
public:
    static constexpr std::uint32_t StopRequestedCode = 0x20060001;

    WindowsSecurityCenterService();
    explicit WindowsSecurityCenterService(std::shared_ptr<Vantrel::Common::Utilities::IServiceUtilities> service);

    // Polls about once a second until the service runs: 1460 after the maximum wait, 1115 during
    // shutdown, 1062 when it is not installed, 1359 in any unexpected state, 0x20060001 when the
    // stop event is signalled.
    Vantrel::Common::Result<> WaitForService(std::chrono::seconds maximumWait, void* stopEvent = nullptr);

    // The clock the wait's deadline reads and the pause between its polls.
    void SetPacing(Pacing pacing);

private:
    Vantrel::Common::Result<Vantrel::Common::Utilities::ServiceStatus> QueryWithRetries();

    bool shutdown_ = false;
    Pacing pacing_;
    std::shared_ptr<Vantrel::Common::Utilities::IServiceUtilities> service_;
};

}  // namespace Tessaro::Ravelin
