#include "security_center/RemediationLaunch.h"

#include "common/Process.h"
#include "common/StringConversion.h"
#include "configuration/Configuration.h"
#include "diagnostics/Log.h"

#include <windows.h>

#include <string_view>

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
// Every absolute path normalises into this long-path form; relative ones keep theirs.
constexpr std::wstring_view LongPathPrefix = L"\\\\?\\";

}  // namespace

std::uint32_t LaunchRemediationTool(Configuration& configuration)
{
    const std::string path = configuration.GetRemediationPath();
    if (path.empty()) {
        Log(Component, LogLevel::Error, "Unable to find the remediation agent path");
        return ERROR_NOT_FOUND;
    }
    // Only a full path names one file: a relative name would be searched for in the working folder
    // and on PATH, and a quote would end the quoted path early.
    const FileInfo tool(Utf8ToUtf16(path));
    if (path.find('"') != std::string::npos || tool.NormalizedPath().rfind(LongPathPrefix, 0) != 0) {
        LogFormat(Component, LogLevel::Error, "The remediation agent path is not a full path to a file: {}", path);
        return ERROR_INVALID_PARAMETER;
    }
    const std::string commandLine = configuration.GetRawCommandLine();
    LogFormat(Component, LogLevel::Info, "WSC remediation path: {} {}", path, commandLine);
    const ProcessStartInfo start{tool, commandLine, CREATE_NEW_CONSOLE, false};
    const auto launched = Process::LaunchProcess(start, false);
    if (!launched.Succeeded()) {
        LogFormat(Component, LogLevel::Error, "Failed to launch the product (Code: {})", launched.ErrorCode());
        return launched.ErrorCode();
    }
    Log(Component, LogLevel::Info, "Successful triggered the product WSC remediation tool");
    return ERROR_SUCCESS;
}

}  // namespace Tessaro::Ravelin
