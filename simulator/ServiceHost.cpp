// wscsvc.exe: the simulated Security Center service. Started by the service control manager as
// "wscsvc"; reports running, or holds start pending, or pauses after starting, as the
// simulator's service mode says, and stops on request.

#include "SimulatorState.h"
#include "common/foundation/WinHandle.h"

#include <windows.h>

namespace {

using Tessaro::Simulator::ServiceMode;
using Tessaro::Simulator::SimulatorState;

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;
SERVICE_STATUS status{};

void Report(DWORD state, DWORD controlsAccepted)
{
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controlsAccepted;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwWaitHint = state == SERVICE_START_PENDING ? 3000 : 0;
    ++status.dwCheckPoint;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            Report(SERVICE_STOP_PENDING, 0);
            SetEvent(stopEvent);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            break;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    statusHandle = RegisterServiceCtrlHandlerExW(L"wscsvc", &Handler, nullptr);
    if (statusHandle == nullptr) {
        return;
    }
    // The event ends with this function, on every way out of it.
    const auto stopEventOwner = Tessaro::WinHandle::Create(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    stopEvent = stopEventOwner->Get();
    constexpr DWORD accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    Report(SERVICE_START_PENDING, accepted);

    // Held in start pending until the mode changes (or a stop is asked for).
    while (SimulatorState::GetServiceMode() == ServiceMode::StartPending) {
        if (WaitForSingleObject(stopEvent, 200) == WAIT_OBJECT_0) {
            Report(SERVICE_STOPPED, 0);
            return;
        }
        Report(SERVICE_START_PENDING, accepted);
    }
    // A service that reports paused straight away fails its start; report running first.
    Report(SERVICE_RUNNING, accepted);
    if (SimulatorState::GetServiceMode() == ServiceMode::Paused) {
        Report(SERVICE_PAUSED, accepted);
    }
    WaitForSingleObject(stopEvent, INFINITE);
    Report(SERVICE_STOPPED, 0);
}

}  // namespace

int wmain()
{
    wchar_t name[] = L"wscsvc";
    const SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
