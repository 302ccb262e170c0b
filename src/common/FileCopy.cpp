// The file operations of FileInfo that work on the file's content: hashing, copying with
// validation and retries, replacement through a staging file, and the Restart Manager report of
// the processes that hold a file open.

#include "common/FileCopy.h"

#include "common/foundation/FileSystem.h"
#include "common/foundation/Format.h"
#include "common/foundation/Scoped.h"
#include "common/foundation/StringConversion.h"
#include "common/foundation/Time.h"
#include "common/UniqueLibrary.h"

#include <windows.h>
// These need the declarations of windows.h first.
#include <restartmanager.h>
#include <wincrypt.h>
#include <winternl.h>

#include <algorithm>
#include <mutex>
#include <thread>

namespace Tessaro::Vantrel::Common::Utilities {

namespace {

constexpr auto Component = LogComponent::None;
constexpr DWORD HashPieceSize = 2048;
constexpr int ReadAttempts = 5;
constexpr DWORD FileGenericWrite = 0x120116;
constexpr DWORD FileOpen = 1;
constexpr DWORD SynchronousIo = 32;
constexpr std::uint32_t InvalidImageHash = 577;  // ERROR_INVALID_IMAGE_HASH

std::wstring WithSuffix(const FileInfo& file, const wchar_t* suffix)
{
    return file.SystemCallPath() + suffix;
}

// The Restart Manager, loaded once through the verified loader and kept for the process.
struct RestartManager {
    using StartSession = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
    using EndSession = DWORD(WINAPI*)(DWORD);
    using RegisterResources = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
    using GetList = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);

    std::unique_ptr<UniqueLibrary> library;
    StartSession startSession = nullptr;
    EndSession endSession = nullptr;
    RegisterResources registerResources = nullptr;
    GetList getList = nullptr;
    std::uint32_t error = ERROR_SUCCESS;
};

const RestartManager& LoadRestartManager()
{
    static RestartManager manager;
    static std::once_flag loaded;
    std::call_once(loaded, [] {
        try {
            manager.library = std::make_unique<UniqueLibrary>(L"RstrtMgr.dll", UniqueLibrary::LoadMode::System32Signed);
        } catch (const std::system_error& error) {
            manager.error = static_cast<std::uint32_t>(error.code().value());
            return;
        }
        manager.startSession =
            reinterpret_cast<RestartManager::StartSession>(manager.library->GetProcedure("RmStartSession"));
        manager.endSession =
            reinterpret_cast<RestartManager::EndSession>(manager.library->GetProcedure("RmEndSession"));
        manager.registerResources =
            reinterpret_cast<RestartManager::RegisterResources>(manager.library->GetProcedure("RmRegisterResources"));
        manager.getList = reinterpret_cast<RestartManager::GetList>(manager.library->GetProcedure("RmGetList"));
        if (!manager.startSession || !manager.endSession || !manager.registerResources || !manager.getList) {
            manager.error = ERROR_PROC_NOT_FOUND;
        }
    });
    return manager;
}

std::uint32_t CopyOnce(const FileInfo& source, const FileInfo& destination, std::uint32_t flags);

std::uint32_t ValidateCopy(const FileInfo& source, const FileInfo& destination)
{
    const auto sourceHash = source.CalculateFileHash();
    if (!sourceHash.Succeeded()) {
        LogFormat(Component, LogLevel::Warn, "Validate file after copy. Unable to compute hash (Error: {}) of file {}",
                  sourceHash.ErrorCode(), source.Utf8());
        return sourceHash.ErrorCode();
    }
    const auto destinationHash = destination.CalculateFileHash();
    if (!destinationHash.Succeeded()) {
        LogFormat(Component, LogLevel::Warn, "Validate file after copy. Unable to compute hash (Error: {}) of file {}",
                  destinationHash.ErrorCode(), destination.Utf8());
        return destinationHash.ErrorCode();
    }
    return sourceHash.Value() == destinationHash.Value() ? ERROR_SUCCESS : InvalidImageHash;
}

std::uint32_t ForcedCopy(const FileInfo& source, const FileInfo& destination)
{
    const std::wstring staging = WithSuffix(destination, L".tmp");
    std::uint32_t result = ERROR_SUCCESS;
    if (!CopyFileW(source.SystemCallPath().c_str(), staging.c_str(), FALSE)) {
        result = GetLastError();
        LogFormat(Component, LogLevel::Warn, "Copy to the staging file {} failed (Error: {})", Utf16ToUtf8(staging),
                  result);
        return result;
    }
    {
        long status = 0;
        const auto handle =
            CreateFileNative(FileInfo(staging), FileGenericWrite, FILE_SHARE_READ, FileOpen, SynchronousIo, status);
        if (!handle->IsValid() || !FlushFileBuffers(handle->Get())) {
            LogFormat(Component, LogLevel::Warn, "Failed to flush the staging file {} (Error: {})",
                      Utf16ToUtf8(staging), handle->IsValid() ? GetLastError() : static_cast<DWORD>(status));
        }
    }
    if (!MoveFileExW(staging.c_str(), destination.SystemCallPath().c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD moveError = GetLastError();
        LogFormat(Component, LogLevel::Warn,
                  "Replacing {} in place failed (Error: {}), replacing it via a backup swap instead",
                  destination.Utf8(), moveError);
        if (moveError == ERROR_SHARING_VIOLATION) {
            LogProcessesUsingFile(destination, LogLevel::Warn);
        }
        const std::wstring backup = WithSuffix(destination, L".old");
        if (ReplaceFileW(destination.SystemCallPath().c_str(), staging.c_str(), backup.c_str(),
                         REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
            if (!DeleteFileW(backup.c_str()) && RemoveAtNextReboot(FileInfo(backup)) != ERROR_SUCCESS) {
                LogFormat(Component, LogLevel::Warn, "Failed to remove the replaced file {}", Utf16ToUtf8(backup));
            }
        } else {
            result = GetLastError();
            LogFormat(Component, LogLevel::Warn, "Failed to replace {} via backup swap (Error: {})", destination.Utf8(),
                      result);
            if (result == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 &&
                !MoveFileExW(backup.c_str(), destination.SystemCallPath().c_str(), 0)) {
                LogFormat(
                    Component, LogLevel::Error,
                    "Failed to restore the original file {} (Error: {}); the target path is now missing, the original "
                    "content is still at {}",
                    destination.Utf8(), GetLastError(), Utf16ToUtf8(backup));
            }
        }
    }
    std::error_code queryError;
    if (QueryFileStatus(staging, queryError).Exists() && !DeleteFileW(staging.c_str())) {
        LogFormat(Component, LogLevel::Warn, "Failed to remove the staging file {}", Utf16ToUtf8(staging));
    }
    return result;
}

// The standard copy. The C runtime's file copy reports C error numbers, which lose the Windows
// codes (32, 5, 1224) the retries depend on; the platform's copy keeps them.
std::uint32_t CopyOnce(const FileInfo& source, const FileInfo& destination, std::uint32_t flags)
{
    LogFormat(Component, LogLevel::Debug, "Standard file copy from {} to {}", source.Utf8(), destination.Utf8());
    std::uint32_t error = ERROR_SUCCESS;
    const bool overwrite = (flags & (CopyFlags::OverwriteExisting | CopyFlags::UpdateExisting)) != 0;
    bool skip = false;
    if ((flags & CopyFlags::UpdateExisting) != 0 && destination.Exists()) {
        WIN32_FILE_ATTRIBUTE_DATA sourceData{};
        WIN32_FILE_ATTRIBUTE_DATA destinationData{};
        skip = GetFileAttributesExW(source.SystemCallPath().c_str(), GetFileExInfoStandard, &sourceData) &&
               GetFileAttributesExW(destination.SystemCallPath().c_str(), GetFileExInfoStandard, &destinationData) &&
               CompareFileTime(&sourceData.ftLastWriteTime, &destinationData.ftLastWriteTime) <= 0;
    }
    if (!skip &&
        !CopyFileW(source.SystemCallPath().c_str(), destination.SystemCallPath().c_str(), overwrite ? FALSE : TRUE)) {
        error = GetLastError();
    }
    if (error == ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    LogFormat(Component, LogLevel::Warn, "Standard copy failed (Error: {}) for file {}", error, destination.Utf8());
    if (error == ERROR_SHARING_VIOLATION) {
        LogProcessesUsingFile(destination, LogLevel::Warn);
    }
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_USER_MAPPED_FILE) {
        return error;
    }
    if ((flags & CopyFlags::ForcedCopy) == 0) {
        return error;
    }
    LogFormat(Component, LogLevel::Debug, "Forced file copy from {} to {}", source.Utf8(), destination.Utf8());
    return ForcedCopy(source, destination);
}

}  // namespace

Result<std::string> FileInfo::CalculateFileHash() const
{
    if (!Exists()) {
        return Result<std::string>(ERROR_NOT_FOUND);
    }
    const auto file =
        WinHandle::Create(CreateFileW(SystemCallPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file->IsValid()) {
        return Result<std::string>(GetLastError());
    }
    Scoped<unsigned long long> provider([](unsigned long long& handle) { CryptReleaseContext(handle, 0); });
    if (!CryptAcquireContextW(reinterpret_cast<HCRYPTPROV*>(&provider.Get()), nullptr, nullptr, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT)) {
        return Result<std::string>(GetLastError());
    }
    Scoped<unsigned long long> hash([](unsigned long long& handle) { CryptDestroyHash(handle); });
    if (!CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, reinterpret_cast<HCRYPTHASH*>(&hash.Get()))) {
        return Result<std::string>(GetLastError());
    }
    std::vector<BYTE> piece(HashPieceSize);
    for (int failedReads = 0;;) {
        DWORD read = 0;
        if (!ReadFile(file->Get(), piece.data(), HashPieceSize, &read, nullptr)) {
            if (++failedReads == ReadAttempts) {
                return Result<std::string>(GetLastError());
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            continue;
        }
        failedReads = 0;
        if (read == 0) {
            break;
        }
        if (!CryptHashData(hash.Get(), piece.data(), read, 0)) {
            return Result<std::string>(GetLastError());
        }
    }
    DWORD size = 0;
    DWORD sizeLength = sizeof(size);
    if (!CryptGetHashParam(hash.Get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &sizeLength, 0)) {
        return Result<std::string>(GetLastError());
    }
    std::vector<BYTE> digest(size);
    if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, digest.data(), &size, 0)) {
        return Result<std::string>(GetLastError());
    }
    std::string text;
    for (DWORD index = 0; index < size; ++index) {
        text += Format("{:02X}", digest[index]);
    }
    return Result<std::string>(std::move(text));
}

std::uint32_t FileInfo::CopyFileTo(const FileInfo& destination, std::uint32_t copyFlags, std::uint32_t retryCount) const
{
    LogFormat(Component, LogLevel::Debug, "Copy file {} to {}", Utf8(), destination.Utf8());
    if (retryCount == 0) {
        LogFormat(Component, LogLevel::Error, "The parameters for the copy are invalid (Retry count: {})", retryCount);
        return ERROR_INVALID_PARAMETER;
    }
    if (!Exists()) {
        Log(Component, LogLevel::Error, "Copy failed as the source file doesn't exists");
        return ERROR_FILE_NOT_FOUND;
    }
    const std::filesystem::path parent = ParentFolder(destination.SystemCallPath());
    std::error_code queryError;
    if (!parent.empty() && !QueryFileStatus(parent, queryError).Exists()) {
        if (const auto code = CreateDirectoriesWithRestrictedPermissions(parent); code != ERROR_SUCCESS) {
            LogFormat(Component, LogLevel::Error, "Create of the parent directories of \"{}\" failed (Error: {})",
                      destination.Utf8(), code);
            return code;
        }
    }
    std::uint32_t copyError = ERROR_INTERNAL_ERROR;
    std::uint32_t validationError = ERROR_INTERNAL_ERROR;
    for (std::uint32_t attempt = 1; attempt <= retryCount; ++attempt) {
        LogFormat(Component, LogLevel::Debug, "Attempt {} to copy file {} to {}", attempt, Utf8(), destination.Utf8());
        copyError = CopyOnce(*this, destination, copyFlags);
        if (copyError == ERROR_SUCCESS) {
            if ((copyFlags & CopyFlags::ValidateHash) == 0) {
                return ERROR_SUCCESS;
            }
            LogFormat(Component, LogLevel::Debug, "Validate the file copy from {} to {}", Utf8(), destination.Utf8());
            validationError = ValidateCopy(*this, destination);
            if (validationError == ERROR_SUCCESS) {
                return ERROR_SUCCESS;
            }
        }
        LogFormat(Component, LogLevel::Warn, "Copy attempt {} failed (Copy: {} - Validate: {}) for file {}", attempt,
                  copyError, validationError, destination.Utf8());
        if (copyError == ERROR_SHARING_VIOLATION) {
            LogProcessesUsingFile(destination, LogLevel::Warn);
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    LogFormat(Component, LogLevel::Error, "Copy failed (Copy: {} - Validate: {}) for file {}", copyError,
              validationError, destination.Utf8());
    if (copyError == ERROR_SHARING_VIOLATION) {
        LogProcessesUsingFile(destination, LogLevel::Error);
    }
    return copyError != ERROR_SUCCESS ? copyError : validationError;
}

Result<std::vector<RestartManagerProcessInfo>> FileInfo::GetProcessesUsingResource() const
{
    using Processes = std::vector<RestartManagerProcessInfo>;
    const RestartManager& manager = LoadRestartManager();
    if (manager.error != ERROR_SUCCESS) {
        return Result<Processes>(manager.error);
    }
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (const DWORD code = manager.startSession(&session, 0, key); code != ERROR_SUCCESS) {
        return Result<Processes>(code);
    }
    Scoped<DWORD> ownedSession(session, [&manager](DWORD& value) { manager.endSession(value); });
    LPCWSTR files[] = {SystemCallPath().c_str()};
    if (const DWORD code = manager.registerResources(session, 1, files, 0, nullptr, 0, nullptr);
        code != ERROR_SUCCESS) {
        return Result<Processes>(code);
    }
    UINT needed = 0;
    UINT count = 0;
    DWORD reasons = 0;
    DWORD code = manager.getList(session, &needed, &count, nullptr, &reasons);
    std::vector<RM_PROCESS_INFO> entries;
    if (code == ERROR_MORE_DATA) {
        entries.resize(needed);
        count = needed;
        code = manager.getList(session, &needed, &count, entries.data(), &reasons);
        // More processes may have opened the file since the first call (234 again): the entries
        // that did arrive are still worth reporting.
        entries.resize(std::min<std::size_t>(count, entries.size()));
    }
    if (code != ERROR_SUCCESS && code != ERROR_MORE_DATA) {
        return Result<Processes>(code);
    }
    Processes processes;
    for (const auto& entry : entries) {
        const std::uint64_t start = (static_cast<std::uint64_t>(entry.Process.ProcessStartTime.dwHighDateTime) << 32) |
                                    entry.Process.ProcessStartTime.dwLowDateTime;
        processes.push_back({entry.strAppName, entry.strServiceShortName, entry.Process.dwProcessId,
                             entry.bRestartable != FALSE, entry.AppStatus,
                             static_cast<std::uint32_t>(entry.ApplicationType), start});
    }
    return Result<Processes>(std::move(processes), code);
}

std::uint32_t RemoveAtNextReboot(const FileInfo& file)
{
    LogFormat(Component, LogLevel::Info, "Remove at next reboot for {}", file.Utf8());
    if (!MoveFileExW(file.SystemCallPath().c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        const DWORD error = GetLastError();
        LogFormat(Component, LogLevel::Warn, "Remove at next reboot for {} failed (Error {})", file.Utf8(), error);
        return error;
    }
    return ERROR_SUCCESS;
}

std::string ProcessesUsingFileReport(const FileInfo& file, const std::vector<RestartManagerProcessInfo>& processes)
{
    // Another process's names are its own business: whatever they hold, they are one readable
    // value each, on the line of their process.
    const auto value = [](const std::wstring& text) { return EscapeControlCharacters(ReadableUtf8(text)); };
    std::string text = "Copy failed due to sharing violation for file " + value(file.NormalizedPath());
    if (!processes.empty()) {
        text += "\nFile is kept open by the following processes:";
        for (const auto& process : processes) {
            text += Format("\n    -  Pid {} Restartable {} Status {} Type {}", process.processId,
                           process.restartable ? 1 : 0, process.applicationStatus, process.applicationType);
            if (!process.serviceShortName.empty()) {
                text += " Service \"" + value(process.serviceShortName) + "\"";
            }
            if (!process.applicationName.empty()) {
                text += " Process \"" + value(process.applicationName) + "\"";
            }
            // FILETIME counts 100-nanosecond ticks from 1601; the calendar starts in 1970.
            const auto seconds = static_cast<std::int64_t>(process.processStartTime / 10'000'000) - 11'644'473'600LL;
            text += " StartTime " + FormatTime(FromStoredSeconds(seconds));
        }
    }
    return text;
}

void LogProcessesUsingFile(const FileInfo& file, LogLevel level)
{
    const auto processes = file.GetProcessesUsingResource();
    if (!processes.Succeeded()) {
        LogFormat(Component, LogLevel::Warn, "Failed to get the processes using the file {} (Error: {})",
                  ReadableUtf8(file.NormalizedPath()), processes.ErrorCode());
        if (processes.ErrorCode() != ERROR_MORE_DATA) {
            return;
        }
    }
    Log(Component, level, ProcessesUsingFileReport(file, processes.Value()));
}

std::shared_ptr<WinHandle> CreateFileNative(const FileInfo& file, std::uint32_t access, std::uint32_t shareMode,
                                            std::uint32_t disposition, std::uint32_t createOptions, long& status)
{
    const std::wstring& path = file.NativePath();
    UNICODE_STRING name{};
    RtlInitUnicodeString(&name, path.c_str());
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof(OBJECT_ATTRIBUTES);
    attributes.ObjectName = &name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK ioStatus{};
    HANDLE handle = nullptr;
    status = NtCreateFile(&handle, access, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL, shareMode,
                          disposition, createOptions, nullptr, 0);
    auto owner = WinHandle::Create(handle);
    if (!owner->IsValid()) {
        LogFormat(Component, LogLevel::Warn, "Create file failed with: (Error Status: 0x{:X}: 0x{:X}) : {}",
                  static_cast<std::uint32_t>(status), static_cast<std::uint32_t>(ioStatus.Status), file.Utf8());
    }
    return owner;
}

}  // namespace Tessaro::Vantrel::Common::Utilities
