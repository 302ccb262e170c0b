#include "security_center/TriggerWindowsSecurityCenter.h"

#include "configuration/Configuration.h"
#include "diagnostics/Log.h"
#include "security_center/WindowsSecurityCenterIntegration.h"
#include "security_center/WindowsSecurityCenterProducts.h"
#include "security_center/WindowsSecurityCenterService.h"

#include <windows.h>

#include <functional>
#include <string_view>
#include <utility>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::Log;
using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;
using Vantrel::Common::Result;

constexpr auto Component = LogComponent::SecurityCenter;
constexpr auto ServiceWait = std::chrono::seconds(120);
constexpr int Attempts = 10;
constexpr auto RetryPause = std::chrono::seconds(1);
constexpr std::uint32_t PersistentNotRegistered = 3;

struct RetryLines {
    std::string_view start;
    std::string_view retry;
    std::string_view failure;
};

// Security Center answers "pending" or "not found" while it is still catching up.
bool IsWorthRetrying(std::uint32_t code)
{
    return code == ERROR_IO_PENDING || code == ERROR_FILE_NOT_FOUND;
}

Result<> WithRetry(const RetryLines& lines, const Pacing& pacing, const std::function<Result<>()>& operation)
{
    Log(Component, LogLevel::Info, std::string(lines.start));
    Result<> result = operation();
    for (int attempt = 1; attempt < Attempts && IsWorthRetrying(result.ErrorCode()); ++attempt) {
        pacing.pause(RetryPause);
        LogFormat(Component, LogLevel::Warn, lines.retry, result.ErrorCode(), result.Message());
        result = operation();
    }
    if (!result.Succeeded()) {
        LogFormat(Component, LogLevel::Error, lines.failure, result.ErrorCode(), result.Message());
    }
    return result;
}

}  // namespace

void TriggerWindowsSecurityCenter::SetPacing(Pacing pacing)
{
    pacing_ = std::move(pacing);
}

TriggerWindowsSecurityCenter::TriggerWindowsSecurityCenter()
    : TriggerWindowsSecurityCenter(Configuration::Instance(), std::make_shared<WindowsSecurityCenterIntegration>())
{
}

TriggerWindowsSecurityCenter::TriggerWindowsSecurityCenter(
    std::shared_ptr<Configuration> configuration, std::shared_ptr<WindowsSecurityCenterIntegration> integration)
    : configuration_(std::move(configuration)), integration_(std::move(integration))
{
}

TriggerWindowsSecurityCenter::~TriggerWindowsSecurityCenter() = default;

void TriggerWindowsSecurityCenter::ListProducts()
{
    WindowsSecurityCenterProducts(*configuration_).ListRegisteredProducts();
}

Result<> TriggerWindowsSecurityCenter::Run()
{
    const auto service = configuration_->GetService();
    const auto waited = service != nullptr ? service->WaitForService(ServiceWait) : Result<>(ERROR_INVALID_PARAMETER);
    if (!waited.Succeeded()) {
        if (waited.ErrorCode() == ERROR_SHUTDOWN_IN_PROGRESS) {
            LogFormat(
                Component, LogLevel::Info,
                "Skip the wait for the Windows Security Center service as system shutdown got detected (Error: {})",
                waited.ErrorCode());
        } else {
            LogFormat(Component, LogLevel::Error, "Failed to wait for the Windows Security Center service (Error: {})",
                      waited.ErrorCode());
        }
        return Result<>(waited.ErrorCode(), waited.Message());
    }
    ListProducts();

    const RunMode runMode = configuration_->GetRunMode();
    if (runMode == RunMode::Remove) {
        Log(Component, LogLevel::Info, "Agent going to execute the remove operation");
        auto removed = RemoveRegistration();
        ListProducts();
        return removed;
    }
    if (runMode == RunMode::Register) {
        Log(Component, LogLevel::Info, "Agent going to execute the register operation");
        // Security Center starts the registered file when the user asks for remediation. An agent
        // started under another name registers a file that is not there: registered all the same
        // (that is the documented name), but named, so the mistake is found before a user meets it.
        if (const auto reporting = configuration_->GetReportingExecutable(); !reporting.Exists()) {
            LogFormat(Component, LogLevel::Warn,
                      "The reporting executable \"{}\" that is registered does not exist: Security Center "
                      "cannot start it for remediation (install the agent as ravelin.exe)",
                      reporting.Utf8());
        }
        auto registered = RegisterWithRetry();
        if (!registered.Succeeded()) {
            ListProducts();
            return registered;
        }
    }

    Log(Component, LogLevel::Info, "Agent going to execute the update entry operation");
    const auto storedState = configuration_->GetRegisterStoredState();
    if (!storedState.Succeeded()) {
        LogFormat(Component, LogLevel::Warn, "Agent operation executed with unknown registered state (Error: {})",
                  storedState.ErrorCode());
    } else {
        LogFormat(Component, LogLevel::Info, "Agent operation executed with registered state {}", storedState.Value());
        if (storedState.Value() == PersistentNotRegistered && configuration_->GetProductState() != ProductState::On) {
            Log(Component, LogLevel::Info,
                "Agent operation is getting skipped as it is in persistent not registered state");
            return Result<>(ERROR_SUCCESS);
        }
    }
    auto updated = UpdateWithRetry();
    ListProducts();
    return updated;
}

Result<> TriggerWindowsSecurityCenter::RegisterWithRetry()
{
    return WithRetry({"Agent going to execute the register antivirus operation",
                      "Retry to execute the register antivirus operation (Error: {}): {}",
                      "Failed to execute the register antivirus operation (Error: {}): {}"},
                     pacing_, [this] { return RegisterOnce(); });
}

Result<> TriggerWindowsSecurityCenter::RegisterOnce()
{
    if (configuration_->GetRunMode() == RunMode::Remove ||
        configuration_->GetProductState() == ProductState::Unregistered) {
        Log(Component, LogLevel::Error, "Register shouldn't be called for the remove state");
        return Result<>(ERROR_INVALID_PARAMETER);
    }
    const std::string displayName = configuration_->GetDisplayName();
    if (displayName.empty()) {
        Log(Component, LogLevel::Error, "Unable to find the display name parameter");
        return Result<>(ERROR_INVALID_PARAMETER);
    }
    const auto registered = integration_->RegisterProduct(displayName, configuration_->GetReportingExecutable());
    return Result<>(registered.ErrorCode());
}

Result<> TriggerWindowsSecurityCenter::UpdateWithRetry()
{
    return WithRetry({"Agent going to execute the update antivirus state operation",
                      "Retry to execute the update antivirus operation (Error: {}): {}",
                      "Failed to execute the update antivirus operation (Error: {}): {}"},
                     pacing_, [this] { return Update(); });
}

Result<> TriggerWindowsSecurityCenter::Update() const
{
    auto written = integration_->WriteAntivirusState();
    if (!written.Succeeded()) {
        LogFormat(Component, LogLevel::Error,
                  written.ErrorCode() == ERROR_FILE_NOT_FOUND
                      ? "Failed to set the antivirus state as no registration was found (Error: {})"
                      : "Failed to write the antivirus state (Error: {})",
                  written.ErrorCode());
        return written;
    }
    const SubStates subStates = integration_->ComputeSubStates();
    struct SubStateWrite {
        std::uint32_t value;
        Result<> (WindowsSecurityCenterIntegration::*write)(std::uint32_t);
        std::string_view failure;
    };
    const SubStateWrite writes[] = {
        {static_cast<std::uint32_t>(subStates.protectionSettings),
         &WindowsSecurityCenterIntegration::SetProtectionSettingsSubstatus,
         "Failed to set the antivirus sub state (Error: {})"},
        {static_cast<std::uint32_t>(subStates.protectionUpdates),
         &WindowsSecurityCenterIntegration::SetProtectionUpdatesSubstatus,
         "Failed to set the protection sub state (Error: {})"},
        {static_cast<std::uint32_t>(SecurityCenterSubState::NoAction),
         &WindowsSecurityCenterIntegration::SetCurrentThreatsSubstatus, "Failed to set the scan sub state (Error: {})"},
    };
    for (const auto& write : writes) {
        auto result = ((*integration_).*write.write)(write.value);
        if (result.Succeeded()) {
            continue;
        }
        if (result.ErrorCode() == ERROR_IO_PENDING) {
            LogFormat(Component, LogLevel::Warn, write.failure, result.ErrorCode());
            continue;
        }
        LogFormat(Component, LogLevel::Error, write.failure, result.ErrorCode());
        return result;
    }
    return Result<>(ERROR_SUCCESS);
}

Result<> TriggerWindowsSecurityCenter::RemoveRegistration()
{
    Log(Component, LogLevel::Info, "Agent going to execute the remove antivirus operation");
    auto removed = integration_->UnregisterProduct();
    if (!removed.Succeeded()) {
        LogFormat(Component, LogLevel::Error, "Failed to execute the remove antivirus operation (Error: {}): {}",
                  removed.ErrorCode(), removed.Message());
    }
    return removed;
}

}  // namespace Tessaro::Ravelin
