#pragma once

#include "diagnostics/Result.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Tessaro::Vantrel::Common::Utilities {

// One process that holds a file open, as the Restart Manager lists it.
struct RestartManagerProcessInfo {
    std::wstring applicationName;
    std::wstring serviceShortName;
    std::uint32_t processId = 0;
    bool restartable = false;
    std::uint32_t applicationStatus = 0;
    std::uint32_t applicationType = 0;
    std::uint64_t processStartTime = 0;  // FILETIME
};

// Flags of CopyFileTo.
namespace CopyFlags {
constexpr std::uint32_t OverwriteExisting = 0x2;
constexpr std::uint32_t UpdateExisting = 0x4;
constexpr std::uint32_t ForcedCopy = 0x200;
constexpr std::uint32_t ValidateHash = 0x400;
}  // namespace CopyFlags

// The system's file path object. Takes a path in any form Windows components report (drive
// paths, long-path prefixes, \Device\ and \??\ paths, volume GUID paths, UNC and redirector
// paths, \SystemRoot\ paths, environment variables), normalises it into one long-path form and
// caches the other forms callers need.
class FileInfo {
public:
    FileInfo() = default;
    explicit FileInfo(const std::wstring& path);
    explicit FileInfo(const wchar_t* path);
    // UTF-8, the process's narrow encoding.
    explicit FileInfo(const char* path);
    // A path the agent only shows and compares, named by somebody it does not trust (another
    // product's Security Center entry, another process's image): normalised by its text alone,
    // whatever its form, and with no form for file system calls, so that no call can reach what
    // it names (a network host, a named pipe, a device).
    static FileInfo FromUntrustedText(const std::wstring& path);
    FileInfo(const FileInfo& other) = default;
    FileInfo(FileInfo&& other) noexcept = default;
    FileInfo& operator=(const FileInfo& other) = default;
    FileInfo& operator=(FileInfo&& other) noexcept = default;
    virtual ~FileInfo() = default;

    // True when the file system reports the path as an entry of any kind.
    bool Exists() const;
    // Copies with the flags, retrying up to the count, validating by hash when asked.
    // (Copy and hashing: common/FileCopy.cpp.)
    std::uint32_t CopyFileTo(const FileInfo& destination, std::uint32_t copyFlags, std::uint32_t retryCount) const;
    // SHA-256 of the file as 64 upper-case hexadecimal digits. Virtual so that a test can stand in
    // a destination whose content never matches what was copied.
    virtual Result<std::string> CalculateFileHash() const;
    Result<std::vector<RestartManagerProcessInfo>> GetProcessesUsingResource() const;

    const std::wstring& ReceivedPath() const noexcept { return receivedPath_; }
    const std::wstring& NormalizedPath() const noexcept { return normalizedPath_; }
    bool IsEmpty() const noexcept { return normalizedPath_.empty(); }
    // Made by FromUntrustedText: its system-call and native forms are empty.
    bool IsTextOnly() const noexcept { return textOnly_; }

    // The form handed to file system calls; empty for a path that is text only.
    const std::wstring& SystemCallPath() const;
    // The normalised path in UTF-8.
    const std::string& Utf8() const;
    // The parent folder of the normalised path in UTF-8.
    const std::string& ParentUtf8() const;
    // The object-manager form for NtCreateFile (\??\...); empty for a path that is text only.
    const std::wstring& NativePath() const;

    static std::wstring NormalizePath(const std::wstring& path);

    // SystemTemp in the Windows folder, else its Temp; each created with the restricted access
    // list when missing. Error 267 (ERROR_DIRECTORY) when neither can be had.
    // With `after`, only the candidates that follow that folder are tried: the next choice for a
    // caller that was refused in it.
    static Result<FileInfo> GetTempFolder(const FileInfo* after = nullptr);
    static Result<FileInfo> GetTempFolderIn(const std::filesystem::path& windowsFolder,
                                            const FileInfo* after = nullptr);
    // The Windows folder; error 267 (ERROR_DIRECTORY) when the system does not give it.
    static Result<std::filesystem::path> GetWindowsFolder();

    // Creates the folder and any missing parents, each with a protected access list that grants
    // full control to SYSTEM, the Administrators group and the token's owner only.
    static std::uint32_t CreateDirectoriesWithRestrictedPermissions(const std::filesystem::path& path);
    // That access list, as SDDL text: protected from inheritance, full control for SYSTEM, the
    // Administrators group and the token's owner, nobody else.
    static std::wstring RestrictedFolderAccessList();

private:
    void SetPath(std::wstring path);
    void ClearCachedForms();

    bool textOnly_ = false;
    std::wstring receivedPath_;
    std::wstring normalizedPath_;
    mutable std::wstring systemCallPath_;
    mutable std::string utf8_;
    mutable std::string parentUtf8_;
    mutable std::wstring nativePath_;
};

// What identifies a file whatever name it goes by: its volume's serial number and its 128-bit id
// (FileIdInfo), or its 64-bit index where the file system has no 128-bit id.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::array<std::uint8_t, 16> id{};

    bool operator==(const FileIdentity& other) const = default;
};
// The identity of the open file; nothing when it cannot be read.
std::optional<FileIdentity> ReadFileIdentity(void* handle);
// The identity of the file at the path, opened without access to its content and shared with
// everybody; nothing when it cannot be opened or read (or the path is text only).
std::optional<FileIdentity> ReadFileIdentity(const FileInfo& file);

// True when both name one existing file, whatever names they give it (another path, another form
// of it, a second hard link): their identities agree. False when either cannot be read.
bool IsSameFile(const FileInfo& a, const FileInfo& b);

// True when the two name the same path, comparing received and normalised forms element by
// element with exact characters (so letter case matters, slash against backslash does not).
bool IsSamePath(const FileInfo& a, const FileInfo& b);

}  // namespace Tessaro::Vantrel::Common::Utilities
