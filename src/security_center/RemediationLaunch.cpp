#include "security_center/RemediationLaunch.h"

#include "common/Process.h"
#include "common/StringConversion.h"
#include "configuration/Configuration.h"
#include "diagnostics/Log.h"

#include <windows.h>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::Log;
using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;
using Vantrel::Common::Utilities::FileInfo;
using Vantrel::Common::Utilities::Process;
using Vantrel::Common::Utilities::ProcessStartInfo;

constexpr auto Component = LogComponent::SecurityCenter;

}  // namespace

std::uint32_t LaunchRemediationTool(Configuration& configuration)
{
    const std::string path = configuration.GetRemediationPath();
    if (path.empty()) {
        Log(Component, LogLevel::Error, "Unable to find the remediation agent path");
        return ERROR_NOT_FOUND;
    }
    const std::string commandLine = configuration.GetRawCommandLine();
    LogFormat(Component, LogLevel::Info, "WSC remediation path: {} {}", path, commandLine);
    const ProcessStartInfo start{FileInfo(Utf8ToUtf16(path)), commandLine, CREATE_NEW_CONSOLE, false};
    const auto launched = Process::LaunchProcess(start, false);
    if (!launched.Succeeded()) {
        LogFormat(Component, LogLevel::Error, "Failed to launch the product (Code: {})", launched.ErrorCode());
        return launched.ErrorCode();
    }
    Log(Component, LogLevel::Info, "Successful triggered the product WSC remediation tool");
    return ERROR_SUCCESS;
}

}  // namespace Tessaro::Ravelin
