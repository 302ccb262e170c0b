#include "support/SimulatorFixture.h"

#include "common/ServiceUtilities.h"

#include <algorithm>
#include <memory>

namespace Tessaro::Testing {

namespace {

using Simulator::ServiceMode;
using Simulator::SimulatorState;
using Vantrel::Common::Utilities::ServiceState;
using Vantrel::Common::Utilities::ServiceUtilities;

constexpr const char* ServiceName = "wscsvc";

}  // namespace

void SimulatorFixture::SetUp()
{
    apartment_ = std::make_unique<Ravelin::ComApartment>();
    SimulatorState::Reset();
    StopSimulatedService();
}

std::size_t SimulatorFixture::CallsOf(const std::wstring& call)
{
    const auto journal = SimulatorState::Journal();
    return static_cast<std::size_t>(
        std::count_if(journal.begin(), journal.end(), [&](const auto& entry) { return entry.call == call; }));
}

void SimulatorFixture::TearDown()
{
    SimulatorState::SetServiceMode(ServiceMode::Running);
    StopSimulatedService();
    apartment_.reset();
}

DWORD SimulatorFixture::ServiceState()
{
    const auto status = ServiceUtilities(ServiceName).QueryStatus();
    return status.Succeeded() ? status.Value().currentState : 0;
}

bool SimulatorFixture::StartSimulatedService()
{
    ServiceUtilities service(ServiceName);
    // A service that has just reported itself stopped may still be ending its process, and the
    // service control manager refuses a start until it has: try again for a while.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (service.Start() == ERROR_SUCCESS) {
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
    ServiceUtilities service(ServiceName);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto status = service.QueryStatus();
        if (!status.Succeeded() || status.Value().state == ServiceState::NotInstalled ||
            status.Value().currentState == SERVICE_STOPPED) {
            return;
        }
        service.Stop();
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
