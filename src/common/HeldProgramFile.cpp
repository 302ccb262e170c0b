#include "common/HeldProgramFile.h"

#include "common/foundation/FileSystem.h"
#include "common/foundation/Format.h"
#include "common/foundation/GrowingBuffer.h"
#include "common/foundation/Scoped.h"
#include "common/foundation/StringConversion.h"

#include <windows.h>
#include <winternl.h>

#include <aclapi.h>

#include <cstring>
#include <utility>

namespace Tessaro::Vantrel::Common::Utilities {

namespace {

using Outcome = HeldProgramFile::Outcome;
using Refusal = HeldProgramFile::Refusal;

// What the checks read of an object: its attributes and its security.
constexpr DWORD InspectionAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// The program's content is asked for as well, though never read: the system applies a handle's
// sharing to others only when the handle has access to the content, and the program's handle must
// keep writers and deleters out. The system opens a program to start it for execution, shared for
// reading, which this allows.
constexpr DWORD ProgramAccess = InspectionAccess | FILE_READ_DATA | FILE_EXECUTE;

Outcome Refused(Refusal refusal, std::uint32_t error, std::string what)
{
    return Outcome{nullptr, refusal, error, std::move(what)};
}

std::string Text(const std::wstring& path)
{
    return ReadableUtf8(path);
}

// `sharing` decides whom the handle hinders; it is opened as itself, never through a link.
std::unique_ptr<WinHandle> OpenAsItself(const std::wstring& path, DWORD sharing, bool folder)
{
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0);
    return std::make_unique<WinHandle>(CreateFileW(path.c_str(), folder ? InspectionAccess : ProgramAccess, sharing,
                                                   nullptr, OPEN_EXISTING, flags, nullptr));
}

// The entry is what it is asked as (a folder or a file) and no link.
bool IsPlainEntry(HANDLE handle, bool folder, std::uint32_t& error)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) {
        error = GetLastError();
        return false;
    }
    error = ERROR_SUCCESS;
    const bool isFolder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && isFolder == folder;
}

// The owner and the access list, read through the handle: refused unless the run trusts the owner
// and the list gives none of `rights` to anybody else.
Outcome CheckWriters(HANDLE handle, const std::wstring& path, std::uint32_t rights, const RunAccount& account)
{
    PSID owner = nullptr;
    PACL list = nullptr;
    Scoped<PSECURITY_DESCRIPTOR> descriptor([](PSECURITY_DESCRIPTOR& value) { LocalFree(value); });
    const DWORD code = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       &owner, nullptr, &list, nullptr, &descriptor.Get());
    if (code != ERROR_SUCCESS) {
        return Refused(Refusal::Unreadable, code, "the owner and access list of " + Text(path));
    }
    if (!account.IsTrustedWriter(owner)) {
        return Refused(Refusal::WritableByOthers, ERROR_SUCCESS, Text(path) + " is owned by " + SidText(owner));
    }
    if (GrantsFileRightsToUntrusted(list, rights, account)) {
        return Refused(Refusal::WritableByOthers, ERROR_SUCCESS,
                       Text(path) + " lets others than its owner and the administrators change it");
    }
    return {};
}

// The path the system keeps for the open file, in the asked form (VOLUME_NAME_DOS or _GUID).
std::uint32_t FinalPath(HANDLE handle, DWORD form, std::wstring& path)
{
    return FillGrowingBuffer(path, MAX_PATH, MaximumPathLength, [handle, form](wchar_t* buffer, std::size_t size) {
        // Too small a buffer is answered with the size needed, its null included.
        const DWORD length = GetFinalPathNameByHandleW(handle, buffer, static_cast<DWORD>(size), form);
        return length == 0 ? BufferNeed{GetLastError(), 0} : BufferNeed{0, length};
    });
}

bool IsSameTextIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// Whether the volume the open file lies on is a local fixed disk, whatever drive letter named it:
// the device the system keeps for the file's volume, as GetDriveTypeW reads it for a drive root (a
// disk that is neither removable nor remote).
std::uint32_t IsOnLocalFixedDisk(HANDLE handle, bool& fixed)
{
    IO_STATUS_BLOCK status{};
    FILE_FS_DEVICE_INFORMATION device{};
    const NTSTATUS result =
        NtQueryVolumeInformationFile(handle, &status, &device, sizeof(device), FileFsDeviceInformation);
    if (result < 0) {
        return RtlNtStatusToDosError(result);
    }
    constexpr ULONG RemovableMedia = 0x00000001;        // FILE_REMOVABLE_MEDIA
    constexpr ULONG RemoteDevice = 0x00000010;          // FILE_REMOTE_DEVICE
    constexpr DEVICE_TYPE Disk = 0x00000007;            // FILE_DEVICE_DISK
    constexpr DEVICE_TYPE DiskFileSystem = 0x00000008;  // FILE_DEVICE_DISK_FILE_SYSTEM
    fixed = (device.DeviceType == Disk || device.DeviceType == DiskFileSystem) &&
            (device.Characteristics & (RemovableMedia | RemoteDevice)) == 0;
    return ERROR_SUCCESS;
}

// The folder opened as itself and checked (see CheckFolder); null with `outcome` saying why not.
std::unique_ptr<WinHandle> OpenCheckedFolder(const std::wstring& folder, std::uint32_t rights,
                                             const RunAccount& account, Outcome& outcome)
{
    // The folders' writers are checked, so others may go on using them as they like.
    auto handle = OpenAsItself(folder, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true);
    if (!handle->IsValid()) {
        outcome = Refused(Refusal::NotOpened, GetLastError(), Text(folder));
        return nullptr;
    }
    std::uint32_t error = ERROR_SUCCESS;
    if (!IsPlainEntry(handle->Get(), true, error)) {
        outcome = error != ERROR_SUCCESS ? Refused(Refusal::Unreadable, error, "the attributes of " + Text(folder))
                                         : Refused(Refusal::NotItself, ERROR_SUCCESS, Text(folder));
        return nullptr;
    }
    outcome = CheckWriters(handle->Get(), folder, rights, account);
    return outcome.refusal == Refusal::None ? std::move(handle) : nullptr;
}

}  // namespace

HeldProgramFile::Outcome HeldProgramFile::CheckFolder(const std::wstring& folder, std::uint32_t rights,
                                                      const RunAccount& account)
{
    Outcome outcome;
    OpenCheckedFolder(folder, rights, account, outcome);
    return outcome;
}

HeldProgramFile::Outcome HeldProgramFile::Open(const FileInfo& program, const RunAccount& account)
{
    const std::wstring& path = program.SystemCallPath();
    std::vector<std::wstring> folders;
    for (auto folder = ParentFolder(path); !folder.empty(); folder = ParentFolder(folder)) {
        folders.insert(folders.begin(), folder.native());
    }
    std::unique_ptr<HeldProgramFile> held(new HeldProgramFile());
    std::uint32_t error = ERROR_SUCCESS;
    Outcome outcome;
    for (std::size_t index = 0; index < folders.size(); ++index) {
        const std::wstring& folder = folders[index];
        const std::uint32_t rights =
            index + 1 == folders.size() ? ProgramPathRights::OwnFolder : ProgramPathRights::FolderAbove;
        auto handle = OpenCheckedFolder(folder, rights, account, outcome);
        if (handle == nullptr) {
            return outcome;
        }
        held->folders_.push_back(std::move(handle));
    }

    // Readers only: nobody may write, rename or delete the file while it is held, and the system
    // may still open it to start it.
    held->file_ = OpenAsItself(path, FILE_SHARE_READ, false);
    if (!held->file_->IsValid()) {
        return Refused(Refusal::NotOpened, GetLastError(), Text(path));
    }
    const HANDLE file = held->file_->Get();
    if (!IsPlainEntry(file, false, error)) {
        return error != ERROR_SUCCESS ? Refused(Refusal::Unreadable, error, "the attributes of " + Text(path))
                                      : Refused(Refusal::NotItself, ERROR_SUCCESS, Text(path));
    }
    std::wstring finalPath;
    if (const auto code = FinalPath(file, VOLUME_NAME_DOS, finalPath); code != ERROR_SUCCESS) {
        return Refused(Refusal::Unreadable, code, "the final path of " + Text(path));
    }
    if (!IsSameTextIgnoringCase(finalPath, path)) {
        return Refused(Refusal::NotItself, ERROR_SUCCESS,
                       Text(path) + " (the file's own path is " + Text(finalPath) + ")");
    }
    bool fixed = false;
    if (const auto code = IsOnLocalFixedDisk(file, fixed); code != ERROR_SUCCESS) {
        return Refused(Refusal::Unreadable, code, "the volume of " + Text(path));
    }
    if (!fixed) {
        return Refused(Refusal::NotOnLocalFixedDisk, ERROR_SUCCESS, Text(path));
    }
    if (auto outcome = CheckWriters(file, path, ProgramPathRights::File, account); outcome.refusal != Refusal::None) {
        return outcome;
    }
    const auto identity = ReadFileIdentity(file);
    if (!identity.has_value()) {
        return Refused(Refusal::Unreadable, GetLastError(), "the identity of " + Text(path));
    }
    held->identity_ = *identity;
    return Outcome{std::move(held), Refusal::None, ERROR_SUCCESS, {}};
}

}  // namespace Tessaro::Vantrel::Common::Utilities
