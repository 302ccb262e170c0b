#pragma once

#include "diagnostics/Result.h"

#include <chrono>
#include <cstdint>

namespace Tessaro::Vantrel::Common::Utilities {

enum class ServiceState : std::uint32_t {
    Unknown = 0,
    Stopped = 1,
    Starting = 2,
    Stopping = 3,
    Running = 4,
    NotInstalled = 255,
};

enum class ServiceStartType : std::uint32_t {
    Boot = 0,
    System = 1,
    Automatic = 2,
    OnDemand = 3,
    Disabled = 4,
    Invalid = 0xFFFFFFFF,
};

struct ServiceStatus {
    ServiceState state = ServiceState::Unknown;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    // The service control manager's own state value, the paused and pending ones included.
    std::uint32_t currentState = 0;
};

// One Windows service, controlled through the service control manager.
class IServiceUtilities {
public:
    virtual ~IServiceUtilities() = default;
    virtual Result<ServiceStatus> QueryStatus() = 0;
    virtual std::uint32_t Start() = 0;
    virtual std::uint32_t StartAndWait(std::chrono::seconds timeout) = 0;
    virtual std::uint32_t Stop() = 0;
    virtual std::uint32_t StopAndWait(std::chrono::seconds timeout) = 0;
    virtual Result<ServiceStartType> QueryStartType() = 0;
    virtual std::uint32_t SetStartType(std::uint32_t startType) = 0;
};

}  // namespace Tessaro::Vantrel::Common::Utilities
