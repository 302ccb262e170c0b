#include "support/ScratchFolder.h"

#include <windows.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <string>

namespace Tessaro::Testing {

namespace {

// Everything below and at `path` (in long-path form), through the Windows calls, which reach deeper
// than the C runtime's: a folder left behind would meet the next process given the same number.
void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW entry{};
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                RemoveTree(child);
            } else if (!DeleteFileW(child.c_str())) {
                RemoveDirectoryW(child.c_str());
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

ScratchFolder::ScratchFolder()
{
    static std::atomic<unsigned> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            (L"ravelin_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter));
    RemoveTree(L"\\\\?\\" + path_.native());
    std::filesystem::create_directories(path_);
}

ScratchFolder::~ScratchFolder()
{
    RemoveTree(L"\\\\?\\" + path_.native());
}

std::wstring DeepFolder(const ScratchFolder& folder, std::size_t length)
{
    std::wstring deep = L"\\\\?\\" + folder.Path().native();
    while (deep.size() < length) {
        deep += L"\\" + std::wstring(60, L'd');
        CreateDirectoryW(deep.c_str(), nullptr);
    }
    return deep;
}

std::string FileText(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteText(const std::filesystem::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

}  // namespace Tessaro::Testing
