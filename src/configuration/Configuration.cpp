#include "configuration/Configuration.h"

#include "common/foundation/FileSystem.h"
#include "common/foundation/Format.h"
#include "common/Process.h"
#include "common/foundation/ConversionException.h"
#include "common/foundation/StringConversion.h"
#include "configuration/CommandLine.h"
#include "configuration/InstanceIdentity.h"
#include "configuration/RegistryLayout.h"
#include "diagnostics/Log.h"

#include <windows.h>

#include <map>
#include <mutex>
#include <vector>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;
using Vantrel::Common::Result;
using Vantrel::Common::Utilities::FileInfo;
using Vantrel::Common::Utilities::ModulePath;
using Vantrel::Common::Utilities::Process;
using Vantrel::Common::Utilities::RegistryKey;

constexpr auto Component = LogComponent::SecurityCenter;
// 5 and 1 years of 365.2425 days.
constexpr std::int64_t FiveYearsInSeconds = 157'784'760;
constexpr std::int64_t OneYearInSeconds = 31'556'952;

FileInfo MakeReportingExecutable()
{
    const std::wstring module = ModulePath();
    const auto lastSeparator = module.find_last_of(L'\\');
    const std::wstring folder =
        lastSeparator == std::wstring::npos ? std::wstring{} : module.substr(0, lastSeparator + 1);
    return FileInfo(folder + L"ravelin.exe");
}

bool IsMissingKey(const std::shared_ptr<RegistryKey>& key)
{
    return key == nullptr || !key->Exists();
}

std::string RegistryTypeName(std::uint32_t type)
{
    static constexpr const char* names[] = {"REG_NONE",
                                            "REG_SZ",
                                            "REG_EXPAND_SZ",
                                            "REG_BINARY",
                                            "REG_DWORD",
                                            "REG_DWORD_BIG_ENDIAN",
                                            "REG_LINK",
                                            "REG_MULTI_SZ",
                                            "REG_RESOURCE_LIST",
                                            "REG_FULL_RESOURCE_DESCRIPTOR",
                                            "REG_RESOURCE_REQUIREMENTS_LIST",
                                            "REG_QWORD"};
    return type < std::size(names) ? names[type] : Format("of type {}", type);
}

// What a run uses in place of each value it cannot read, as the warning names it.
std::string DefaultInPlaceOf(const std::string& valueName)
{
    static const std::map<std::string, const char*> defaults = {
        {RegistryLayout::DisplayName, "the empty name (registration ends with 87)"},
        {RegistryLayout::RemediationPath, "the empty path (/AV ends with 1168)"},
        {RegistryLayout::ExpirationTime, "now + 5 years (the product counts as valid)"},
        {RegistryLayout::TimeNotifyAboutNearExpiration, "now + 1 year"},
        {RegistryLayout::LastNearExpirationNotificationTime, "none (the notice counts as never sent)"},
        {RegistryLayout::ProductInstallationTime, "none (no installation grace)"},
        {RegistryLayout::RegisterTime, "none (no registration grace)"},
        {RegistryLayout::OutOfDateTime, "\"DefinitionsUpdateTime\" + 7 days"},
        {RegistryLayout::DefinitionsUpdateTime, "none (up to date unless \"OutOfDateTime\" says otherwise)"},
        {RegistryLayout::StoredState, "the state Security Center shows"},
        {RegistryLayout::RegisterStoredState, "none (the instance counts as registered)"},
    };
    const auto found = defaults.find(valueName);
    return found != defaults.end() ? found->second : "its default";
}

// Whether the process has ended: true when the id names no process or its handle is signalled,
// false while it runs; the open's error when it cannot be told.
Result<bool> IsEndedProcess(std::uint32_t processId)
{
    const auto process = Process::OpenById(processId);
    if (process.ErrorCode() == ERROR_INVALID_PARAMETER) {
        return Result<bool>(true);
    }
    if (!process.Succeeded()) {
        return Result<bool>(false, process.ErrorCode());
    }
    return Result<bool>(!process.Value()->IsRunning());
}

}  // namespace

std::shared_ptr<Configuration> Configuration::Instance()
{
    static const std::shared_ptr<Configuration> instance = std::make_shared<Configuration>();
    return instance;
}

Configuration::Configuration()
    : reportingExecutable_(MakeReportingExecutable()), processJudge_(&IsEndedProcess), clock_(&Now)
{
    if (const auto current = Process::GetCurrent(); current.Succeeded()) {
        instance_ = std::to_string(current.Value()->GetId());
    }
}

std::uint32_t Configuration::ParseCommandLine(const std::string& commandLine, std::shared_ptr<RegistryKey> settingsKey,
                                              std::shared_ptr<WindowsSecurityCenterService> service)
{
    {
        std::unique_lock guard(lock_);
        commandLine_ = commandLine;
        settingsKey_ = std::move(settingsKey);
        instancesKey_ = settingsKey_ != nullptr ? settingsKey_->GetSubKey(RegistryLayout::InstanceSubKey) : nullptr;
        instanceKey_ = nullptr;
        service_ = std::move(service);
    }
    std::string upper = commandLine;
    ToUpper(upper);
    const bool remove = FindSwitch(upper, "/REMOVE");
    const bool registration = FindSwitch(upper, "/REGISTER");
    const bool remediation = FindSwitch(upper, "/AV");
    const std::string stateWord = GetOptionValue(commandLine, "/UPDATE_WSC=");
    const std::string identifier = GetOptionValue(commandLine, "/ID=");
    const std::string instance = GetOptionValue(commandLine, "/INSTANCE=");

    {
        std::unique_lock guard(lock_);
        if (!instance.empty()) {
            instance_ = instance;
        }
        if (instancesKey_ != nullptr && !instance_.empty()) {
            try {
                instanceKey_ = instancesKey_->GetSubKey(Utf8ToUtf16(instance_));
            } catch (const Tessaro::ConversionException&) {
                // No key for an instance that is no valid text: reading from it raises this again,
                // where the caller handles it; opening the settings must not throw for it.
            }
        }
    }
    RemoveStaleInstanceKeys();
    {
        std::unique_lock guard(lock_);
        identifier_ = identifier.empty() ? MakeGeneratedIdentifier() + "_WA" : identifier;
    }

    if (remove) {
        std::unique_lock guard(lock_);
        runMode_ = RunMode::Remove;
        return ERROR_SUCCESS;
    }
    if (registration) {
        std::unique_lock guard(lock_);
        productState_ = ProductState::On;
        runMode_ = RunMode::Register;
        return ERROR_SUCCESS;
    }
    if (!stateWord.empty()) {
        {
            std::unique_lock guard(lock_);
            runMode_ = RunMode::UpdateState;
        }
        // The state lookup reads the configuration itself, so it runs outside the lock.
        ProductState state = GetProductState();
        StateWordReader reader;
        {
            std::shared_lock guard(lock_);
            reader = stateWordReader_;
        }
        const std::uint32_t code = reader ? reader(stateWord, state, *this) : ERROR_INVALID_PARAMETER;
        std::unique_lock guard(lock_);
        productState_ = state;
        return code;
    }
    if (remediation) {
        std::unique_lock guard(lock_);
        runMode_ = RunMode::LaunchRemediation;
        return ERROR_SUCCESS;
    }
    return ERROR_INVALID_PARAMETER;
}

void Configuration::SetStateWordReader(StateWordReader reader)
{
    std::unique_lock guard(lock_);
    stateWordReader_ = std::move(reader);
}

TimePoint Configuration::CurrentTime() const
{
    return clock_();
}

void Configuration::SetClock(std::function<TimePoint()> clock)
{
    clock_ = std::move(clock);
}

RunMode Configuration::GetRunMode() const
{
    std::shared_lock guard(lock_);
    return runMode_;
}

std::string Configuration::GetIdentifier() const
{
    std::shared_lock guard(lock_);
    return identifier_;
}

std::string Configuration::GetRawCommandLine() const
{
    std::shared_lock guard(lock_);
    return commandLine_;
}

std::string Configuration::GetInstance() const
{
    std::shared_lock guard(lock_);
    return instance_;
}

FileInfo Configuration::GetReportingExecutable() const
{
    return reportingExecutable_;
}

ProductState Configuration::GetProductState() const
{
    std::shared_lock guard(lock_);
    return productState_;
}

std::shared_ptr<WindowsSecurityCenterService> Configuration::GetService() const
{
    std::shared_lock guard(lock_);
    return service_;
}

Result<std::string> Configuration::ReadString(const std::string& valueName) const
{
    std::shared_lock guard(lock_);
    if (IsMissingKey(settingsKey_)) {
        WarnMissingSettingsKey();
        return Result<std::string>(ERROR_NOT_FOUND);
    }
    const auto value = settingsKey_->GetString(Utf8ToUtf16(valueName), std::wstring());
    if (!value.Succeeded()) {
        WarnUnreadableValue(*settingsKey_, valueName, {}, REG_SZ, value.ErrorCode());
        return Result<std::string>(std::string{}, value.ErrorCode());
    }
    return Result<std::string>(Utf16ToUtf8(value.Value()));
}

Result<std::uint64_t> Configuration::ReadNumber(const std::string& valueName) const
{
    std::shared_lock guard(lock_);
    if (IsMissingKey(settingsKey_)) {
        WarnMissingSettingsKey();
        return Result<std::uint64_t>(0, ERROR_NOT_FOUND);
    }
    auto value = settingsKey_->GetQword(Utf8ToUtf16(valueName), 0);
    WarnUnreadableValue(*settingsKey_, valueName, {}, REG_QWORD, value.ErrorCode());
    return value;
}

void Configuration::WarnMissingSettingsKey() const
{
    if (settingsKey_ != nullptr && !missingSettingsKeyLogged_.exchange(true)) {
        LogFormat(Component, LogLevel::Warn,
                  "The settings key \"HKEY_LOCAL_MACHINE\\{}\" was not found: every setting takes its default",
                  Utf16ToUtf8(settingsKey_->GetPath()));
    }
}

void Configuration::WarnUnreadableValue(RegistryKey& key, const std::string& valueName, const std::string& instance,
                                        std::uint32_t expectedType, std::uint32_t code) const
{
    // A missing value is no mistake: most have a default on purpose.
    if (code == ERROR_SUCCESS || code == ERROR_FILE_NOT_FOUND) {
        return;
    }
    const std::string named =
        instance.empty() ? Format("\"{}\"", valueName) : Format("\"{}\" of the instance \"{}\"", valueName, instance);
    {
        std::lock_guard guard(unreadableValuesLock_);
        if (!unreadableValuesLogged_.insert(named).second) {
            return;
        }
    }
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    std::string found;
    if (const auto read = key.GetValue(Utf8ToUtf16(valueName), type, data); read != ERROR_SUCCESS) {
        found = Format("unreadable (Error: {})", read);
    } else if (type == expectedType || (expectedType == REG_SZ && type == REG_EXPAND_SZ)) {
        found = Format("{} of {} bytes", RegistryTypeName(type), data.size());
    } else {
        found = RegistryTypeName(type);
    }
    LogFormat(Component, LogLevel::Warn,
              "The configuration value {} is {} where {} is expected (Error: {}): using {} instead", named, found,
              expectedType == REG_SZ ? "REG_SZ" : "REG_QWORD of 8 bytes", code, DefaultInPlaceOf(valueName));
}

Result<std::int64_t> Configuration::ReadSeconds(const std::string& valueName) const
{
    const auto value = ReadNumber(valueName);
    // The same 64 bits, as the two's complement number the product stores.
    return Result<std::int64_t>(static_cast<std::int64_t>(value.Value()), value.ErrorCode());
}

std::uint32_t Configuration::EnsureSettingsKey()
{
    if (settingsKey_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!settingsKey_->Exists()) {
        if (const auto code = settingsKey_->Create(); code != ERROR_SUCCESS) {
            LogFormat(Component, LogLevel::Error, "Failed to create the security center key (Error {})", code);
            return code;
        }
    }
    return ERROR_SUCCESS;
}

std::uint32_t Configuration::WriteString(const std::string& valueName, const std::string& value)
{
    std::unique_lock guard(lock_);
    LogFormat(Component, LogLevel::Info, "Set the configuration value \"{}\" to \"{}\"", valueName, value);
    if (const auto code = EnsureSettingsKey(); code != ERROR_SUCCESS) {
        return code;
    }
    const auto code = settingsKey_->SetString(Utf8ToUtf16(valueName), Utf8ToUtf16(value));
    if (code != ERROR_SUCCESS) {
        LogFormat(Component, LogLevel::Warn, "Failed to set the configuration value \"{}\" to \"{}\" (Error: {})",
                  valueName, value, code);
    }
    return code;
}

std::uint32_t Configuration::WriteNumber(const std::string& valueName, std::uint64_t value)
{
    std::unique_lock guard(lock_);
    LogFormat(Component, LogLevel::Info, "Set the configuration value \"{}\" to {}", valueName, value);
    if (const auto code = EnsureSettingsKey(); code != ERROR_SUCCESS) {
        return code;
    }
    const auto code = settingsKey_->SetQword(Utf8ToUtf16(valueName), value);
    if (code != ERROR_SUCCESS) {
        LogFormat(Component, LogLevel::Warn, "Failed to set the configuration value \"{}\" to {} (Error: {})",
                  valueName, value, code);
    }
    return code;
}

std::string Configuration::GetDefaultedString(const char* valueName, const char* warning)
{
    const auto value = ReadString(valueName);
    if (value.ErrorCode() == ERROR_NOT_FOUND) {
        // Only a missing settings key gets the default written back (which creates the key).
        LogFormat(Component, LogLevel::Warn, "{}", warning);
        WriteString(valueName, "");
        return {};
    }
    return value.Succeeded() ? value.Value() : std::string{};
}

std::string Configuration::GetDisplayName()
{
    return GetDefaultedString(RegistryLayout::DisplayName,
                              "Haven't found display name in the setting. Going to use the default.");
}

std::string Configuration::GetRemediationPath()
{
    return GetDefaultedString(RegistryLayout::RemediationPath,
                              "Haven't found remediation app path in the setting. Going to use the default.");
}

TimePoint Configuration::GetExpirationTime() const
{
    const auto value = ReadSeconds(RegistryLayout::ExpirationTime);
    return value.Succeeded() ? FromStoredSeconds(value.Value())
                             : CurrentTime() + std::chrono::seconds(FiveYearsInSeconds);
}

TimePoint Configuration::GetTimeNotifyAboutNearExpiration() const
{
    const auto value = ReadSeconds(RegistryLayout::TimeNotifyAboutNearExpiration);
    return value.Succeeded() ? FromStoredSeconds(value.Value())
                             : CurrentTime() + std::chrono::seconds(OneYearInSeconds);
}

Result<TimePoint> Configuration::GetProductInstallationTime() const
{
    const auto value = ReadSeconds(RegistryLayout::ProductInstallationTime);
    if (!value.Succeeded()) {
        return Result<TimePoint>(TimePoint{}, value.ErrorCode(), value.Message());
    }
    return Result<TimePoint>(FromStoredSeconds(value.Value()));
}

TimePoint Configuration::GetRegisterTime() const
{
    const auto value = ReadSeconds(RegistryLayout::RegisterTime);
    return value.Succeeded() ? FromStoredSeconds(value.Value()) : CurrentTime();
}

bool Configuration::HasLastNearExpirationNotificationTime() const
{
    return ReadNumber(RegistryLayout::LastNearExpirationNotificationTime).Succeeded();
}

TimePoint Configuration::GetLastNearExpirationNotificationTime() const
{
    const auto value = ReadSeconds(RegistryLayout::LastNearExpirationNotificationTime);
    return value.Succeeded() ? FromStoredSeconds(value.Value()) : TimePoint{};
}

std::uint32_t Configuration::SetLastNearExpirationNotificationTime(TimePoint time)
{
    // Stored as the product stores times: signed seconds in the value's 64 bits.
    return WriteNumber(RegistryLayout::LastNearExpirationNotificationTime,
                       static_cast<std::uint64_t>(ToStoredSeconds(time)));
}

Result<std::uint32_t> Configuration::GetRegisterStoredState() const
{
    const auto value = ReadInstanceNumber(RegistryLayout::RegisterStoredState);
    if (value.ErrorCode() == ERROR_NOT_FOUND) {
        return Result<std::uint32_t>(1);
    }
    if (!value.Succeeded()) {
        return Result<std::uint32_t>(0, value.ErrorCode());
    }
    return Result<std::uint32_t>(static_cast<std::uint32_t>(value.Value()));
}

Result<std::uint64_t> Configuration::ReadInstanceNumber(const std::string& valueName) const
{
    std::shared_lock guard(lock_);
    if (IsMissingKey(settingsKey_)) {
        WarnMissingSettingsKey();
        return Result<std::uint64_t>(0, ERROR_NOT_FOUND);
    }
    if (!instancesKey_->Exists()) {
        return Result<std::uint64_t>(0, ERROR_NOT_FOUND);
    }
    if (instance_.empty()) {
        return Result<std::uint64_t>(0, ERROR_INVALID_PARAMETER);
    }
    // An instance that is no valid text has no key of its own: its conversion raises the error here.
    const auto instanceKey = instanceKey_ != nullptr ? instanceKey_ : instancesKey_->GetSubKey(Utf8ToUtf16(instance_));
    if (!instanceKey->Exists() || !IsTrustedInstanceKey(*instanceKey)) {
        return Result<std::uint64_t>(0, ERROR_NOT_FOUND);
    }
    auto value = instanceKey->GetQword(Utf8ToUtf16(valueName), 0);
    WarnUnreadableValue(*instanceKey, valueName, instance_, REG_QWORD, value.ErrorCode());
    return value;
}

bool Configuration::IsTrustedInstanceKey(RegistryKey& instanceKey) const
{
    if (!runAccount_.IsAboveOrdinaryUsers()) {
        return true;
    }
    // Read through the handle the values are read through, so that the owner is that key's.
    const auto owner = instanceKey.GetOwner();
    if (owner.Succeeded() && runAccount_.IsTrustedWriter(owner.Value().data())) {
        return true;
    }
    if (!untrustedInstanceKeyLogged_.exchange(true)) {
        const std::string ownerText = owner.Succeeded() ? SidText(owner.Value().data())
                                                        : Format("an unknown owner (Error: {})", owner.ErrorCode());
        LogFormat(Component, LogLevel::Warn,
                  "The instance key \"{}\" is owned by {}, who may not decide for this run: it is not used", instance_,
                  ownerText);
    }
    return false;
}

void Configuration::SetRunAccount(const RunAccount& account)
{
    std::unique_lock guard(lock_);
    runAccount_ = account;
}

void Configuration::SetProcessJudge(ProcessJudge judge)
{
    std::unique_lock guard(lock_);
    processJudge_ = std::move(judge);
}

void Configuration::RemoveStaleInstanceKeys()
{
    std::unique_lock guard(lock_);
    // "Instance" and every key below it are opened as themselves (the settings key hands that on to
    // the keys below it): a registry link there is logged by the key and counts as missing, so
    // nothing behind one is ever deleted.
    if (settingsKey_ == nullptr || !settingsKey_->Exists() || !settingsKey_->CanRead() || !instancesKey_->Exists() ||
        !instancesKey_->CanRead()) {
        return;
    }
    const auto names = instancesKey_->GetSubKeyNames();
    if (!names.Succeeded()) {
        return;
    }
    // Whoever may create keys here decides how many there are: each process is judged once however
    // many keys name it, and the warnings stop at a bound, with one line that counts the rest.
    std::map<std::uint32_t, Result<bool>> staleByProcess;
    std::size_t warnings = 0;
    const auto warn = [&warnings](const char* format, const std::string& name, const auto& error) {
        if (++warnings <= MaximumCleanupWarnings) {
            LogFormat(Component, LogLevel::Warn, format, name, error);
        }
    };
    for (const auto& name : names.Value()) {
        const std::string printableName = ReadableUtf8(name);
        try {
            // A name that is not valid UTF-16 names no instance of ours: it is reported, not parsed.
            Utf16ToUtf8(name);
            const auto processId = static_cast<std::uint32_t>(ParseInstanceProcessId(name));
            auto judged = staleByProcess.find(processId);
            if (judged == staleByProcess.end()) {
                judged = staleByProcess.emplace(processId, processJudge_(processId)).first;
            }
            if (!judged->second.Succeeded()) {
                warn("Failed to remove the instance key \"{}\" as process cannot be determined (Error: {})",
                     printableName, judged->second.ErrorCode());
                continue;
            }
            if (!judged->second.Value()) {
                continue;
            }
            // The key is opened as itself, relative to the held "Instance", and deleted through that
            // handle: a link is opened as the link and goes as the link.
            const auto instanceKey = instancesKey_->OpenSubKeyAsItself(name, RegistryKey::ReadWriteDeleteAccess);
            // A key that is gone already (another agent's clean-up) is no failure.
            const auto code = instanceKey.Succeeded() ? instanceKey.Value()->DeleteTree() : instanceKey.ErrorCode();
            if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND) {
                warn("Failed to remove the instance key \"{}\" (Error: {})", printableName, code);
            }
        } catch (const std::exception& exception) {
            warn("Failed to remove the instance key \"{}\" (Error: {})", printableName, std::string(exception.what()));
        }
    }
    if (warnings > MaximumCleanupWarnings) {
        LogFormat(Component, LogLevel::Warn, "Left out {} further warnings of the instance key clean-up",
                  warnings - MaximumCleanupWarnings);
    }
}

}  // namespace Tessaro::Ravelin
