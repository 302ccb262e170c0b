#include "agent/WindowsSecurityCenterAgent.h"

#include "agent/CommandLine.h"
#include "diagnostics/HResultConversion.h"
#include "diagnostics/Log.h"

#include <objbase.h>
#include <windows.h>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::ConvertHResultToErrorCode;
using Vantrel::Common::Log;
using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;
using Vantrel::Common::Result;

constexpr auto Component = LogComponent::SecurityCenter;

bool IsSuccessCode(std::uint32_t code)
{
    return code == ERROR_SUCCESS || code == ERROR_SHUTDOWN_IN_PROGRESS;
}

}  // namespace

WindowsSecurityCenterAgent::WindowsSecurityCenterAgent(const std::string& commandLine)
    : runMode_(ChooseRunMode(commandLine))
{
    commandLineResult_ = runMode_.has_value() ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

WindowsSecurityCenterAgent::~WindowsSecurityCenterAgent()
{
    if (comInitialized_) {
        CoUninitialize();
    }
}

std::uint32_t WindowsSecurityCenterAgent::Initialize()
{
    if (commandLineResult_ != ERROR_SUCCESS) {
        Log(Component, LogLevel::Error, "The given commandline parameters are invalid");
        return commandLineResult_;
    }
    const HRESULT hresult = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hresult)) {
        Log(Component, LogLevel::Error, "Unable to execute CoInitializeEx");
        return ConvertHResultToErrorCode(hresult);
    }
    comInitialized_ = true;
    return ERROR_SUCCESS;
}

Result<> WindowsSecurityCenterAgent::Execute()
{
    if (commandLineResult_ != ERROR_SUCCESS) {
        Log(Component, LogLevel::Error, "The given commandline parameters are invalid");
        return Result<>(commandLineResult_);
    }
    if (runMode_ != RunMode::LaunchRemediation) {
        Log(Component, LogLevel::Info, "Going to call Windows security center command via the agent");
        Result<> result = RunSecurityCenterCommand();
        if (IsSuccessCode(result.ErrorCode())) {
            Log(Component, LogLevel::Info, "Successful triggered the Windows Security Center");
        } else {
            LogFormat(Component, LogLevel::Error, "Failed to trigger the Windows Security Center (Error: {})",
                      result.ErrorCode());
        }
        return result;
    }

    Log(Component, LogLevel::Info, "Going to call antivirus product command via the agent");
    const HRESULT hresult = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT,
                                                 RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    if (FAILED(hresult)) {
        Log(Component, LogLevel::Error, "Unable to execute CoInitializeSecurity");
        if (const std::uint32_t code = ConvertHResultToErrorCode(hresult); code != ERROR_SUCCESS) {
            return Result<>(code);
        }
    }
    Result<> result = RunRemediationLaunch();
    if (IsSuccessCode(result.ErrorCode())) {
        Log(Component, LogLevel::Info, "Successful triggered the antivirus product");
    } else {
        LogFormat(Component, LogLevel::Error, "Failed to trigger the antivirus product (Error: {})",
                  result.ErrorCode());
    }
    return result;
}

// The Security Center commands and the remediation launch are not part of this build yet: they
// answer ERROR_CALL_NOT_IMPLEMENTED instead of pretending to have done anything.
Result<> WindowsSecurityCenterAgent::RunSecurityCenterCommand()
{
    return Result<>(ERROR_CALL_NOT_IMPLEMENTED);
}

Result<> WindowsSecurityCenterAgent::RunRemediationLaunch()
{
    return Result<>(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace Tessaro::Ravelin
