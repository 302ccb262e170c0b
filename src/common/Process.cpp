#include "common/Process.h"

#include "common/foundation/Format.h"
#include "common/foundation/GrowingBuffer.h"
#include "common/foundation/StringConversion.h"
#include "common/foundation/WinHandle.h"
#include "diagnostics/Log.h"

#include <windows.h>
#include <winternl.h>

#include <utility>
#include <vector>

namespace Tessaro::Vantrel::Common::Utilities {

namespace {

constexpr DWORD SynchronizeAndLimitedQuery = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD ImagePathStartLength = MAX_PATH;
// The longest path the system accepts; a buffer this large holds any image path.
constexpr DWORD ImagePathMaximumLength = 32768;

// The process's own token, opened to switch its privileges (and to read them for the change).
HANDLE OpenOwnToken()
{
    HANDLE token = nullptr;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) ? token : nullptr;
}

// Sets one privilege of `token` to `attributes`. With `previous`, the privileges the call changed
// are written there, in the form that undoes the change when passed back.
bool AdjustPrivilege(HANDLE token, const wchar_t* name, DWORD attributes, TOKEN_PRIVILEGES* previous)
{
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (token == nullptr || !LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
        return false;
    }
    privileges.Privileges[0].Attributes = attributes;
    DWORD previousSize = 0;
    return AdjustTokenPrivileges(token, FALSE, &privileges, previous != nullptr ? sizeof(*previous) : 0, previous,
                                 previous != nullptr ? &previousSize : nullptr) != FALSE;
}

// The debug privilege, enabled for as long as the object lives and then put back as it was. It is
// needed for one open; left on, it would also be inherited by every program the agent starts. A
// token that does not hold it goes on without it.
class DebugPrivilegeScope {
public:
    DebugPrivilegeScope() : token_(OpenOwnToken())
    {
        // The system lists in `previous_` only what the call changed: nothing when the privilege
        // was on already or is not held at all.
        if (!AdjustPrivilege(token_.Get(), SE_DEBUG_NAME, SE_PRIVILEGE_ENABLED, &previous_)) {
            previous_.PrivilegeCount = 0;
        }
    }
    ~DebugPrivilegeScope()
    {
        // A privilege left on would reach every program the agent starts afterwards: say so.
        if (previous_.PrivilegeCount != 0 &&
            !AdjustTokenPrivileges(token_.Get(), FALSE, &previous_, 0, nullptr, nullptr)) {
            LogFormat(LogComponent::Setup, LogLevel::Warn,
                      "Failed to put the debug privilege back as it was (Error: {})", GetLastError());
        }
    }
    DebugPrivilegeScope(const DebugPrivilegeScope&) = delete;
    DebugPrivilegeScope& operator=(const DebugPrivilegeScope&) = delete;

private:
    WinHandle token_;
    TOKEN_PRIVILEGES previous_{};
};

}  // namespace

Process::Process(std::uint32_t id, std::shared_ptr<ProcessHandle> thread, std::shared_ptr<ProcessHandle> process)
    : id_(id), thread_(std::move(thread)), process_(std::move(process))
{
}

Result<Process::Pointer> Process::GetCurrent()
{
    return Result<Pointer>(std::make_shared<Process>(GetCurrentProcessId(),
                                                     std::make_shared<ProcessHandle>(GetCurrentThread()),
                                                     std::make_shared<ProcessHandle>(GetCurrentProcess())));
}

Result<std::shared_ptr<ProcessHandle>> Process::OpenProcessHandle(std::uint32_t id, std::uint32_t access)
{
    // A refused or unknown process is a null handle; OpenProcess never answers INVALID_HANDLE_VALUE,
    // which is the current process's own pseudo handle.
    auto handle = std::make_shared<ProcessHandle>(OpenProcess(access, FALSE, id));
    if (handle->Get() == nullptr) {
        return Result<std::shared_ptr<ProcessHandle>>(std::move(handle), GetLastError());
    }
    return Result<std::shared_ptr<ProcessHandle>>(std::move(handle));
}

Result<std::shared_ptr<ProcessHandle>> Process::OpenWithDebugPrivilege(std::uint32_t id, std::uint32_t access)
{
    const DebugPrivilegeScope debugPrivilege;
    return OpenProcessHandle(id, access);
}

bool Process::SetPrivilege(const std::wstring& privilegeName, bool enable)
{
    const WinHandle token(OpenOwnToken());
    return AdjustPrivilege(token.Get(), privilegeName.c_str(), enable ? SE_PRIVILEGE_ENABLED : 0, nullptr);
}

Result<Process::Pointer> Process::OpenById(std::uint32_t id)
{
    const auto handle = OpenWithDebugPrivilege(id, SynchronizeAndLimitedQuery);
    if (!handle.Succeeded()) {
        return Result<Pointer>(handle.ErrorCode(), "Unable to open the process handle for " + std::to_string(id));
    }
    return Result<Pointer>(std::make_shared<Process>(id, nullptr, handle.Value()));
}

Result<Process::Pointer> Process::GetParentProcess() const
{
    const auto handle = OpenWithDebugPrivilege(id_, PROCESS_ALL_ACCESS);
    if (!handle.Succeeded()) {
        return Result<Pointer>(handle.ErrorCode(), "Failed to open the process handle");
    }
    PROCESS_BASIC_INFORMATION information{};
    ULONG returned = 0;
    const NTSTATUS status = NtQueryInformationProcess(handle.Value()->Get(), ProcessBasicInformation, &information,
                                                      sizeof(information), &returned);
    if (status < 0 || returned == 0) {
        // A success without data does not occur with a full record; count it as a failure.
        const auto code = status < 0 ? RtlNtStatusToDosError(status) : ERROR_INVALID_DATA;
        return Result<Pointer>(code, Format("Failed to get basic process information (Code: {} - Status: 0x{:x})", code,
                                            static_cast<std::uint32_t>(status)));
    }
    const auto parentId = static_cast<std::uint32_t>(information.InheritedFromUniqueProcessId);
    return Result<Pointer>(std::make_shared<Process>(parentId, nullptr, nullptr));
}

Result<FileInfo> Process::GetImagePath() const
{
    // The name the system keeps for the image, which the process cannot change, unlike the loader
    // data in its own memory that K32GetModuleFileNameExW reads. A limited query, which a
    // protected process (an anti-malware service that starts the agent usually is one) grants too.
    const auto handle = OpenProcessHandle(id_, PROCESS_QUERY_LIMITED_INFORMATION);
    if (!handle.Succeeded()) {
        return Result<FileInfo>(handle.ErrorCode());
    }
    std::wstring path;
    const auto code = FillGrowingBuffer(
        path, ImagePathStartLength, ImagePathMaximumLength, [&handle](wchar_t* buffer, std::size_t size) {
            DWORD length = static_cast<DWORD>(size);
            if (QueryFullProcessImageNameW(handle.Value()->Get(), 0, buffer, &length)) {
                return BufferNeed{0, length};
            }
            // Too small a buffer is refused without the size needed: ask again with more room.
            const DWORD error = GetLastError();
            return error == ERROR_INSUFFICIENT_BUFFER ? BufferNeed{0, size + 1} : BufferNeed{error, 0};
        });
    if (code != ERROR_SUCCESS) {
        return Result<FileInfo>(code);
    }
    // Whoever started the process chose that name (a share, a pipe, a device): it is only shown.
    return Result<FileInfo>(FileInfo::FromUntrustedText(path));
}

bool Process::IsRunning() const
{
    if (id_ == GetCurrentProcessId()) {
        return true;
    }
    if (process_ == nullptr || process_->Get() == nullptr) {
        return true;
    }
    return WaitForSingleObject(process_->Get(), 0) != WAIT_OBJECT_0;
}

Result<Process::Pointer> Process::LaunchProcess(const ProcessStartInfo& startInfo, bool useReceivedPath)
{
    const std::wstring arguments = Utf8ToUtf16(startInfo.arguments);
    const std::wstring& path =
        useReceivedPath ? startInfo.executable.ReceivedPath() : startInfo.executable.SystemCallPath();
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information{};
    // The program is named as well as quoted, so that it is exactly that file: without a name the
    // system takes the first blank-separated piece that exists, and searches for a relative one.
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, startInfo.inheritHandles ? TRUE : FALSE,
                        startInfo.creationFlags, nullptr,
                        startInfo.workingFolder.empty() ? nullptr : startInfo.workingFolder.c_str(), &startup,
                        &information)) {
        return Result<Pointer>(GetLastError());
    }
    return Result<Pointer>(std::make_shared<Process>(information.dwProcessId,
                                                     std::make_shared<ProcessHandle>(information.hThread),
                                                     std::make_shared<ProcessHandle>(information.hProcess)));
}

}  // namespace Tessaro::Vantrel::Common::Utilities
