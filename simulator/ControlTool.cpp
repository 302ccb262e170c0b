// wscsim.exe: installs, resets, inspects and scripts the simulated Security Center of a prefix.

#include "SimulatorState.h"
#include "common/foundation/StringConversion.h"
#include "common/ServiceUtilities.h"
#include "common/UniqueLibrary.h"
#include "common/foundation/WinHandle.h"
#include "common/foundation/FileSystem.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Tessaro::Simulator;

using Tessaro::Vantrel::Common::Utilities::OwnServiceHandle;
using Tessaro::Vantrel::Common::Utilities::ServiceState;
using Tessaro::Vantrel::Common::Utilities::ServiceUtilities;
using Tessaro::Vantrel::Common::Utilities::UniqueLibrary;

constexpr const wchar_t* ServiceName = L"wscsvc";
constexpr const char* ServiceNameUtf8 = "wscsvc";

const wchar_t* const Help =
    L"wscsim: the simulated Windows Security Center of this Wine prefix\n"
    L"\n"
    L"  wscsim install           register the status class and the WMI locator (wscsim.dll), create the\n"
    L"                           \"wscsvc\" service (wscsvc.exe) and start from a fresh state\n"
    L"  wscsim uninstall         remove all of that and give the platform its WMI locator back\n"
    L"  wscsim reset             forget every product, call and scripted fault; only Windows Defender stays\n"
    L"  wscsim show              the antivirus products as Security Center and its WMI view show them\n"
    L"  wscsim journal           every call made to the simulator, oldest first, with its answer\n"
    L"  wscsim add NAME PATH     list another product's entry: NAME, on, with PATH as both its executables\n"
    L"  wscsim fail CALL N HRESULT\n"
    L"                           answer the next N calls of CALL with HRESULT (hexadecimal with 0x, or decimal).\n"
    L"                           CALL: CreateInstance, QueryInterface.IWscAVStatus, QueryInterface.IWscAVStatus2,\n"
    L"                           QueryInterface.IWscAVStatus4, Register, Unregister, UpdateStatus,\n"
    L"                           NotifyUserForNearExpiration, UpdateScanSubstatus, UpdateSettingsSubstatus,\n"
    L"                           UpdateProtectionUpdateSubstatus, CreateLocator, ConnectServer, ExecQuery,\n"
    L"                           Next, Get\n"
    L"  wscsim service start|stop|status\n"
    L"                           control the \"wscsvc\" service through the service control manager\n"
    L"  wscsim service mode running|start-pending|paused|stop-pending|pause-pending|continue-pending|stopped\n"
    L"                           how the service behaves when started (start-pending holds it there,\n"
    L"                           stopped ends it with an error of its own)\n"
    L"  wscsim --help            this text\n";

std::wstring ProgramFolder()
{
    const std::wstring path = Tessaro::Vantrel::Common::Utilities::ModulePath();
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

void Print(const std::wstring& text)
{
    // NOLINTNEXTLINE(cert-err33-c): a console that cannot be written to has nowhere to hear about it
    std::fputs(Tessaro::Utf16ToUtf8(text).c_str(), stdout);
}

int Fail(const std::wstring& what, DWORD error)
{
    // NOLINTNEXTLINE(cert-err33-c): a console that cannot be written to has nowhere to hear about it
    std::fwprintf(stderr, L"wscsim: %ls (error %lu)\n", what.c_str(), error);
    return 1;
}

// Aligned columns with a header and a rule under it.
void PrintTable(const std::vector<std::wstring>& header, const std::vector<std::vector<std::wstring>>& rows)
{
    std::vector<std::size_t> widths(header.size());
    for (std::size_t column = 0; column < header.size(); ++column) {
        widths[column] = header[column].size();
        for (const auto& row : rows) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    const auto printRow = [&](const std::vector<std::wstring>& row) {
        std::wstring line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size()) {
                line += std::wstring(widths[column] - row[column].size() + 2, L' ');
            }
        }
        Print(line + L"\n");
    };
    printRow(header);
    std::vector<std::wstring> rule;
    rule.reserve(widths.size());
    for (const auto width : widths) {
        rule.emplace_back(width, L'-');
    }
    printRow(rule);
    for (const auto& row : rows) {
        printRow(row);
    }
}

std::wstring StateName(std::uint32_t state)
{
    switch (state) {
        case 0:
            return L"on";
        case 1:
            return L"off";
        case 2:
            return L"snoozed";
        case 3:
            return L"expired";
        default:
            break;
    }
    return L"unknown (" + std::to_wstring(state) + L")";
}

std::wstring SubStateName(std::uint32_t subState)
{
    switch (subState) {
        case 0:
            return L"-";
        case 1:
            return L"no action";
        case 2:
            return L"recommended";
        case 3:
            return L"needed";
        default:
            break;
    }
    return std::to_wstring(subState);
}

std::wstring Hex(std::uint32_t value)
{
    wchar_t text[16] = {};
    // NOLINTNEXTLINE(cert-err33-c): ten characters always fit the buffer of sixteen
    swprintf(text, 16, L"0x%08X", value);
    return text;
}

int Show()
{
    std::vector<std::vector<std::wstring>> rows;
    for (const auto& product : SimulatorState::Products()) {
        rows.push_back({product.displayName, StateName(product.state), product.upToDate ? L"yes" : L"no",
                        SubStateName(product.currentThreats), SubStateName(product.protectionSettings),
                        SubStateName(product.protectionUpdates),
                        Hex(EncodeProductState(product.state, product.upToDate)), product.path,
                        product.lastNotification.empty() ? L"-" : product.lastNotification});
    }
    PrintTable({L"Name", L"State", L"Up to date", L"Threats", L"Settings", L"Updates", L"productState",
                L"Reporting and product executable", L"Last near-expiration notice"},
               rows);
    return 0;
}

int ShowJournal()
{
    std::vector<std::vector<std::wstring>> rows;
    for (const auto& entry : SimulatorState::Journal()) {
        rows.push_back({entry.time, entry.caller, entry.call, entry.arguments.empty() ? L"-" : entry.arguments,
                        Hex(entry.answer)});
    }
    PrintTable({L"Time", L"Caller", L"Call", L"Arguments", L"Answer"}, rows);
    return 0;
}

// The handles that installing and removing a service need; starting, stopping and waiting go
// through the agent's own service control (ServiceUtilities).
std::unique_ptr<Tessaro::WinHandle> OpenManager(DWORD access)
{
    return OwnServiceHandle(OpenSCManagerW(nullptr, nullptr, access));
}

std::unique_ptr<Tessaro::WinHandle> OpenService(const Tessaro::WinHandle& manager, DWORD access)
{
    return OwnServiceHandle(OpenServiceW(static_cast<SC_HANDLE>(manager.Get()), ServiceName, access));
}

// The service control manager's state value of the service; 0 when it cannot be asked.
DWORD QueryState(ServiceUtilities& service)
{
    const auto status = service.QueryStatus();
    return status.Succeeded() ? status.Value().currentState : 0;
}

void StopService()
{
    ServiceUtilities service(ServiceNameUtf8);
    // A service held in start pending takes no controls; let it finish starting first.
    if (QueryState(service) == SERVICE_START_PENDING) {
        SimulatorState::SetServiceMode(ServiceMode::Running);
    }
    for (int attempt = 0; attempt < 50 && QueryState(service) != SERVICE_STOPPED; ++attempt) {
        service.Stop();
        Sleep(100);
    }
}

// Calls one of the registration entries of wscsim.dll beside this program.
HRESULT CallServerEntry(const char* entry)
{
    const std::wstring path = ProgramFolder() + L"wscsim.dll";
    const UniqueLibrary library(LoadLibraryW(path.c_str()), path);
    if (library.Get() == nullptr) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto function = reinterpret_cast<Entry>(library.GetProcedure(entry));
    return function != nullptr ? function() : E_FAIL;
}

int Install()
{
    const HRESULT registered = CallServerEntry("DllRegisterServer");
    if (FAILED(registered)) {
        return Fail(L"DllRegisterServer of wscsim.dll beside wscsim.exe failed", static_cast<DWORD>(registered));
    }
    SimulatorState::Reset();

    const auto manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager->IsValid()) {
        return Fail(L"cannot open the service control manager", GetLastError());
    }
    const std::wstring folder = ProgramFolder();
    const std::wstring binary = L"\"" + folder + L"wscsvc.exe\"";
    if (const auto service = OpenService(*manager, SERVICE_ALL_ACCESS); service->IsValid()) {
        StopService();
        ChangeServiceConfigW(static_cast<SC_HANDLE>(service->Get()), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                             SERVICE_NO_CHANGE, binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    } else {
        const auto created = OwnServiceHandle(
            CreateServiceW(static_cast<SC_HANDLE>(manager->Get()), ServiceName, L"Security Center (simulated)",
                           SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!created->IsValid()) {
            return Fail(L"cannot create the wscsvc service", GetLastError());
        }
    }
    Print(L"wscsim: installed (status class, WMI locator, service \"wscsvc\" from " + folder + L")\n");
    return 0;
}

int Uninstall()
{
    if (const auto manager = OpenManager(SC_MANAGER_ALL_ACCESS); manager->IsValid()) {
        if (const auto service = OpenService(*manager, SERVICE_ALL_ACCESS); service->IsValid()) {
            StopService();
            DeleteService(static_cast<SC_HANDLE>(service->Get()));
        }
    }
    CallServerEntry("DllUnregisterServer");
    // A state file left behind would be the next installation's: say so.
    if (!DeleteFileW(SimulatorState::StateFilePath().c_str())) {
        if (const DWORD error = GetLastError(); error != ERROR_FILE_NOT_FOUND) {
            Print(L"wscsim: the state file could not be removed (error " + std::to_wstring(error) + L")\n");
        }
    }
    Print(L"wscsim: uninstalled\n");
    return 0;
}

int Service(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() == 2 && arguments[0] == L"mode") {
        for (const auto& named : Tessaro::Simulator::ServiceModeNames) {
            if (arguments[1] == named.name) {
                SimulatorState::SetServiceMode(named.mode);
                return 0;
            }
        }
        return Fail(L"unknown service mode " + arguments[1], ERROR_INVALID_PARAMETER);
    }
    if (arguments.size() != 1) {
        return Fail(L"usage: wscsim service start|stop|status|mode MODE", ERROR_INVALID_PARAMETER);
    }
    ServiceUtilities service(ServiceNameUtf8);
    if (const auto status = service.QueryStatus();
        !status.Succeeded() || status.Value().state == ServiceState::NotInstalled) {
        return Fail(L"cannot open the wscsvc service (is the simulator installed?)",
                    status.Succeeded() ? static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST) : status.ErrorCode());
    }
    if (arguments[0] == L"start") {
        if (const auto code = service.Start(); code != ERROR_SUCCESS && code != ERROR_SERVICE_ALREADY_RUNNING) {
            return Fail(L"cannot start wscsvc", code);
        }
        // Wait until it has started, unless it is meant to hang in start pending or to stop.
        const auto mode = SimulatorState::GetServiceMode();
        for (int attempt = 0; attempt < 50; ++attempt) {
            const DWORD state = QueryState(service);
            const bool settled =
                mode == ServiceMode::Stopped
                    ? state == SERVICE_STOPPED
                    : state != SERVICE_STOPPED && (mode == ServiceMode::StartPending || state != SERVICE_START_PENDING);
            if (settled) {
                break;
            }
            Sleep(100);
        }
    } else if (arguments[0] == L"stop") {
        StopService();
    } else if (arguments[0] != L"status") {
        return Fail(L"unknown service command " + arguments[0], ERROR_INVALID_PARAMETER);
    }
    static const wchar_t* const names[] = {L"unknown", L"stopped",          L"start pending", L"stop pending",
                                           L"running", L"continue pending", L"pause pending", L"paused"};
    const DWORD state = QueryState(service);
    Print(std::wstring(L"wscsvc: ") + (state < 8 ? names[state] : L"unknown") + L"\n");
    return 0;
}

std::uint32_t ParseNumber(const std::wstring& text)
{
    return static_cast<std::uint32_t>(std::wcstoul(text.c_str(), nullptr, 0));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::vector<std::wstring> arguments(argv + 1, argv + argc);
    const std::wstring command = arguments.empty() ? L"--help" : arguments[0];
    try {
        if (command == L"install") {
            return Install();
        }
        if (command == L"uninstall") {
            return Uninstall();
        }
        if (command == L"reset") {
            SimulatorState::Reset();
            return 0;
        }
        if (command == L"show") {
            return Show();
        }
        if (command == L"journal") {
            return ShowJournal();
        }
        if (command == L"add" && arguments.size() == 3) {
            Product product;
            product.instanceGuid = L"{added-" + std::to_wstring(SimulatorState::Products().size()) + L"}";
            product.displayName = arguments[1];
            product.path = arguments[2];
            product.state = 0;
            SimulatorState::Save(product);
            return 0;
        }
        if (command == L"fail" && arguments.size() == 4) {
            SimulatorState::ScriptFault(arguments[1], ParseNumber(arguments[2]), ParseNumber(arguments[3]));
            return 0;
        }
        if (command == L"service") {
            return Service(std::vector<std::wstring>(arguments.begin() + 1, arguments.end()));
        }
    } catch (const std::exception& exception) {
        // NOLINTNEXTLINE(cert-err33-c): a console that cannot be written to has nowhere to hear about it
        std::fprintf(stderr, "wscsim: %s\n", exception.what());
        return 1;
    }
    // NOLINTNEXTLINE(cert-err33-c): a console that cannot be written to has nowhere to hear about it
    std::fputws(Help, command == L"--help" || command == L"-h" ? stdout : stderr);
    return command == L"--help" || command == L"-h" ? 0 : 2;
}
