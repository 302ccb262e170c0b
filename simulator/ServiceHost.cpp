// wscsvc.exe: the simulated Security Center service. Started by the service control manager as
// "wscsvc"; reports the state the simulator's service mode names (running, start pending, paused,
// stop pending, pause pending, continue pending), follows the mode while it runs, and stops on
// request, or on its own with an error when the mode is "stopped".

#include "SimulatorState.h"
#include "common/foundation/WinHandle.h"

#include <windows.h>

namespace {

using Tessaro::Simulator::SimulatorState;

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;
SERVICE_STATUS status{};

// A service that ends on its own says why: this one with a code of its own, as services do.
constexpr DWORD OwnExitCode = 42;

void Report(DWORD state, DWORD controlsAccepted, DWORD ownExitCode = 0)
{
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controlsAccepted;
    status.dwWin32ExitCode = ownExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = ownExitCode;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                         state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
    status.dwWaitHint = pending ? 3000 : 0;
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

    // The mode's state, looked at five times a second until a stop is asked for or the mode stops
    // the service. A pending state is reported again each time (its check point advancing, as a
    // service that makes progress does); a service leaves start pending for running before any
    // other state, or its start fails.
    bool started = false;
    DWORD shown = SERVICE_START_PENDING;
    do {
        DWORD wanted = SERVICE_RUNNING;
        const auto mode = SimulatorState::GetServiceMode();
        for (const auto& named : Tessaro::Simulator::ServiceModeNames) {
            if (named.mode == mode) {
                wanted = named.reportedState;
            }
        }
        if (wanted == SERVICE_STOPPED) {
            Report(SERVICE_STOPPED, 0, OwnExitCode);
            return;
        }
        if (!started && wanted != SERVICE_START_PENDING) {
            Report(SERVICE_RUNNING, accepted);
            started = true;
            shown = SERVICE_RUNNING;
        }
        if (wanted != shown || status.dwWaitHint != 0) {
            Report(wanted, accepted);
            shown = wanted;
        }
    } while (WaitForSingleObject(stopEvent, 200) != WAIT_OBJECT_0);
    Report(SERVICE_STOPPED, 0);
}

}  // namespace

int wmain()
{
    wchar_t name[] = L"wscsvc";
    const SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
