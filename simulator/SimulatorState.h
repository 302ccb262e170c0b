#pragma once

// The simulated Security Center's state, shared by every process of the prefix (the status
// object inside the agent, the WMI provider, the service host, the control tool and the tests)
// through one file of the prefix that each of them maps into memory, behind one lock that every
// process can name. A call costs the simulator microseconds, so that a benchmark measures the
// agent and not its stand-in.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Tessaro::Simulator {

struct Product {
    std::wstring instanceGuid;
    std::wstring displayName;
    std::wstring path;         // as given to Register; served as reporting and product executable
    std::wstring productPath;  // when set, served as the product executable instead (another product's entry)
    std::wstring owner;        // the registering executable, lower case without \\?\ prefix
    std::uint32_t state = 1;   // WSC_SECURITY_PRODUCT_STATE: 0 on, 1 off, 2 snoozed, 3 expired
    bool upToDate = true;
    std::uint32_t currentThreats = 0;  // WSC_SECURITY_PRODUCT_SUBSTATUS, 0 = not set
    std::uint32_t protectionSettings = 0;
    std::uint32_t protectionUpdates = 0;
    std::wstring timestamp;
    std::wstring lastNotification;  // "<days> days at <time>" or empty
    bool builtIn = false;
};

struct JournalEntry {
    std::wstring time;
    std::wstring caller;
    std::wstring call;
    std::wstring arguments;
    std::uint32_t answer = 0;
};

// The state "wscsvc" holds once started, and follows while it runs: each state the service
// control manager can report for a started service, and stopped: the service ends on its own, as
// one whose start fails or that fails while it runs.
enum class ServiceMode { Running, StartPending, Paused, StopPending, PausePending, ContinuePending, Stopped };

// Each mode with its name (as "wscsim service mode" takes it) and the state the service reports.
struct ServiceModeName {
    const wchar_t* name;
    ServiceMode mode;
    std::uint32_t reportedState;
};
inline constexpr ServiceModeName ServiceModeNames[] = {{L"running", ServiceMode::Running, 4},
                                                       {L"start-pending", ServiceMode::StartPending, 2},
                                                       {L"paused", ServiceMode::Paused, 7},
                                                       {L"stop-pending", ServiceMode::StopPending, 3},
                                                       {L"pause-pending", ServiceMode::PausePending, 6},
                                                       {L"continue-pending", ServiceMode::ContinuePending, 5},
                                                       {L"stopped", ServiceMode::Stopped, 1}};

// productState as the WMI view serves it: state code in bits 12 to 15 (1 on, 0 off, 2 snoozed,
// 3 expired), bit 4 set when not up to date.
std::uint32_t EncodeProductState(std::uint32_t state, bool upToDate);

// The executable of the calling process, lower case and without a long-path prefix.
std::wstring CallerIdentity();
std::wstring NormalizeOwner(const std::wstring& path);
std::wstring CurrentTimeText();

class SimulatorState {
public:
    // Where the state lives; uninstalling the simulator deletes it.
    static std::wstring StateFilePath();

    // Runs the work under the state's lock, so that a read and the change built on it are one
    // step for every other process. The lock may be taken again inside.
    static void Transaction(const std::function<void()>& work);

    // Back to a fresh workstation: only the built-in Windows Defender entry, no journal, no
    // scripted faults, service mode "running".
    static void Reset();

    // Products as Security Center lists them, the built-in entry first. The built-in entry turns
    // off while a registered third-party product reports itself on.
    static std::vector<Product> Products();
    static std::optional<Product> FindByOwner(const std::wstring& owner);
    static void Save(const Product& product);
    static void Remove(const std::wstring& instanceGuid);

    static void Record(const std::wstring& call, const std::wstring& arguments, std::uint32_t answer);
    static std::vector<JournalEntry> Journal();

    // "Answer the next <count> calls of <call> with <hresult>".
    static void ScriptFault(const std::wstring& call, std::uint32_t count, std::uint32_t hresult);
    // The scripted answer for this call, used up by one; nothing when none is left.
    static std::optional<std::uint32_t> TakeFault(const std::wstring& call);

    static ServiceMode GetServiceMode();
    static void SetServiceMode(ServiceMode mode);

    static void SetValue(const std::wstring& name, const std::wstring& value);
    static std::wstring GetValue(const std::wstring& name);
};

}  // namespace Tessaro::Simulator
