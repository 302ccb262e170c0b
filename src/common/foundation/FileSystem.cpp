#include "common/foundation/FileSystem.h"

#include "common/foundation/GrowingBuffer.h"
#include "common/foundation/Scoped.h"

#include <windows.h>

#include <string_view>

namespace Tessaro::Vantrel::Common::Utilities {

namespace {

// Answers that mean the name is not there (the same set the platform's own C++ library treats
// as "not found"), including a folder on the way that is missing or a server that is unknown.
bool IsNotFound(DWORD error)
{
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
            return true;
        default:
            return false;
    }
}

FileStatus FromAttributes(DWORD attributes, DWORD sizeHigh, DWORD sizeLow)
{
    FileStatus status;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        status.type = FileType::Directory;
    } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        status.type = FileType::Other;
    } else {
        status.type = FileType::RegularFile;
        status.size = (static_cast<std::uint64_t>(sizeHigh) << 32) | sizeLow;
    }
    return status;
}

// A file that is open without sharing (a page file, a locked log) refuses the attribute query;
// its folder's listing still describes it. Only for a plain last element: '?' and '*' there would
// be taken as wildcards.
bool QueryThroughFolderListing(const std::wstring& path, FileStatus& status)
{
    const auto lastSeparator = path.find_last_of(L"\\/");
    const std::wstring_view name =
        std::wstring_view(path).substr(lastSeparator == std::wstring::npos ? 0 : lastSeparator + 1);
    if (name.empty() || name.find_first_of(L"?*") != std::wstring_view::npos) {
        return false;
    }
    WIN32_FIND_DATAW data{};
    Scoped<HANDLE> search(FindFirstFileExW(path.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0),
                          [](HANDLE& opened) {
                              if (opened != INVALID_HANDLE_VALUE) {
                                  FindClose(opened);
                              }
                          });
    if (search.Get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    status = FromAttributes(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow);
    return true;
}

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

std::size_t ComponentEnd(std::wstring_view path, std::size_t from)
{
    while (from < path.size() && !IsSeparator(path[from])) {
        ++from;
    }
    return from;
}

// Through the separator that ends the component, when there is one.
std::size_t PastSeparator(std::wstring_view path, std::size_t end)
{
    return end < path.size() ? end + 1 : end;
}

// Length of the part of the path that names its root and that no parent can be taken of.
std::size_t RootLength(std::wstring_view path)
{
    const bool devicePrefix = path.size() >= 4 && IsSeparator(path[0]) && (IsSeparator(path[1]) || path[1] == L'?') &&
                              (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3]);
    if (devicePrefix) {
        // "\\?\", "\\.\" or "\??\", then a drive, "UNC\server\share", "GLOBALROOT\Device\name" or
        // a volume name.
        const std::wstring_view rest = path.substr(4);
        if (rest.size() >= 2 && rest[1] == L':') {
            return PastSeparator(path, 6);
        }
        std::size_t components = 1;
        if (StartsWithNoCase(rest, L"UNC\\") || StartsWithNoCase(rest, L"GLOBALROOT\\")) {
            components = 3;
        }
        std::size_t end = 4;
        for (std::size_t component = 0; component < components; ++component) {
            end = ComponentEnd(path, component == 0 ? end : end + 1);
        }
        return PastSeparator(path, end);
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        // \\server\share
        return PastSeparator(path, ComponentEnd(path, ComponentEnd(path, 2) + 1));
    }
    if (path.size() >= 2 && path[1] == L':') {
        return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 2;
    }
    return !path.empty() && IsSeparator(path[0]) ? 1 : 0;
}

}  // namespace

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix)
{
    // NOLINTBEGIN(bugprone-suspicious-stringview-data-usage): counted, both lengths are passed
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.data(), static_cast<int>(prefix.size()), prefix.data(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
    // NOLINTEND(bugprone-suspicious-stringview-data-usage)
}

FileStatus QueryFileStatus(const std::filesystem::path& path, std::error_code& error) noexcept
{
    error.clear();
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return FromAttributes(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow);
    }
    const DWORD code = GetLastError();
    if (IsNotFound(code)) {
        return {};
    }
    FileStatus listed;
    if ((code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED) &&
        QueryThroughFolderListing(path.native(), listed)) {
        return listed;
    }
    error.assign(static_cast<int>(code), std::system_category());
    return {};
}

FileStatus QueryFileStatus(const std::filesystem::path& path, const char* operation)
{
    std::error_code error;
    const FileStatus status = QueryFileStatus(path, error);
    if (error) {
        throw std::filesystem::filesystem_error(operation, path, error);
    }
    return status;
}

std::filesystem::path ParentFolder(const std::filesystem::path& path)
{
    const std::wstring& text = path.native();
    const std::size_t root = RootLength(text);
    std::size_t end = text.size();
    while (end > root && IsSeparator(text[end - 1])) {
        --end;
    }
    if (end <= root) {
        return {};
    }
    std::size_t separator = end;
    while (separator > root && !IsSeparator(text[separator - 1])) {
        --separator;
    }
    // Back over the separators between the folder and the last element, but never into the root.
    while (separator > root && IsSeparator(text[separator - 1])) {
        --separator;
    }
    return std::filesystem::path(text.substr(0, separator));
}

std::wstring ModulePath(void* module)
{
    std::wstring path;
    const auto code = FillGrowingBuffer(path, MAX_PATH, MaximumPathLength, [module](wchar_t* buffer, std::size_t size) {
        // A cut path fills the whole buffer; success leaves the last error as it was, so clear it.
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetModuleFileNameW(static_cast<HMODULE>(module), buffer, static_cast<DWORD>(size));
        const DWORD error = GetLastError();
        if (length >= size || error == ERROR_INSUFFICIENT_BUFFER) {
            return BufferNeed{0, size + 1};
        }
        return length == 0 ? BufferNeed{error != ERROR_SUCCESS ? error : ERROR_INVALID_HANDLE, 0}
                           : BufferNeed{0, length};
    });
    if (code != ERROR_SUCCESS) {
        throw std::system_error(static_cast<int>(code), std::system_category(), "Can't get full path");
    }
    return path;
}

}  // namespace Tessaro::Vantrel::Common::Utilities
