#pragma once

#include "common/IServiceUtilities.h"
#include "common/foundation/WinHandle.h"

#include <memory>
#include <string>

namespace Tessaro::Vantrel::Common::Utilities {

// The owner of a service control manager or service handle: closed with CloseServiceHandle.
std::unique_ptr<WinHandle> OwnServiceHandle(WinHandle::Handle handle);

// Opens the service control manager and the service lazily with the rights an operation needs,
// keeps both handles and only ever widens their rights. Not synchronised.
class ServiceUtilities : public IServiceUtilities {
public:
    explicit ServiceUtilities(const std::string& serviceName);
    ~ServiceUtilities() override;

    Result<ServiceStatus> QueryStatus() override;
    std::uint32_t Start() override;
    std::uint32_t StartAndWait(std::chrono::seconds timeout) override;
    std::uint32_t Stop() override;
    std::uint32_t StopAndWait(std::chrono::seconds timeout) override;
    Result<ServiceStartType> QueryStartType() override;
    std::uint32_t SetStartType(std::uint32_t startType) override;

    // The rights the held handles were opened with: diagnostics for the handle reuse.
    std::uint32_t ManagerAccess() const noexcept { return managerAccess_; }
    std::uint32_t ServiceAccess() const noexcept { return serviceAccess_; }

private:
    std::uint32_t EnsureOpen(std::uint32_t managerAccess, std::uint32_t serviceAccess);
    std::uint32_t SendAndWait(bool start, std::chrono::seconds timeout, ServiceState target, ServiceState transitional);

    std::unique_ptr<WinHandle> manager_;
    std::unique_ptr<WinHandle> service_;
    std::uint32_t serviceAccess_ = 0;
    std::uint32_t managerAccess_ = 0;
    std::wstring serviceName_;
};

}  // namespace Tessaro::Vantrel::Common::Utilities
