#include "simulator/SimulatorFixture.h"

#include "common/WinHandle.h"

#include <memory>

namespace Tessaro::Testing {

namespace {

using Simulator::ServiceMode;
using Simulator::SimulatorState;

std::shared_ptr<WinHandle> ServiceHandle(const std::shared_ptr<WinHandle>& manager, DWORD access)
{
    return std::make_shared<WinHandle>(OpenServiceW(static_cast<SC_HANDLE>(manager->Get()), L"wscsvc", access),
                                       [](void* handle) { return CloseServiceHandle(static_cast<SC_HANDLE>(handle)); });
}

std::shared_ptr<WinHandle> Manager()
{
    return std::make_shared<WinHandle>(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT),
                                       [](void* handle) { return CloseServiceHandle(static_cast<SC_HANDLE>(handle)); });
}

}  // namespace

void SimulatorFixture::SetUp()
{
    comEntered_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    SimulatorState::Reset();
    StopSimulatedService();
}

void SimulatorFixture::TearDown()
{
    SimulatorState::SetServiceMode(ServiceMode::Running);
    StopSimulatedService();
    if (comEntered_) {
        CoUninitialize();
    }
}

DWORD SimulatorFixture::ServiceState()
{
    const auto service = ServiceHandle(Manager(), SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    if (!service->IsValid() || !QueryServiceStatus(static_cast<SC_HANDLE>(service->Get()), &status)) {
        return 0;
    }
    return status.dwCurrentState;
}

bool SimulatorFixture::StartSimulatedService()
{
    const auto service = ServiceHandle(Manager(), SERVICE_START);
    if (!service->IsValid()) {
        return false;
    }
    // A service that has just reported itself stopped may still be ending its process, and the
    // service control manager refuses a start until it has: try again for a while.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (StartServiceW(static_cast<SC_HANDLE>(service->Get()), 0, nullptr)) {
            return true;
        }
        if (ServiceState() != SERVICE_STOPPED) {
            return false;
        }
        Sleep(50);
    }
    return false;
}

void SimulatorFixture::StopSimulatedService()
{
    const auto service = ServiceHandle(Manager(), SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service->IsValid()) {
        return;
    }
    for (int attempt = 0; attempt < 100 && ServiceState() != SERVICE_STOPPED; ++attempt) {
        SERVICE_STATUS status{};
        ControlService(static_cast<SC_HANDLE>(service->Get()), SERVICE_CONTROL_STOP, &status);
        Sleep(50);
    }
}

bool SimulatorFixture::WaitForServiceState(DWORD state, DWORD milliseconds)
{
    for (DWORD waited = 0; waited <= milliseconds; waited += 50) {
        if (ServiceState() == state) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

}  // namespace Tessaro::Testing
