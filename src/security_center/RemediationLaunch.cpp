#include "security_center/RemediationLaunch.h"

#include "common/FileInfo.h"
#include "common/HeldProgramFile.h"
#include "common/foundation/TrustedWriters.h"
#include "common/foundation/FileSystem.h"
#include "common/Process.h"
#include "common/foundation/StringConversion.h"
#include "configuration/Configuration.h"
#include "diagnostics/Log.h"

#include <windows.h>

#include <memory>
#include <string_view>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::Log;
using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;
using Vantrel::Common::Result;
using Vantrel::Common::Utilities::FileInfo;
using Vantrel::Common::Utilities::HeldProgramFile;
using Vantrel::Common::Utilities::ModulePath;
using Vantrel::Common::Utilities::ParentFolder;
using Vantrel::Common::Utilities::Process;
using Vantrel::Common::Utilities::ProcessStartInfo;
using Vantrel::Common::Utilities::ReadFileIdentity;
using Vantrel::Common::Utilities::StartsWithNoCase;

constexpr auto Component = LogComponent::SecurityCenter;
// Every absolute path normalises into this long-path form; relative ones keep theirs.
constexpr std::wstring_view LongPathPrefix = L"\\\\?\\";

// A name without any folder, which is looked for in the agent's own folder.
bool IsBareName(const std::wstring& text)
{
    return !text.empty() && text.find_first_of(L"\\/:") == std::wstring::npos;
}

// The path's drive root ("C:\") when it is in drive-letter form (\\?\C:\...), else nothing: a
// network share, a device or volume name, or GLOBALROOT, each of which can name the network
// redirector behind a local-looking path.
std::wstring DriveRoot(std::wstring_view path)
{
    if (!StartsWithNoCase(path, LongPathPrefix)) {
        return {};
    }
    const auto rest = path.substr(LongPathPrefix.size());
    const bool driveLetter = rest.size() >= 3 && rest[1] == L':' && rest[2] == L'\\' &&
                             ((rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z'));
    return driveLetter ? std::wstring(rest.substr(0, 3)) : std::wstring{};
}

// Whether the file is a program that Windows starts itself: only ".exe". Any other name may be
// handed to an interpreter (".bat" and ".cmd" to the command interpreter, which would then
// interpret the forwarded command line; which others is not documented). The path is in long-path
// form, whose names Windows takes as they stand: the trailing dots and blanks it ignores in other
// forms ("fix.exe. " is "fix.exe") are cut when the path is normalised, and any still here belong
// to the name ("\\?\C:\fix.exe." names a file "fix.exe.", which is no ".exe").
bool IsProgram(const std::wstring& path)
{
    return path.size() > 4 && StartsWithNoCase(std::wstring_view(path).substr(path.size() - 4), L".exe");
}

// The tool as it will be started, or the code that refuses it. The checks apply to the path after
// environment expansion and normalisation, which is the path that is started: a program file on a
// local fixed drive, never the agent itself.
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
    // The agent runs as SYSTEM: it starts no program fetched over the network, and a drive letter
    // can name a network drive as well as a local disk.
    if (const auto root = DriveRoot(path); root.empty() || GetDriveTypeW(root.c_str()) != DRIVE_FIXED) {
        LogFormat(Component, LogLevel::Error, "The remediation agent path is not on a local fixed drive: {}",
                  configured);
        return Result<FileInfo>(ERROR_INVALID_PARAMETER);
    }
    // "C:\dir:stream" and "C:\dir\tool.exe:x.exe" name a stream of a folder or a file, which the
    // system starts like a program file of its own.
    if (path.find(L':', LongPathPrefix.size() + 2) != std::wstring::npos) {
        LogFormat(Component, LogLevel::Error, "The remediation agent path names a stream, not a file: {}", configured);
        return Result<FileInfo>(ERROR_INVALID_PARAMETER);
    }
    if (!IsProgram(path)) {
        LogFormat(Component, LogLevel::Error, "The remediation agent path is not a program (.exe): {}", configured);
        return Result<FileInfo>(ERROR_BAD_EXE_FORMAT);
    }
    return Result<FileInfo>(std::move(tool));
}

// The tool opened and held as it will be started (see HeldProgramFile), or the code that refuses it.
// Whatever cannot be read refuses the start: the agent runs as SYSTEM.
Result<std::unique_ptr<HeldProgramFile>> HoldTool(const FileInfo& tool, const std::string& configured)
{
    using Held = std::unique_ptr<HeldProgramFile>;
    using Refusal = HeldProgramFile::Refusal;
    auto outcome = HeldProgramFile::Open(tool, RunAccount::Current());
    switch (outcome.refusal) {
        case Refusal::None:
            break;
        case Refusal::NotOpened:
            // A missing file or folder: the start's own answer.
            LogFormat(Component, LogLevel::Error, "Failed to launch the product (Code: {})", outcome.error);
            return Result<Held>(outcome.error);
        case Refusal::NotItself:
            LogFormat(
                Component, LogLevel::Error,
                "The remediation agent path does not lead to the file itself (a link, a folder or a name the file "
                "does not go by): {}",
                outcome.what);
            return Result<Held>(ERROR_INVALID_PARAMETER);
        case Refusal::NotOnLocalFixedDisk:
            LogFormat(Component, LogLevel::Error, "The remediation agent path is not on a local fixed drive: {}",
                      configured);
            return Result<Held>(ERROR_INVALID_PARAMETER);
        case Refusal::WritableByOthers:
            LogFormat(Component, LogLevel::Error,
                      "The remediation agent may be changed by others than the administrators: {}", outcome.what);
            return Result<Held>(ERROR_INVALID_PARAMETER);
        case Refusal::Unreadable:
            LogFormat(Component, LogLevel::Error,
                      "The remediation agent cannot be checked: {} could not be read (Error: {})", outcome.what,
                      outcome.error);
            return Result<Held>(ERROR_INVALID_PARAMETER);
    }
    // The agent would start itself with its own command line, again and again. Not knowing its
    // own identity is no reason to assume the tool is another file.
    const auto own = ReadFileIdentity(FileInfo(ModulePath()));
    if (!own.has_value()) {
        LogFormat(Component, LogLevel::Error,
                  "The remediation agent cannot be checked: the identity of the agent itself could not be read "
                  "(Error: {})",
                  GetLastError());
        return Result<Held>(ERROR_INVALID_PARAMETER);
    }
    if (*own == outcome.held->Identity()) {
        LogFormat(Component, LogLevel::Error, "The remediation agent path names the agent itself: {}", configured);
        return Result<Held>(ERROR_INVALID_PARAMETER);
    }
    return Result<Held>(std::move(outcome.held));
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
    // Held until the start has returned: what was checked is what the system starts.
    const auto held = HoldTool(tool.Value(), path);
    if (!held.Succeeded()) {
        return held.ErrorCode();
    }
    const std::string commandLine = configuration.GetRawCommandLine();
    // The file that is started, as it is started.
    LogFormat(Component, LogLevel::Info, "WSC remediation path: {} {}", tool.Value().Utf8(), commandLine);
    // The tool starts in its own folder, not in whichever folder the agent's caller was in. Its
    // drive-letter form: the system keeps a current folder without the long-path prefix.
    const std::wstring folder = ParentFolder(tool.Value().NormalizedPath().substr(LongPathPrefix.size())).native();
    const ProcessStartInfo start{tool.Value(), commandLine, CREATE_NEW_CONSOLE, false, folder};
    const auto launched = Process::LaunchProcess(start, false);
    if (!launched.Succeeded()) {
        LogFormat(Component, LogLevel::Error, "Failed to launch the product (Code: {})", launched.ErrorCode());
        return launched.ErrorCode();
    }
    Log(Component, LogLevel::Info, "Successful triggered the product WSC remediation tool");
    return ERROR_SUCCESS;
}

}  // namespace Tessaro::Ravelin
