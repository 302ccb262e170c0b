#include "common/FileInfo.h"

#include "common/foundation/ConversionException.h"
#include "common/foundation/FileSystem.h"
#include "common/foundation/GrowingBuffer.h"
#include "common/foundation/Scoped.h"
#include "common/foundation/StringConversion.h"
#include "common/foundation/WinHandle.h"
#include "diagnostics/Log.h"
#include "diagnostics/TraceChannel.h"

#include <windows.h>
// sddl.h needs the declarations of windows.h first.
#include <sddl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <system_error>
#include <vector>

namespace Tessaro::Vantrel::Common::Utilities {

namespace {

constexpr std::wstring_view TrimmedCharacters = L" \r\n\t";
constexpr std::wstring_view LongPathPrefix = L"\\\\?\\";
constexpr std::wstring_view UncLongPathPrefix = L"\\\\?\\UNC\\";
// "\\.\" names a device (a volume, a disk, a pipe), not a server: it stays as it is.
constexpr std::wstring_view DevicePathPrefix = L"\\\\.\\";
constexpr std::wstring_view NativePrefix = L"\\??\\";
constexpr std::wstring_view DevicePrefix = L"\\Device\\";
constexpr std::wstring_view MupDevice = L"\\Device\\Mup";
constexpr std::wstring_view VolumePrefix = L"\\\\?\\Volume{";
constexpr std::wstring_view SystemRootPrefix = L"\\SystemRoot\\";

bool StartsWith(const std::wstring& text, std::wstring_view prefix)
{
    return text.size() >= prefix.size() && std::wstring_view(text).substr(0, prefix.size()) == prefix;
}

std::wstring Trim(const std::wstring& text)
{
    const auto first = text.find_first_not_of(TrimmedCharacters);
    if (first == std::wstring::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(TrimmedCharacters) - first + 1);
}

std::wstring ExpandEnvironment(const std::wstring& text)
{
    std::wstring expanded;
    const auto code =
        FillGrowingBuffer(expanded, text.size() + 1, MaximumPathLength, [&text](wchar_t* buffer, std::size_t size) {
            // The answer's size counts its null, whether it fitted or not.
            const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), buffer, static_cast<DWORD>(size));
            return needed == 0 ? BufferNeed{GetLastError(), 0} : BufferNeed{0, needed <= size ? needed - 1 : needed};
        });
    return code == ERROR_SUCCESS ? expanded : text;
}

bool IsDriveLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// The drive letter and colon that replace a device or volume name, and the rest of the path; a
// device or volume named alone is the drive's root.
std::wstring OnDrive(wchar_t letter, const std::wstring& rest)
{
    return std::wstring{letter, L':'} + (rest.empty() ? L"\\" : rest);
}

template <typename Visit>
void ForEachLogicalDrive(Visit visit)
{
    const DWORD drives = GetLogicalDrives();
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        if (((drives >> (letter - L'A')) & 1u) != 0 && visit(letter)) {
            return;
        }
    }
}

void CollapseDoubleBackslashes(std::wstring& path)
{
    // A pair at the very start is a UNC or device prefix and stays.
    for (auto position = path.find(L"\\\\", 1); position != std::wstring::npos; position = path.find(L"\\\\", 1)) {
        path.erase(position, 1);
    }
}

void MapMupDevice(std::wstring& path)
{
    if (path == MupDevice) {
        path = UncLongPathPrefix;
    } else if (StartsWith(path, std::wstring(MupDevice) + L"\\")) {
        path = std::wstring(UncLongPathPrefix) + path.substr(MupDevice.size() + 1);
    }
}

// Whether the file system may be asked about the path without reaching the network: a path in
// drive-letter form on a drive of this machine (not a network drive).
bool IsOnLocalDrive(const std::wstring& path)
{
    if (!StartsWith(path, LongPathPrefix) || path.size() < LongPathPrefix.size() + 3) {
        return false;
    }
    const std::wstring root = path.substr(LongPathPrefix.size(), 3);
    if (!IsDriveLetter(root[0]) || root[1] != L':' || root[2] != L'\\') {
        return false;
    }
    const UINT type = GetDriveTypeW(root.c_str());
    return type == DRIVE_FIXED || type == DRIVE_REMOVABLE || type == DRIVE_CDROM || type == DRIVE_RAMDISK;
}

void MapDeviceToDrive(std::wstring& path)
{
    if (!StartsWith(path, DevicePrefix)) {
        return;
    }
    ForEachLogicalDrive([&](wchar_t letter) {
        const wchar_t driveName[] = {letter, L':', L'\0'};
        std::array<wchar_t, MAX_PATH> device{};
        if (QueryDosDeviceW(driveName, device.data(), static_cast<DWORD>(device.size())) == 0) {
            return false;
        }
        const std::wstring deviceName(device.data());
        if (deviceName.empty() || !StartsWith(path, deviceName) ||
            (path.size() != deviceName.size() && path[deviceName.size()] != L'\\')) {
            return false;
        }
        path = OnDrive(letter, path.substr(deviceName.size()));
        return true;
    });
    // Any other device keeps its text: "\\?\" followed by the rest would not name it, since that
    // prefix is the DOS-device namespace, where GLOBALROOT, Global and PIPE lead to the network
    // redirector or a named pipe; asking the file system about it could reach what the text names.
}

void MapVolumeToDrive(std::wstring& path)
{
    if (!StartsWith(path, VolumePrefix)) {
        return;
    }
    const auto closingBrace = path.find(L'}');
    if (closingBrace == std::wstring::npos) {
        return;
    }
    const std::wstring volume = path.substr(0, closingBrace + 1);
    ForEachLogicalDrive([&](wchar_t letter) {
        const wchar_t root[] = {letter, L':', L'\\', L'\0'};
        std::array<wchar_t, 64> volumeName{};
        if (!GetVolumeNameForVolumeMountPointW(root, volumeName.data(), static_cast<DWORD>(volumeName.size()))) {
            return false;
        }
        std::wstring name(volumeName.data());
        if (!name.empty() && name.back() == L'\\') {
            name.pop_back();
        }
        // Volume GUIDs are written in either case.
        if (CompareStringOrdinal(name.c_str(), -1, volume.c_str(), -1, TRUE) != CSTR_EQUAL) {
            return false;
        }
        path = OnDrive(letter, path.substr(closingBrace + 1));
        return true;
    });
}

// A question mark or an asterisk and a colon stand for any drive: their root. A drive letter and a
// colon alone is left as it is: Windows reads it as the current folder of that drive, a relative
// path, not as the drive's root.
void CompleteDriveRoot(std::wstring& path)
{
    if (path.size() == 2 && path[1] == L':' && (path[0] == L'?' || path[0] == L'*')) {
        path += L'\\';
    }
}

// Resolves ".", ".." and the trailing dots and blanks of each name as the system does for a path
// without the long-path prefix: after the prefix it takes them literally, so "C:\a\..\b" would
// name no file. Only the text is worked on; a path the system cannot resolve stays as it is.
void ResolveDotsAsTheSystemDoes(std::wstring& path)
{
    std::wstring full;
    const auto code = FillGrowingBuffer(full, MAX_PATH, MaximumPathLength, [&path](wchar_t* buffer, std::size_t size) {
        // Too small a buffer is answered with the size needed, its null included.
        const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(size), buffer, nullptr);
        return length == 0 ? BufferNeed{GetLastError(), 0} : BufferNeed{0, length};
    });
    if (code == ERROR_SUCCESS && !full.empty()) {
        path = std::move(full);
    }
}

void AddLongPathPrefix(std::wstring& path)
{
    const bool driveAbsolute = path.size() >= 3 && path[1] == L':' && path[2] == L'\\' &&
                               (IsDriveLetter(path[0]) || path[0] == L'?' || path[0] == L'*');
    if (driveAbsolute) {
        if (IsDriveLetter(path[0])) {
            ResolveDotsAsTheSystemDoes(path);
        }
        path = std::wstring(LongPathPrefix) + path;
    } else if (StartsWith(path, L"\\\\") && !StartsWith(path, LongPathPrefix) && !StartsWith(path, DevicePathPrefix)) {
        ResolveDotsAsTheSystemDoes(path);
        path = std::wstring(UncLongPathPrefix) + path.substr(2);
    }
}

std::wstring TokenOwnerSidText()
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return {};
    }
    const auto token = WinHandle::Create(rawToken);
    DWORD size = 0;
    GetTokenInformation(token->Get(), TokenOwner, nullptr, 0, &size);
    if (size == 0) {
        return {};
    }
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token->Get(), TokenOwner, buffer.data(), size, &size)) {
        return {};
    }
    Scoped<wchar_t*> text([](wchar_t*& sid) { LocalFree(sid); });
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner, &text.Get())) {
        return {};
    }
    return text.Get();
}

std::uint32_t EnsureTempFolder(const std::filesystem::path& path)
{
    const FileStatus status = QueryFileStatus(path, "exists");
    if (status.IsDirectory()) {
        return ERROR_SUCCESS;
    }
    if (status.Exists()) {
        // Something other than a folder holds the name; no file can be created inside it, and
        // nothing is re-created over it.
        LogFormat(LogComponent::None, LogLevel::Warn,
                  "Temp folder is taken by an entry that is not a folder: {} (Error: {})", PathToUtf8(path),
                  ERROR_DIRECTORY);
        return ERROR_DIRECTORY;
    }
    LogFormat(LogComponent::None, LogLevel::Warn, "Recreate temp folder as it was unable to find it: {}",
              PathToUtf8(path));
    const std::uint32_t code = FileInfo::CreateDirectoriesWithRestrictedPermissions(path);
    if (code == ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    LogFormat(LogComponent::None, LogLevel::Warn, "Recreate temp folder failed: {} (Error: {})", PathToUtf8(path),
              code);
    return ERROR_DIRECTORY;
}

}  // namespace

FileInfo::FileInfo(const std::wstring& path)
{
    SetPath(path);
}

FileInfo::FileInfo(const wchar_t* path) : FileInfo(std::wstring(path != nullptr ? path : L"")) {}

FileInfo::FileInfo(const char* path) : FileInfo(Utf8ToUtf16(path != nullptr ? path : "")) {}

FileInfo FileInfo::FromUntrustedText(const std::wstring& path)
{
    FileInfo text;
    text.textOnly_ = true;
    text.SetPath(path);
    return text;
}

void FileInfo::SetPath(std::wstring path)
{
    receivedPath_ = std::move(path);
    normalizedPath_.clear();
    ClearCachedForms();
    if (receivedPath_.empty()) {
        return;
    }
    normalizedPath_ = NormalizePath(ExpandEnvironment(receivedPath_));
    try {
        Utf8();
        ParentUtf8();
    } catch (const ConversionException& exception) {
        if (exception.code().value() != ERROR_NO_UNICODE_TRANSLATION) {
            throw;
        }
        // A name that is not valid UTF-16 still has a short name that is, which only the file
        // system knows: it is asked on local drives only, and never about untrusted text.
        if (textOnly_ || !IsOnLocalDrive(normalizedPath_)) {
            TraceFileEvent(11, normalizedPath_, static_cast<std::uint32_t>(ERROR_NO_UNICODE_TRANSLATION));
            return;
        }
        try {
            normalizedPath_ = ToShortForm(normalizedPath_);
        } catch (const std::system_error& error) {
            TraceFileEvent(11, normalizedPath_, static_cast<std::uint32_t>(error.code().value()));
            return;
        }
        ClearCachedForms();
    }
}

void FileInfo::ClearCachedForms()
{
    systemCallPath_.clear();
    utf8_.clear();
    parentUtf8_.clear();
    nativePath_.clear();
}

bool FileInfo::Exists() const
{
    if (IsEmpty() || textOnly_) {
        return false;
    }
    std::error_code error;
    return QueryFileStatus(SystemCallPath(), error).Exists();
}

const std::wstring& FileInfo::SystemCallPath() const
{
    // The normalised form carries the long-path prefix, which every wide file function accepts.
    if (systemCallPath_.empty() && !textOnly_) {
        systemCallPath_ = normalizedPath_;
    }
    return systemCallPath_;
}

const std::string& FileInfo::Utf8() const
{
    if (utf8_.empty() && !normalizedPath_.empty()) {
        utf8_ = Utf16ToUtf8(normalizedPath_);
    }
    return utf8_;
}

const std::string& FileInfo::ParentUtf8() const
{
    if (parentUtf8_.empty() && !normalizedPath_.empty()) {
        const auto separator = normalizedPath_.find_last_of(L'\\');
        std::wstring parent = separator == std::wstring::npos ? std::wstring{} : normalizedPath_.substr(0, separator);
        if (!parent.empty() && parent.back() == L':') {
            parent += L'\\';
        }
        parentUtf8_ = Utf16ToUtf8(parent);
    }
    return parentUtf8_;
}

const std::wstring& FileInfo::NativePath() const
{
    if (nativePath_.empty() && !normalizedPath_.empty() && !textOnly_) {
        nativePath_ = StartsWith(normalizedPath_, LongPathPrefix)
                          ? std::wstring(NativePrefix) + normalizedPath_.substr(LongPathPrefix.size())
                          : normalizedPath_;
    }
    return nativePath_;
}

std::wstring FileInfo::NormalizePath(const std::wstring& text)
{
    std::wstring path = Trim(text);
    if (path.empty()) {
        return path;
    }
    std::replace(path.begin(), path.end(), L'/', L'\\');
    CollapseDoubleBackslashes(path);
    MapMupDevice(path);
    MapDeviceToDrive(path);
    if (StartsWith(path, NativePrefix)) {
        path[1] = L'\\';
    }
    MapVolumeToDrive(path);
    if (StartsWith(path, SystemRootPrefix)) {
        path = ExpandEnvironment(L"%SystemRoot%") + path.substr(SystemRootPrefix.size() - 1);
    }
    path = Trim(path);
    CompleteDriveRoot(path);
    AddLongPathPrefix(path);
    return path;
}

Result<std::filesystem::path> FileInfo::GetWindowsFolder()
{
    std::wstring windows;
    const auto code = FillGrowingBuffer(windows, MAX_PATH, MaximumPathLength, [](wchar_t* buffer, std::size_t size) {
        // Too small a buffer is answered with the size needed, its null included.
        const UINT length = GetWindowsDirectoryW(buffer, static_cast<UINT>(size));
        return length == 0 ? BufferNeed{ERROR_DIRECTORY, 0} : BufferNeed{0, length};
    });
    if (code != ERROR_SUCCESS) {
        return Result<std::filesystem::path>(ERROR_DIRECTORY);
    }
    return Result<std::filesystem::path>(std::filesystem::path(windows));
}

Result<FileInfo> FileInfo::GetTempFolder(const FileInfo* after)
{
    const auto windows = GetWindowsFolder();
    if (!windows.Succeeded()) {
        return Result<FileInfo>(windows.ErrorCode());
    }
    return GetTempFolderIn(windows.Value(), after);
}

Result<FileInfo> FileInfo::GetTempFolderIn(const std::filesystem::path& windowsFolder, const FileInfo* after)
{
    bool skipping = after != nullptr;
    for (const wchar_t* name : {L"SystemTemp", L"Temp"}) {
        const auto candidate = windowsFolder / name;
        if (skipping) {
            skipping = !IsSamePath(*after, FileInfo(candidate.native()));
            continue;
        }
        if (EnsureTempFolder(candidate) == ERROR_SUCCESS) {
            return Result<FileInfo>(FileInfo(candidate.native()));
        }
    }
    return Result<FileInfo>(ERROR_DIRECTORY);
}

std::wstring FileInfo::RestrictedFolderAccessList()
{
    // Protected: nothing is inherited from the parent, so only these three may ever enter.
    std::wstring descriptorText = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    if (const std::wstring owner = TokenOwnerSidText(); !owner.empty()) {
        descriptorText += L"(A;OICI;FA;;;" + owner + L")";
    }
    return descriptorText;
}

std::uint32_t FileInfo::CreateDirectoriesWithRestrictedPermissions(const std::filesystem::path& path)
{
    if (path.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    if (QueryFileStatus(path, "status").IsDirectory()) {
        return ERROR_SUCCESS;
    }
    const auto parent = ParentFolder(path);
    if (!parent.empty() && parent != path) {
        const std::uint32_t code = CreateDirectoriesWithRestrictedPermissions(parent);
        if (code != ERROR_SUCCESS && code != ERROR_ALREADY_EXISTS) {
            return code;
        }
    }

    const std::wstring descriptorText = RestrictedFolderAccessList();
    Scoped<void*> descriptor([](void*& value) { LocalFree(value); });
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptorText.c_str(), SDDL_REVISION_1,
                                                              &descriptor.Get(), nullptr)) {
        return GetLastError();
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.Get(), FALSE};
    if (!CreateDirectoryW(path.c_str(), &attributes)) {
        const DWORD code = GetLastError();
        if (code == ERROR_ALREADY_EXISTS) {
            return ERROR_SUCCESS;
        }
        TraceFileEvent(12, path.native(), code);
        return code;
    }
    return ERROR_SUCCESS;
}

bool IsSamePath(const FileInfo& a, const FileInfo& b)
{
    using std::filesystem::path;
    const path aReceived(a.ReceivedPath()), aNormalized(a.NormalizedPath());
    const path bReceived(b.ReceivedPath()), bNormalized(b.NormalizedPath());
    return aReceived == bReceived || aNormalized == bReceived || aReceived == bNormalized || aNormalized == bNormalized;
}

}  // namespace Tessaro::Vantrel::Common::Utilities

namespace Tessaro::Vantrel::Common::Utilities {

std::optional<FileIdentity> ReadFileIdentity(void* handle)
{
    FileIdentity identity;
    FILE_ID_INFO id{};
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof(id))) {
        identity.volume = id.VolumeSerialNumber;
        std::memcpy(identity.id.data(), id.FileId.Identifier, identity.id.size());
        return identity;
    }
    // File systems without 128-bit ids (and systems before Windows 8) give the 64-bit index.
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) {
        return std::nullopt;
    }
    identity.volume = information.dwVolumeSerialNumber;
    const std::uint64_t index =
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    std::memcpy(identity.id.data(), &index, sizeof(index));
    return identity;
}

std::optional<FileIdentity> ReadFileIdentity(const FileInfo& file)
{
    if (file.IsTextOnly() || file.IsEmpty()) {
        return std::nullopt;
    }
    const WinHandle handle(CreateFileW(file.SystemCallPath().c_str(), 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return handle.IsValid() ? ReadFileIdentity(handle.Get()) : std::nullopt;
}

bool IsSameFile(const FileInfo& a, const FileInfo& b)
{
    const auto first = ReadFileIdentity(a);
    return first.has_value() && first == ReadFileIdentity(b);
}

}  // namespace Tessaro::Vantrel::Common::Utilities
