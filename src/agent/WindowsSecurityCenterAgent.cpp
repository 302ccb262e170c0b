#include "agent/WindowsSecurityCenterAgent.h"
#include "common/foundation/FileSystem.h"
#include "common/OnDemandApi.h"

#include "common/HeldProgramFile.h"
#include "common/OsInfoImpl.h"
#include "common/Process.h"
#include "common/RegistryKey.h"
#include "common/foundation/StringConversion.h"
#include "configuration/Configuration.h"
#include "configuration/RegistryLayout.h"
#include "security_center/com/ComApartment.h"
#include "security_center/RemediationLaunch.h"
#include "security_center/TriggerWindowsSecurityCenter.h"
#include "security_center/WindowsSecurityCenterProducts.h"
#include "security_center/WindowsSecurityCenterService.h"
#include "state/StateCommand.h"
#include "diagnostics/Exception.h"
#include "diagnostics/HResultConversion.h"
#include "diagnostics/Log.h"

#include <objbase.h>
#include <windows.h>

#include <filesystem>
#include <system_error>
#include <vector>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::ConvertHResultToErrorCode;
using Vantrel::Common::Log;
using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;
using Vantrel::Common::Result;
using Vantrel::Common::Utilities::FileInfo;
using Vantrel::Common::Utilities::HeldProgramFile;
namespace ProgramPathRights = Vantrel::Common::Utilities::ProgramPathRights;
using Vantrel::Common::Utilities::ModulePath;
using Vantrel::Common::Utilities::Process;
using Vantrel::Common::Utilities::RegistryKey;

constexpr auto Component = LogComponent::SecurityCenter;

bool IsSuccessCode(std::uint32_t code)
{
    return code == ERROR_SUCCESS || code == ERROR_SHUTDOWN_IN_PROGRESS;
}

std::wstring LogFileName(const std::filesystem::path& executable)
{
    std::wstring name = executable.filename().native();
    const std::wstring extension = executable.extension().native();
    if (!extension.empty()) {
        for (auto position = name.find(extension); position != std::wstring::npos; position = name.find(extension)) {
            name.erase(position, extension.size());
        }
    }
    return name + Utf8ToUtf16(WindowsSecurityCenterAgent::LogFileSuffix);
}

}  // namespace

WindowsSecurityCenterAgent::WindowsSecurityCenterAgent(const std::string& commandLine)
    : WindowsSecurityCenterAgent(commandLine, std::make_shared<WindowsSecurityCenterService>())
{
}

WindowsSecurityCenterAgent::WindowsSecurityCenterAgent(const std::string& commandLine,
                                                       std::shared_ptr<WindowsSecurityCenterService> service)
{
    auto settingsKey = std::make_shared<RegistryKey>(HKEY_LOCAL_MACHINE, RegistryLayout::SystemServicesKey,
                                                     RegistryLayout::SecurityCenterKeyBelowServices);
    const auto configuration = Configuration::Instance();
    InstallStateCommands(*configuration, std::make_shared<WindowsSecurityCenterProducts>(*configuration));
    commandLineResult_ = configuration->ParseCommandLine(commandLine, std::move(settingsKey), std::move(service));
    InitializeLogger();
    WriteBanner();
}

WindowsSecurityCenterAgent::LogDestination WindowsSecurityCenterAgent::OpenLog(
    const std::filesystem::path& windowsFolder, const std::wstring& fileName, const RunAccount& account)
{
    LogDestination destination;
    FileInfo tried;
    const auto open = [&](const FileInfo& folder) {
        if (destination.writer != nullptr) {
            destination.refusedFolder = tried;
        }
        tried = folder;
        destination.file = FileInfo(folder.SystemCallPath() + L"\\" + fileName);
        destination.writer = std::make_unique<Vantrel::Common::LogFileWriter>(destination.file.SystemCallPath());
        return destination.writer->IsUsable();
    };
    const auto folder = FileInfo::GetTempFolderIn(windowsFolder);
    if (!folder.Succeeded()) {
        LogFormat(Component, LogLevel::Error, "Failed to get the log file directory (Temp: {})", folder.ErrorCode());
    } else if (open(folder.Value())) {
        return destination;
    } else if (destination.writer->OpenError() == ERROR_ACCESS_DENIED) {
        if (const auto next = FileInfo::GetTempFolderIn(windowsFolder, &folder.Value());
            next.Succeeded() && open(next.Value())) {
            return destination;
        }
    }
    // Where ordinary users may create files, the log and its companion may be theirs already; a run
    // they must not steer takes the folder that only administrators may fill.
    const FileInfo logs((windowsFolder / L"Logs").native());
    if (account.IsAboveOrdinaryUsers() &&
        HeldProgramFile::CheckFolder(logs.SystemCallPath(), ProgramPathRights::OwnFolder, account).refusal ==
            HeldProgramFile::Refusal::None &&
        open(logs)) {
        return destination;
    }
    if (destination.writer == nullptr) {
        destination.writer = std::make_unique<Vantrel::Common::LogFileWriter>(std::filesystem::path());
    }
    return destination;
}

void WindowsSecurityCenterAgent::InitializeLogger()
{
    // A log that cannot be set up must not stop the command: the agent runs on without one.
    Vantrel::Common::Exceptions::Exception::CatchAllAndConvertToErrorCode<void>(
        [this] {
            const auto windows = FileInfo::GetWindowsFolder();
            auto destination = windows.Succeeded() ? OpenLog(windows.Value(), LogFileName(ModulePath()))
                                                   : LogDestination{{}, nullptr, {}};
            if (destination.writer == nullptr) {
                LogFormat(Component, LogLevel::Error, "Failed to get the log file directory (Temp: {})",
                          windows.ErrorCode());
                destination.writer = std::make_unique<Vantrel::Common::LogFileWriter>(std::filesystem::path());
            }
            logger_ = std::make_unique<Vantrel::Common::FileLogger>(std::move(destination.writer));
            logger_->Install(LogTitle);
            if (!destination.refusedFolder.IsEmpty()) {
                LogFormat(Component, LogLevel::Info,
                          "The log of this run is kept here: the log in {} could not be used",
                          destination.refusedFolder.Utf8());
            }
        },
        "Initialize logger", [] {}, true);
}

void WindowsSecurityCenterAgent::WriteBanner() const
{
    const auto configuration = Configuration::Instance();
    const std::string separator(92, '#');
    Log(Component, LogLevel::Info, separator);
    const auto current = Process::GetCurrent();
    if (!current.Succeeded()) {
        LogFormat(Component, LogLevel::Info, "Agent command {} started", configuration->GetIdentifier());
        LogFormat(Component, LogLevel::Info, "Command line: {}", configuration->GetRawCommandLine());
        LogFormat(Component, LogLevel::Error, "Failed to get further process information (Error: {})",
                  current.ErrorCode());
    } else {
        LogFormat(Component, LogLevel::Info, "Agent command {} started with pid: {}", configuration->GetIdentifier(),
                  current.Value()->GetId());
        LogFormat(Component, LogLevel::Info, "Command line: {}", configuration->GetRawCommandLine());
        const auto parent = current.Value()->GetParentProcess();
        if (!parent.Succeeded()) {
            LogFormat(Component, LogLevel::Error, "Unable to get the parent process of the agent (Code: {}): {}",
                      parent.ErrorCode(), parent.Message());
        } else {
            const auto image = parent.Value()->GetImagePath();
            // The parent's name is not ours to vouch for: any text it holds gives a line.
            LogFormat(Component, LogLevel::Info, "Called from parent pid: {} and path: {}", parent.Value()->GetId(),
                      image.Succeeded() ? ReadableUtf8(image.Value().NormalizedPath()) : std::string("<unknown>"));
        }
    }
    try {
        LogFormat(Component, LogLevel::Info, "{}", GetOperatingSystemDescription());
    } catch (const std::exception& exception) {
        // A system that cannot describe itself is no reason to refuse the command.
        LogFormat(Component, LogLevel::Error, "Failed to describe the operating system: {}", exception.what());
    }
    Log(Component, LogLevel::Info, separator);
}

WindowsSecurityCenterAgent::~WindowsSecurityCenterAgent() = default;

std::uint32_t WindowsSecurityCenterAgent::Initialize()
{
    if (commandLineResult_ != ERROR_SUCCESS) {
        Log(Component, LogLevel::Error, "The given commandline parameters are invalid");
        return commandLineResult_;
    }
    auto apartment = std::make_unique<ComApartment>();
    if (!apartment->Entered()) {
        Log(Component, LogLevel::Error, "Unable to execute CoInitializeEx");
        return ConvertHResultToErrorCode(apartment->Result());
    }
    apartment_ = std::move(apartment);
    return ERROR_SUCCESS;
}

Result<> WindowsSecurityCenterAgent::Execute()
{
    if (commandLineResult_ != ERROR_SUCCESS) {
        Log(Component, LogLevel::Error, "The given commandline parameters are invalid");
        return Result<>(commandLineResult_);
    }
    if (Configuration::Instance()->GetRunMode() != RunMode::LaunchRemediation) {
        Log(Component, LogLevel::Info, "Going to call Windows security center command via the agent");
        Result<> result = TriggerWindowsSecurityCenter().Run();
        if (IsSuccessCode(result.ErrorCode())) {
            Log(Component, LogLevel::Info, "Successful triggered the Windows Security Center");
        } else {
            LogFormat(Component, LogLevel::Error, "Failed to trigger the Windows Security Center (Error: {})",
                      result.ErrorCode());
        }
        return result;
    }

    Log(Component, LogLevel::Info, "Going to call antivirus product command via the agent");
    const HRESULT hresult = OnDemand::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT,
                                                           RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    if (FAILED(hresult)) {
        Log(Component, LogLevel::Error, "Unable to execute CoInitializeSecurity");
        if (const std::uint32_t code = ConvertHResultToErrorCode(hresult); code != ERROR_SUCCESS) {
            return Result<>(code);
        }
    }
    const std::uint32_t code = LaunchRemediationTool(*Configuration::Instance());
    if (IsSuccessCode(code)) {
        Log(Component, LogLevel::Info, "Successful triggered the antivirus product");
    } else {
        LogFormat(Component, LogLevel::Error, "Failed to trigger the antivirus product (Error: {})", code);
    }
    return Result<>(code);
}

}  // namespace Tessaro::Ravelin
