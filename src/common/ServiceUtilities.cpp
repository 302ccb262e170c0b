#include "common/ServiceUtilities.h"

#include "common/foundation/GrowingBuffer.h"
#include "common/foundation/StringConversion.h"

#include <windows.h>

#include <thread>
#include <vector>

namespace Tessaro::Vantrel::Common::Utilities {

namespace {

constexpr std::uint32_t ManagerConnect = SC_MANAGER_CONNECT;
constexpr std::uint32_t ManagerAllAccess = SC_MANAGER_ALL_ACCESS;
constexpr std::uint32_t ServiceQueryStatus = SERVICE_QUERY_STATUS;
constexpr std::uint32_t ServiceQueryConfig = SERVICE_QUERY_CONFIG;
constexpr std::uint32_t ServiceChangeConfig = SERVICE_CHANGE_CONFIG;
constexpr std::uint32_t GenericExecute = GENERIC_EXECUTE;

SC_HANDLE Native(const std::unique_ptr<WinHandle>& handle)
{
    return static_cast<SC_HANDLE>(handle->Get());
}

ServiceState FromCurrentState(DWORD state)
{
    switch (state) {
        case SERVICE_STOPPED:
            return ServiceState::Stopped;
        case SERVICE_START_PENDING:
            return ServiceState::Starting;
        case SERVICE_STOP_PENDING:
            return ServiceState::Stopping;
        case SERVICE_RUNNING:
            return ServiceState::Running;
        default:
            break;
    }
    return ServiceState::Unknown;
}

}  // namespace

std::unique_ptr<WinHandle> OwnServiceHandle(WinHandle::Handle handle)
{
    return std::make_unique<WinHandle>(
        handle, [](WinHandle::Handle owned) { return CloseServiceHandle(static_cast<SC_HANDLE>(owned)); });
}

ServiceUtilities::ServiceUtilities(const std::string& serviceName) : serviceName_(Utf8ToUtf16(serviceName)) {}

ServiceUtilities::~ServiceUtilities()
{
    service_.reset();
    manager_.reset();
}

std::uint32_t ServiceUtilities::EnsureOpen(std::uint32_t managerAccess, std::uint32_t serviceAccess)
{
    if (serviceName_.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    bool managerReopened = false;
    if (manager_ == nullptr || (managerAccess_ & managerAccess) != managerAccess) {
        const std::uint32_t combined = managerAccess | managerAccess_;
        auto manager = OwnServiceHandle(OpenSCManagerW(nullptr, nullptr, combined));
        if (!manager->IsValid()) {
            return GetLastError();
        }
        manager_ = std::move(manager);
        managerAccess_ = combined;
        managerReopened = true;
    }
    if (!managerReopened && service_ != nullptr && (serviceAccess_ & serviceAccess) == serviceAccess) {
        return ERROR_SUCCESS;
    }
    const std::uint32_t combined = serviceAccess | serviceAccess_;
    auto service = OwnServiceHandle(OpenServiceW(Native(manager_), serviceName_.c_str(), combined));
    if (!service->IsValid()) {
        return GetLastError();
    }
    service_ = std::move(service);
    serviceAccess_ = combined;
    return ERROR_SUCCESS;
}

Result<ServiceStatus> ServiceUtilities::QueryStatus()
{
    if (const auto code = EnsureOpen(ManagerConnect, ServiceQueryStatus); code != ERROR_SUCCESS) {
        // A service that is not there cannot be opened either: that is an answer, not a failure.
        if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
            return Result<ServiceStatus>(ServiceStatus{ServiceState::NotInstalled, 0, 0});
        }
        return Result<ServiceStatus>(code);
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(Native(service_), &status)) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
            return Result<ServiceStatus>(ServiceStatus{ServiceState::NotInstalled, 0, 0});
        }
        return Result<ServiceStatus>(code);
    }
    return Result<ServiceStatus>(ServiceStatus{FromCurrentState(status.dwCurrentState), status.dwWin32ExitCode,
                                               status.dwServiceSpecificExitCode, status.dwCurrentState});
}

std::uint32_t ServiceUtilities::Start()
{
    if (const auto code = EnsureOpen(ManagerConnect, GenericExecute); code != ERROR_SUCCESS) {
        return code;
    }
    return StartServiceW(Native(service_), 0, nullptr) ? ERROR_SUCCESS : GetLastError();
}

std::uint32_t ServiceUtilities::Stop()
{
    if (const auto code = EnsureOpen(ManagerConnect, GenericExecute); code != ERROR_SUCCESS) {
        return code;
    }
    SERVICE_STATUS status{};
    return ControlService(Native(service_), SERVICE_CONTROL_STOP, &status) ? ERROR_SUCCESS : GetLastError();
}

std::uint32_t ServiceUtilities::StartAndWait(std::chrono::seconds timeout)
{
    return SendAndWait(true, timeout, ServiceState::Running, ServiceState::Starting);
}

std::uint32_t ServiceUtilities::StopAndWait(std::chrono::seconds timeout)
{
    return SendAndWait(false, timeout, ServiceState::Stopped, ServiceState::Stopping);
}

std::uint32_t ServiceUtilities::SendAndWait(bool start, std::chrono::seconds timeout, ServiceState target,
                                            ServiceState transitional)
{
    if (const auto code = EnsureOpen(ManagerConnect, GenericExecute); code != ERROR_SUCCESS) {
        return code;
    }
    SERVICE_STATUS control{};
    const bool sent = start ? StartServiceW(Native(service_), 0, nullptr) != FALSE
                            : ControlService(Native(service_), SERVICE_CONTROL_STOP, &control) != FALSE;
    if (!sent) {
        if (const DWORD code = GetLastError(); code != ERROR_SUCCESS) {
            return code;
        }
    }
    auto status = QueryStatus();
    if (!status.Succeeded()) {
        return status.ErrorCode();
    }
    const auto deadline = std::chrono::system_clock::now() + timeout;
    while ((status.Value().state == ServiceState::Unknown || status.Value().state == transitional) &&
           std::chrono::system_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        status = QueryStatus();
        if (!status.Succeeded()) {
            return status.ErrorCode();
        }
    }
    // At the deadline the time is up, as in the loop above: a wait of no time never reads the
    // state as an answer, however quickly the service got there.
    if (std::chrono::system_clock::now() >= deadline) {
        return ERROR_TIMEOUT;
    }
    status = QueryStatus();
    if (!status.Succeeded()) {
        return status.ErrorCode();
    }
    return status.Value().state == target ? ERROR_SUCCESS : ERROR_INVALID_STATE;
}

Result<ServiceStartType> ServiceUtilities::QueryStartType()
{
    if (const auto code = EnsureOpen(ManagerConnect, ServiceQueryConfig); code != ERROR_SUCCESS) {
        return Result<ServiceStartType>(ServiceStartType::Invalid, code);
    }
    const auto query = [this](std::uint8_t* data, std::size_t size) {
        DWORD needed = 0;
        if (QueryServiceConfigW(Native(service_), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(data),
                                static_cast<DWORD>(size), &needed)) {
            return BufferNeed{0, size};
        }
        const DWORD error = GetLastError();
        return error == ERROR_INSUFFICIENT_BUFFER ? BufferNeed{0, needed} : BufferNeed{error, 0};
    };
    // The record is followed by its strings; 8 KiB is the most the call ever answers with.
    std::vector<std::uint8_t> buffer;
    if (const auto code = FillGrowingBuffer(buffer, 1024, 8192, query); code != ERROR_SUCCESS) {
        return Result<ServiceStartType>(ServiceStartType::Invalid, code);
    }
    const DWORD startType = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data())->dwStartType;
    return Result<ServiceStartType>(startType <= SERVICE_DISABLED ? static_cast<ServiceStartType>(startType)
                                                                  : ServiceStartType::Invalid);
}

std::uint32_t ServiceUtilities::SetStartType(std::uint32_t startType)
{
    if (const auto code = EnsureOpen(ManagerAllAccess, ServiceChangeConfig); code != ERROR_SUCCESS) {
        return code;
    }
    return ChangeServiceConfigW(Native(service_), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr)
               ? ERROR_SUCCESS
               : GetLastError();
}

}  // namespace Tessaro::Vantrel::Common::Utilities
