#include "common/foundation/FileSystem.h"
#include "support/ChildProcess.h"
#include "support/ScratchFolder.h"
#include "support/Platform.h"

#include <gtest/gtest.h>
#include <windows.h>
// The stat declarations need the declarations of windows.h first.
#include <sys/stat.h>

#include <fstream>

namespace {

using Tessaro::Testing::RunningUnderWine;
using Tessaro::Testing::ScratchFolder;
using namespace Tessaro::Vantrel::Common::Utilities;

// The forms the agent hands to the file system: long-path (its log, its copies) and native.
std::wstring LongForm(const std::filesystem::path& path)
{
    return L"\\\\?\\" + path.native();
}

std::wstring NativeForm(const std::filesystem::path& path)
{
    return L"\\??\\" + path.native();
}

TEST(FileSystemTest, AnswersForEveryPathFormTheAgentUses)
{
    const ScratchFolder folder;
    const auto file = folder.Path() / L"present.log";
    std::ofstream(file, std::ios::binary) << std::string(1234, 'x');
    // The test executables' C runtime refuses '?' paths as Windows' does (support/), so a query
    // that went through it would find nothing here.
    ASSERT_FALSE(std::filesystem::exists(LongForm(file)));

    for (const std::wstring& form : {file.native(), LongForm(file), NativeForm(file)}) {
        const auto status = QueryFileStatus(form, "exists");
        EXPECT_TRUE(status.IsRegularFile()) << std::filesystem::path(form).string();
        EXPECT_EQ(status.size, 1234u) << std::filesystem::path(form).string();
    }
    EXPECT_TRUE(QueryFileStatus(LongForm(folder.Path()), "exists").IsDirectory());
    EXPECT_FALSE(QueryFileStatus(LongForm(folder.Path() / L"missing.log"), "exists").Exists());
    EXPECT_FALSE(QueryFileStatus(LongForm(folder.Path() / L"missing" / L"deeper.log"), "exists").Exists())
        << "a missing folder on the way is not found, not an error";
    EXPECT_FALSE(QueryFileStatus(LongForm(file / L"below-a-file"), "exists").Exists());
    // After the prefix ".." is a name like any other: this path names no file.
    EXPECT_FALSE(QueryFileStatus(LongForm(folder.Path() / L"missing") + L"\\..\\present.log", "exists").Exists());
}

// Windows holds its paging file open without sharing, and refuses its attribute query with a
// sharing violation; the folder's listing still describes it. Wine answers the query.
TEST(FileSystemTest, FileThatRefusesTheAttributeQueryIsDescribedByItsFolder)
{
    wchar_t drive[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"SystemDrive", drive, MAX_PATH), 0u);
    const std::wstring pagingFile = std::wstring(drive) + L"\\pagefile.sys";
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(pagingFile.c_str(), GetFileExInfoStandard, &data) ||
        GetLastError() != ERROR_SHARING_VIOLATION) {
        GTEST_SKIP() << "no paging file here refuses the attribute query";
    }
    const auto status = QueryFileStatus(pagingFile, "exists");
    EXPECT_TRUE(status.IsRegularFile());
    EXPECT_GT(status.size, 0u);
}

// The premise of two decisions: product code asks the Windows API about files (QueryFileStatus),
// never the C runtime, and the test executables put Windows' rule in front of Wine's runtime
// (support/WindowsCrtPathRules.cpp), because Windows' msvcrt refuses a "\\?\" path and Wine's
// answers it. The runtime itself is asked here, not the stand-in; the kit checks it on Windows.
TEST(FileSystemTest, TheRuntimeRefusesLongPathsOnWindows)
{
    const ScratchFolder folder;
    std::ofstream(folder.Path() / L"present.log") << "x";
    using Stat = int(__cdecl*)(const wchar_t*, struct _stat64*);
    const auto runtimeStat =
        reinterpret_cast<Stat>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "_wstat64")));
    ASSERT_NE(runtimeStat, nullptr);
    struct _stat64 status = {};
    EXPECT_EQ(runtimeStat(LongForm(folder.Path() / L"present.log").c_str(), &status), RunningUnderWine() ? 0 : -1);
}

TEST(FileSystemTest, RefusedQueryRaisesWithTheOperationAndTheWindowsCode)
{
    // A long-path drive name without its root is the volume device, which no attribute query
    // answers as a folder.
    const std::wstring device = L"\\\\?\\C:";
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(device.c_str(), GetFileExInfoStandard, &data)) {
        GTEST_SKIP() << "this platform answers the volume device";
    }
    const DWORD expected = GetLastError();
    try {
        QueryFileStatus(device, "file_size");
        FAIL() << "no exception";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.code().value(), static_cast<int>(expected));
        EXPECT_NE(std::string(error.what()).find("file_size"), std::string::npos) << error.what();
    }
    std::error_code code;
    EXPECT_FALSE(QueryFileStatus(device, code).Exists());
    EXPECT_EQ(code.value(), static_cast<int>(expected));
    // Given again to a query that works, the error is cleared, as the standard library's are.
    EXPECT_TRUE(QueryFileStatus(std::filesystem::path(L"C:\\"), code).IsDirectory());
    EXPECT_FALSE(code) << code.value();
}

// A module whose path cannot be had is an error, never an empty path a caller would build on.
TEST(FileSystemTest, ModulePathNamesTheProgramOrRaises)
{
    EXPECT_EQ(std::filesystem::path(ModulePath()).filename(), L"unit_tests.exe");
    try {
        ModulePath(reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x10)));
        FAIL() << "no exception for a handle of no module";
    } catch (const std::system_error& error) {
        EXPECT_NE(error.code().value(), 0);
    }
    // A library deeper than MAX_PATH is named whole.
    const ScratchFolder folder;
    const std::wstring copy = Tessaro::Testing::DeepFolder(folder, 2 * MAX_PATH) + L"\\signedprobe.dll";
    ASSERT_TRUE(CopyFileW((Tessaro::Testing::TestProgramFolder() + L"signedprobe.dll").c_str(), copy.c_str(), TRUE));
    const HMODULE library = LoadLibraryW(copy.c_str());
    if (library == nullptr && GetLastError() == ERROR_FILENAME_EXCED_RANGE) {
        GTEST_SKIP() << "this Windows loads no library from so deep a path: long paths are not enabled";
    }
    ASSERT_NE(library, nullptr) << GetLastError();
    const std::wstring named = ModulePath(library);
    FreeLibrary(library);
    EXPECT_EQ(std::filesystem::path(named).filename(), L"signedprobe.dll") << named.size();
}

TEST(FileSystemTest, ParentFolderStopsAtTheRootOfEveryForm)
{
    struct Case {
        std::wstring path;
        std::wstring parent;
    };
    const Case cases[] = {
        {L"\\\\?\\C:\\a\\b\\file.log", L"\\\\?\\C:\\a\\b"},
        {L"\\\\?\\C:\\a\\", L"\\\\?\\C:\\"},
        {L"\\\\?\\C:\\", {}},
        {L"\\\\?\\C:", {}},
        {L"\\??\\C:\\a", L"\\??\\C:\\"},
        {L"C:\\a\\\\b", L"C:\\a"},
        {L"C:\\", {}},
        {L"C:\\a", L"C:\\"},
        {L"\\a", L"\\"},
        {L"C:a\\b", L"C:a"},
        {L"\\\\?\\UNC\\server\\share\\a", L"\\\\?\\UNC\\server\\share\\"},
        {L"\\\\?\\UNC\\server\\share", {}},
        {L"\\\\server\\share\\a\\b", L"\\\\server\\share\\a"},
        {L"\\\\server\\share", {}},
        {L"\\\\?\\Volume{0a1b2c3d-0000-0000-0000-000000000000}\\a",
         L"\\\\?\\Volume{0a1b2c3d-0000-0000-0000-000000000000}\\"},
        {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\a", L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\"},
        {L"\\\\.\\GLOBALROOT\\Device\\HarddiskVolume2\\a", L"\\\\.\\GLOBALROOT\\Device\\HarddiskVolume2\\"},
        {L"relative\\file", L"relative"},
        {L"file", {}},
    };
    for (const auto& [path, parent] : cases) {
        EXPECT_EQ(ParentFolder(path).native(), parent) << std::filesystem::path(path).string();
    }
}

}  // namespace
