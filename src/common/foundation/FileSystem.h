#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

// The product's file-system queries, asked through the Windows API.
//
// The C runtime's path functions, and the std::filesystem operations built on them, are not an
// option: on Windows msvcrt's stat rejects every path that contains '?', so each "\\?\" path, the
// form the product works in, looks missing. std::filesystem::path stays the value type.
namespace Tessaro::Vantrel::Common::Utilities {

// The longest path the Windows API takes, in UTF-16 units with its terminating null.
constexpr std::size_t MaximumPathLength = 32768;

enum class FileType {
    NotFound,
    Directory,
    // Any entry that is not a folder or a device. Links are reported as themselves, never followed.
    RegularFile,
    Other,
};

struct FileStatus {
    FileType type = FileType::NotFound;
    std::uint64_t size = 0;

    bool Exists() const noexcept { return type != FileType::NotFound; }
    bool IsDirectory() const noexcept { return type == FileType::Directory; }
    bool IsRegularFile() const noexcept { return type == FileType::RegularFile; }
};

// The entry at the path, in any of the forms the Windows API takes (drive, "\\?\", "\??\", UNC).
// A name that does not exist is FileType::NotFound, not an error. Any other failure is reported
// in `error` (with the Windows code), or raised as std::filesystem::filesystem_error for the
// named operation.
FileStatus QueryFileStatus(const std::filesystem::path& path, std::error_code& error) noexcept;
FileStatus QueryFileStatus(const std::filesystem::path& path, const char* operation);

// The folder that holds the path, or empty for a root ("C:\", "\\?\C:\", "\\server\share",
// "\\?\UNC\server\share", "\\?\Volume{...}\") and for a bare name. Unlike
// std::filesystem::path::parent_path it knows the long-path and device prefixes, so climbing a
// "\\?\" path ends at its drive and never reaches "\\?\C:" or "\\?".
std::filesystem::path ParentFolder(const std::filesystem::path& path);

// Whether the text begins with the prefix, letter case aside (as the file system compares names:
// ordinal, upper-cased by the system's table).
bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix);

// The full path of a loaded module (null: this program's executable), however long it is.
// Raises std::system_error ("Can't get full path") with the Windows code when it cannot be read.
std::wstring ModulePath(void* module = nullptr);

}  // namespace Tessaro::Vantrel::Common::Utilities
