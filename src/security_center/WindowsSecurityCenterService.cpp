#include "security_center/WindowsSecurityCenterService.h"

#include "common/ServiceUtilities.h"
#include "common/foundation/Time.h"
#include "diagnostics/Log.h"

#include <windows.h>

#include <utility>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::Log;
using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;
using Vantrel::Common::Result;
using Vantrel::Common::Utilities::ServiceState;
using Vantrel::Common::Utilities::ServiceStatus;

constexpr auto Component = LogComponent::SecurityCenter;
constexpr int StatusRequeries = 10;

}  // namespace

WindowsSecurityCenterService::WindowsSecurityCenterService()
    : WindowsSecurityCenterService(std::make_shared<Vantrel::Common::Utilities::ServiceUtilities>("wscsvc"))
{
}

WindowsSecurityCenterService::WindowsSecurityCenterService(
    std::shared_ptr<Vantrel::Common::Utilities::IServiceUtilities> service)
    : service_(std::move(service))
{
}

void WindowsSecurityCenterService::SetPacing(Pacing pacing)
{
    pacing_ = std::move(pacing);
}

Result<ServiceStatus> WindowsSecurityCenterService::QueryWithRetries()
{
    auto status = service_->QueryStatus();
    for (int requery = 0; requery < StatusRequeries && !status.Succeeded(); ++requery) {
        if (status.ErrorCode() == ERROR_SHUTDOWN_IN_PROGRESS) {
            shutdown_ = true;
            break;
        }
        pacing_.pause(std::chrono::milliseconds(100));
        status = service_->QueryStatus();
    }
    if (status.ErrorCode() == ERROR_SHUTDOWN_IN_PROGRESS) {
        shutdown_ = true;
    }
    return status;
}

Result<> WindowsSecurityCenterService::WaitForService(std::chrono::seconds maximumWait, void* stopEvent)
{
    const TimePoint start = pacing_.clock();
    LogFormat(Component, LogLevel::Info, "Wait {} sec till Windows Security Center Service is started",
              maximumWait.count());
    for (;;) {
        if (pacing_.clock() - start >= maximumWait) {
            return Result<>(ERROR_TIMEOUT);
        }
        const auto status = QueryWithRetries();
        if (shutdown_) {
            Log(Component, LogLevel::Info,
                "Wait for Windows Security Center Service failed as system shutdown is in progress");
            return Result<>(ERROR_SHUTDOWN_IN_PROGRESS);
        }
        if (!status.Succeeded()) {
            LogFormat(Component, LogLevel::Error, "Can't get Windows security center service state (Error: {})",
                      status.ErrorCode());
            return Result<>(status.ErrorCode());
        }
        switch (status.Value().state) {
            case ServiceState::Stopped:
            case ServiceState::Starting:
            case ServiceState::Stopping:
                break;
            case ServiceState::Running:
                return Result<>(ERROR_SUCCESS);
            case ServiceState::NotInstalled:
                return Result<>(ERROR_SERVICE_NOT_ACTIVE);
            default:
                LogFormat(Component, LogLevel::Error, "Unknown service status found {}",
                          static_cast<std::uint32_t>(status.Value().state));
                return Result<>(ERROR_INTERNAL_ERROR);
        }
        pacing_.pause(std::chrono::seconds(1));
        if (stopEvent != nullptr && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
            return Result<>(StopRequestedCode);
        }
    }
}

}  // namespace Tessaro::Ravelin
