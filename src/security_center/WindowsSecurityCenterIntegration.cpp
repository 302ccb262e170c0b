#include "security_center/WindowsSecurityCenterIntegration.h"

#include "common/foundation/Format.h"
#include "common/OsInfoImpl.h"
#include "common/foundation/StringConversion.h"
#include "configuration/Configuration.h"
#include "diagnostics/HResultConversion.h"
#include "diagnostics/Log.h"

#include <windows.h>
#include <winternl.h>

#include <thread>
#include <utility>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::ConvertHResultToErrorCode;
using Vantrel::Common::Log;
using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;
using Vantrel::Common::Result;

constexpr auto Component = LogComponent::SecurityCenter;
constexpr std::int64_t TicksPerDay = 864'000'000'000;
constexpr int RegisterAttempts = 10;
constexpr auto RegisterPause = std::chrono::milliseconds(500);

// Days since 1970, rounded toward negative infinity.
std::int32_t UtcDayNumber(TimePoint time)
{
    const std::int64_t ticks = time.time_since_epoch().count();
    const std::int64_t day = ticks / TicksPerDay - ((ticks % TicksPerDay) < 0 ? 1 : 0);
    return static_cast<std::int32_t>(day);
}

// The HRESULT's bits as an unsigned number, for the hexadecimal form of the log lines.
std::uint32_t AsUnsigned(HRESULT hresult)
{
    return static_cast<std::uint32_t>(hresult);
}

// A failure of an inner step, handed on with its composed text as the new message.
template <typename Inner>
Result<> PassOn(const Inner& inner)
{
    return Result<>(inner.ErrorCode(), inner.Message());
}

const char* StateName(SecurityCenterState state)
{
    switch (state) {
        case SecurityCenterState::On:
            return "WSC_SECURITY_PRODUCT_STATE_ON";
        case SecurityCenterState::Off:
            return "WSC_SECURITY_PRODUCT_STATE_OFF";
        case SecurityCenterState::Snoozed:
            return "WSC_SECURITY_PRODUCT_STATE_SNOOZED";
        case SecurityCenterState::Expired:
            return "WSC_SECURITY_PRODUCT_STATE_EXPIRED";
    }
    return "WSC_SECURITY_PRODUCT_STATE_UNKNOWN";
}

const char* SubStateName(std::uint32_t subState)
{
    switch (subState) {
        case 0:
            return "WSC_SECURITY_PRODUCT_SUBSTATUS_NOT_SET";
        case 1:
            return "WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION";
        case 2:
            return "WSC_SECURITY_PRODUCT_SUBSTATUS_ACTION_RECOMMENDED";
        case 3:
            return "WSC_SECURITY_PRODUCT_SUBSTATUS_ACTION_NEEDED";
        default:
            break;
    }
    return "WSC_SECURITY_PRODUCT_SUBSTATUS_UNKNOWN";
}

}  // namespace

WindowsSecurityCenterIntegration::WindowsSecurityCenterIntegration()
    : WindowsSecurityCenterIntegration(Configuration::Instance(), std::make_shared<ComFactory>(),
                                       std::make_shared<OsInfoImpl>())
{
}

WindowsSecurityCenterIntegration::WindowsSecurityCenterIntegration(std::shared_ptr<Configuration> configuration,
                                                                   std::shared_ptr<IComFactory> factory,
                                                                   std::shared_ptr<IOsInfo> osInfo)
    : configuration_(std::move(configuration)), factory_(std::move(factory)), osInfo_(std::move(osInfo))
{
}

Result<ComPointer<IUnknown>> WindowsSecurityCenterIntegration::CreateSecurityCenterObject()
{
    IUnknown* object = nullptr;
    const HRESULT hresult = factory_->CreateInstance(CLSID_WscAVStatus, &object);
    if (FAILED(hresult)) {
        return Result<ComPointer<IUnknown>>(
            ConvertHResultToErrorCode(hresult),
            Format("Failed to create IUnknown for class: CoCreateInstance failed (Error: 0x{:x})",
                   AsUnsigned(hresult)));
    }
    return Result<ComPointer<IUnknown>>(ComPointer<IUnknown>(object));
}

template <typename Interface>
Result<ComPointer<Interface>> WindowsSecurityCenterIntegration::QueryStatusInterface(REFIID interfaceId,
                                                                                     const char* name)
{
    auto object = CreateSecurityCenterObject();
    if (!object.Succeeded()) {
        return Result<ComPointer<Interface>>(object.ErrorCode(), object.Message());
    }
    ComPointer<Interface> status;
    const HRESULT hresult = object.Value()->QueryInterface(interfaceId, status.OutVoid());
    object.Value().Reset();
    if (FAILED(hresult)) {
        // The name as the standard type-name facility renders a struct.
        return Result<ComPointer<Interface>>(
            ConvertHResultToErrorCode(hresult),
            Format("Failed to query interface struct {} (Error: 0x{:x})", name, AsUnsigned(hresult)));
    }
    return Result<ComPointer<Interface>>(std::move(status));
}

template Result<ComPointer<IWscAVStatus>> WindowsSecurityCenterIntegration::QueryStatusInterface(REFIID, const char*);
template Result<ComPointer<IWscAVStatus2>> WindowsSecurityCenterIntegration::QueryStatusInterface(REFIID, const char*);
template Result<ComPointer<IWscAVStatus4>> WindowsSecurityCenterIntegration::QueryStatusInterface(REFIID, const char*);

void WindowsSecurityCenterIntegration::SetPacing(Pacing pacing)
{
    pacing_ = std::move(pacing);
}

Result<> WindowsSecurityCenterIntegration::RegisterProduct(
    const std::string& displayName, const Vantrel::Common::Utilities::FileInfo& reportingExecutable)
{
    auto status = QueryStatusInterface<IWscAVStatus>(IID_IWscAVStatus, "IWscAVStatus");
    if (!status.Succeeded()) {
        return PassOn(status);
    }
    HRESULT hresult = S_OK;
    for (int attempt = 0; attempt < RegisterAttempts; ++attempt) {
        LogFormat(Component, LogLevel::Info, "Register anti virus state provider (Agent: {} - Name: {})",
                  reportingExecutable.Utf8(), displayName);
        const Bstr name(Utf8ToUtf16(displayName));
        const Bstr path(reportingExecutable.NormalizedPath());
        hresult = status.Value()->Register(path.Get(), name.Get(), 0, 0);
        if (SUCCEEDED(hresult)) {
            return Result<>(ERROR_SUCCESS);
        }
        // Also after the last failed call: a caller that tries again at once (the registration's own
        // retry) meets a Security Center that had half a second to catch up.
        pacing_.pause(RegisterPause);
    }
    return Result<>(ConvertHResultToErrorCode(hresult),
                    Format("WscAvStatus register failed (Error: 0x{:x})", AsUnsigned(hresult)));
}

Result<> WindowsSecurityCenterIntegration::UnregisterProduct()
{
    auto status = QueryStatusInterface<IWscAVStatus>(IID_IWscAVStatus, "IWscAVStatus");
    if (!status.Succeeded()) {
        return PassOn(status);
    }
    Log(Component, LogLevel::Info, "Unregister anti virus state provider");
    HRESULT hresult = status.Value()->Unregister();
    // Nothing registered is what an unregistration wants to reach.
    if (RtlNtStatusToDosError(hresult) == ERROR_FILE_NOT_FOUND) {
        hresult = S_OK;
    }
    if (FAILED(hresult)) {
        return Result<>(ConvertHResultToErrorCode(hresult),
                        Format("AVStatus Unregister failed (Error: 0x{:x})", AsUnsigned(hresult)));
    }
    Log(Component, LogLevel::Info, "Unregister anti virus state provider successful");
    return Result<>(ERROR_SUCCESS);
}

Result<> WindowsSecurityCenterIntegration::WriteAntivirusState()
{
    auto status = QueryStatusInterface<IWscAVStatus>(IID_IWscAVStatus, "IWscAVStatus");
    if (!status.Succeeded()) {
        return PassOn(status);
    }
    Log(Component, LogLevel::Info, "Write the antivirus state to Windows security center");
    const SecurityCenterState state = ToSecurityCenterState(false, configuration_->GetProductState());
    const bool upToDate = configuration_->IsUpToDate(false);
    LogFormat(Component, LogLevel::Info, "State to be set in Windows security center: {} ({})", StateName(state),
              upToDate ? "Is up-to-date" : "Is not up-to-date");
    const HRESULT hresult = status.Value()->UpdateStatus(static_cast<LONG>(state), upToDate ? 1 : 0);
    if (FAILED(hresult)) {
        return Result<>(ConvertHResultToErrorCode(hresult),
                        Format("Write anti virus state: UpdateStatus failed (Error: 0x{:x})", AsUnsigned(hresult)));
    }
    return Result<>(ERROR_SUCCESS);
}

Result<> WindowsSecurityCenterIntegration::SetSubstatus(const char* label, std::uint32_t subState,
                                                        std::string_view failureMessage, SubstatusCall call)
{
    // Sub-states exist on workstations from Windows 10 build 16241 on; elsewhere nothing is due.
    if (!osInfo_->IsBuild16241OrGreater() || !osInfo_->IsWorkstation()) {
        return Result<>(ERROR_SUCCESS);
    }
    auto status = QueryStatusInterface<IWscAVStatus4>(IID_IWscAVStatus4, "IWscAVStatus4");
    if (!status.Succeeded()) {
        return PassOn(status);
    }
    LogFormat(Component, LogLevel::Info, "Setting the product sub status {} to: {}", label, SubStateName(subState));
    const HRESULT hresult = (status.Value().Get()->*call)(static_cast<LONG>(subState));
    if (FAILED(hresult)) {
        return Result<>(ConvertHResultToErrorCode(hresult),
                        Vantrel::Common::FormatLogMessage(failureMessage, MakeFormatArgs(AsUnsigned(hresult))));
    }
    return Result<>(ERROR_SUCCESS);
}

Result<> WindowsSecurityCenterIntegration::SetProtectionSettingsSubstatus(std::uint32_t subState)
{
    return SetSubstatus("protection settings", subState, "Update protection settings sub-status failed (Error: 0x{:x})",
                        &IWscAVStatus4::UpdateSettingsSubstatus);
}

Result<> WindowsSecurityCenterIntegration::SetProtectionUpdatesSubstatus(std::uint32_t subState)
{
    return SetSubstatus("protection updates", subState,
                        "Update protection update sub-status: UpdateStatus failed (Error: 0x{:x})",
                        &IWscAVStatus4::UpdateProtectionUpdateSubstatus);
}

Result<> WindowsSecurityCenterIntegration::SetCurrentThreatsSubstatus(std::uint32_t subState)
{
    return SetSubstatus("current threads", subState, "Update current threads sub status failed (Error: 0x{:x})",
                        &IWscAVStatus4::UpdateScanSubstatus);
}

SecurityCenterState WindowsSecurityCenterIntegration::ToSecurityCenterState(bool quiet, ProductState state)
{
    if (state == ProductState::On || state == ProductState::Snoozed) {
        if (configuration_->IsExpired(quiet)) {
            // An expired product is reported as such, and a notice about expiring soon would be wrong.
            Log(Component, LogLevel::Warn, "The antivirus state got overridden by the expired state");
            return SecurityCenterState::Expired;
        }
        if (const std::uint32_t days = configuration_->GetRemainingDaysToExpiration(); days != 0) {
            LogFormat(Component, LogLevel::Info,
                      "Reporting product will get expire in the {} days for the near to expire status", days);
            NotifyNearExpiration(days);
        } else {
            Log(Component, LogLevel::Info,
                "Won't report product will be near to expire as the expire date passed already");
        }
    }
    return MapToSecurityCenterState(state);
}

SubStates WindowsSecurityCenterIntegration::ComputeSubStates()
{
    SubStates subStates;
    const SecurityCenterState state = ToSecurityCenterState(true, configuration_->GetProductState());
    if (state == SecurityCenterState::Snoozed) {
        subStates.protectionSettings = SecurityCenterSubState::ActionRecommended;
    } else if (state == SecurityCenterState::Off) {
        subStates.protectionSettings = SecurityCenterSubState::ActionNeeded;
    } else if (!configuration_->IsUpToDate(true)) {
        Log(Component, LogLevel::Warn, "The antivirus state got overriden by the up to date state");
        subStates.protectionUpdates = SecurityCenterSubState::ActionRecommended;
    }
    return subStates;
}

void WindowsSecurityCenterIntegration::NotifyNearExpiration(std::uint32_t days)
{
    const TimePoint now = configuration_->CurrentTime();
    if (configuration_->HasLastNearExpirationNotificationTime() &&
        UtcDayNumber(configuration_->GetLastNearExpirationNotificationTime()) == UtcDayNumber(now)) {
        Log(Component, LogLevel::Info,
            "Skip near expiration notification because it was already sent for current UTC day");
        return;
    }
    if (const auto code = configuration_->SetLastNearExpirationNotificationTime(now); code != 0) {
        LogFormat(Component, LogLevel::Warn,
                  "Failed to persist last near expiration notification time before notify attempt (Error: {})", code);
    } else {
        Log(Component, LogLevel::Info,
            "Stored near expiration notification day marker for current UTC day before notify attempt");
    }
    SendNearExpirationNotification(days);
}

void WindowsSecurityCenterIntegration::SendNearExpirationNotification(std::uint32_t days)
{
    LogFormat(Component, LogLevel::Info, "Notify the user about near expiration (Remaining days: {})", days);
    auto status = QueryStatusInterface<IWscAVStatus2>(IID_IWscAVStatus2, "IWscAVStatus2");
    if (!status.Succeeded()) {
        LogFormat(Component, LogLevel::Error,
                  "Failed to notify about near expiration while getting the interface (Error: {})", status.ErrorCode());
        return;
    }
    const HRESULT hresult = status.Value()->NotifyUserForNearExpiration(days);
    if (FAILED(hresult)) {
        const std::uint32_t code = ConvertHResultToErrorCode(hresult);
        // A pending answer is Security Center's to finish; anything else is a real failure.
        LogFormat(Component, code == ERROR_IO_PENDING ? LogLevel::Warn : LogLevel::Error,
                  "Failed to notify about near expiration (Error: {} [H:0x{:x}])", code, AsUnsigned(hresult));
    }
}

}  // namespace Tessaro::Ravelin
