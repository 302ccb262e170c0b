#include "security_center/RemediationLaunch.h"

#include "common/FileInfo.h"
#include "common/foundation/FileSystem.h"
#include "common/Process.h"
#include "common/foundation/StringConversion.h"
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
using Vantrel::Common::Result;
using Vantrel::Common::Utilities::FileInfo;
using Vantrel::Common::Utilities::ModulePath;
using Vantrel::Common::Utilities::ParentFolder;
using Vantrel::Common::Utilities::Process;
using Vantrel::Common::Utilities::ProcessStartInfo;

constexpr auto Component = LogComponent::SecurityCenter;
// Every absolute path normalises into this long-path form; relative ones keep theirs.
constexpr std::wstring_view LongPathPrefix = L"\\\\?\\";
constexpr std::wstring_view NetworkPrefix = L"\\\\?\\UNC\\";

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix)
{
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.data(), static_cast<int>(prefix.size()), prefix.data(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

// A name without any folder: the original search looked for it in the agent's own folder first.
bool IsBareName(const std::wstring& text)
{
    return !text.empty() && text.find_first_of(L"\\/:") == std::wstring::npos;
}

// Whether the command interpreter would run the file: CreateProcess hands a ".bat" or ".cmd" to it,
// and it then interprets the forwarded command line. Windows ignores trailing dots and blanks of a
// name, so "fix.bat. " is "fix.bat".
bool IsCommandScript(const std::wstring& path)
{
    std::wstring_view name(path);
    name = name.substr(0, name.find_last_not_of(L". ") + 1);
    const auto dot = name.find_last_of(L".\\");
    if (dot == std::wstring_view::npos || name[dot] != L'.') {
        return false;
    }
    const auto extension = name.substr(dot);
    return extension.size() == 4 && (StartsWithNoCase(extension, L".bat") || StartsWithNoCase(extension, L".cmd"));
}

// The tool as it will be started, or the code that refuses it. The checks apply to the path after
// environment expansion and normalisation, which is the path that is started.
Result<FileInfo> ToolToStart(const std::string& configured)
{
    FileInfo tool(Utf8ToUtf16(configured));
    if (IsBareName(tool.NormalizedPath())) {
        tool = FileInfo(ParentFolder(ModulePath()) / tool.NormalizedPath());
    }
    const std::wstring& path = tool.NormalizedPath();
    // Only a full path names one file: a relative name would be searched for in the working folder
    // and on PATH, and a quote would end the quoted path early.
    if (path.find(L'"') != std::wstring::npos || !StartsWithNoCase(path, LongPathPrefix)) {
        LogFormat(Component, LogLevel::Error, "The remediation agent path is not a full path to a file: {}",
                  configured);
        return Result<FileInfo>(ERROR_INVALID_PARAMETER);
    }
    // The agent runs as SYSTEM: it starts no program fetched over the network.
    if (StartsWithNoCase(path, NetworkPrefix)) {
        LogFormat(Component, LogLevel::Error, "The remediation agent path is on a network share: {}", configured);
        return Result<FileInfo>(ERROR_INVALID_PARAMETER);
    }
    if (IsCommandScript(path)) {
        LogFormat(Component, LogLevel::Error, "The remediation agent path is a command script, not a program: {}",
                  configured);
        return Result<FileInfo>(ERROR_BAD_EXE_FORMAT);
    }
    return Result<FileInfo>(std::move(tool));
}

}  // namespace

std::uint32_t LaunchRemediationTool(Configuration& configuration)
{
    const std::string path = configuration.GetRemediationPath();
    if (path.empty()) {
        Log(Component, LogLevel::Error, "Unable to find the remediation agent path");
        return ERROR_NOT_FOUND;
    }
    const auto tool = ToolToStart(path);
    if (!tool.Succeeded()) {
        return tool.ErrorCode();
    }
    const std::string commandLine = configuration.GetRawCommandLine();
    LogFormat(Component, LogLevel::Info, "WSC remediation path: {} {}", path, commandLine);
    const ProcessStartInfo start{tool.Value(), commandLine, CREATE_NEW_CONSOLE, false};
    const auto launched = Process::LaunchProcess(start, false);
    if (!launched.Succeeded()) {
        LogFormat(Component, LogLevel::Error, "Failed to launch the product (Code: {})", launched.ErrorCode());
        return launched.ErrorCode();
    }
    Log(Component, LogLevel::Info, "Successful triggered the product WSC remediation tool");
    return ERROR_SUCCESS;
}

}  // namespace Tessaro::Ravelin
