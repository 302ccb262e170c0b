#include "common/FileCopy.h"
#include "common/FileInfo.h"
#include "support/LogCapture.h"
#include "support/Platform.h"
#include "support/ScratchFolder.h"
#include "common/RegistryKey.h"
#include "common/foundation/WinHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>

namespace {

using Tessaro::Testing::FileText;
using Tessaro::Testing::LogCapture;
using Tessaro::Testing::RunningUnderWine;
using Tessaro::Testing::ScratchFolder;
using Tessaro::Testing::WriteText;
using namespace Tessaro::Vantrel::Common::Utilities;

// The lines that name a held file's holders, or say why they cannot be named.
std::size_t HolderLines(const LogCapture& capture)
{
    return capture.Count("Failed to get the processes using the file ") +
           capture.Count("Copy failed due to sharing violation for file ");
}

// A destination whose content never matches what was copied.
class AlteredDestination : public FileInfo {
public:
    using FileInfo::FileInfo;
    Tessaro::Vantrel::Common::Result<std::string> CalculateFileHash() const override
    {
        return Tessaro::Vantrel::Common::Result<std::string>(std::string(64, '0'));
    }
};

// A destination whose hash cannot be computed.
class UnreadableDestination : public FileInfo {
public:
    using FileInfo::FileInfo;
    Tessaro::Vantrel::Common::Result<std::string> CalculateFileHash() const override
    {
        return Tessaro::Vantrel::Common::Result<std::string>(5u);
    }
};

TEST(FileCopyTest, Sha256OfKnownContentInUpperCase)
{
    const ScratchFolder folder;
    WriteText(folder.Path() / "empty", "");
    WriteText(folder.Path() / "abc", "abc");
    WriteText(folder.Path() / "large", std::string(5000, 'x'));
    EXPECT_EQ(FileInfo((folder.Path() / "empty").native()).CalculateFileHash().Value(),
              "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    EXPECT_EQ(FileInfo((folder.Path() / "abc").native()).CalculateFileHash().Value(),
              "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    EXPECT_EQ(FileInfo((folder.Path() / "large").native()).CalculateFileHash().Value(),
              "C59D3C0480CC2D71D8F646E735E92DA65450311EEC46E81A5DB8C7E6E8A92054")
        << "read in pieces of 2048 bytes";
    EXPECT_EQ(FileInfo((folder.Path() / "missing").native()).CalculateFileHash().ErrorCode(),
              static_cast<std::uint32_t>(ERROR_NOT_FOUND));
    // One that nobody may read while it is held answers the open's error.
    const Tessaro::WinHandle held(
        CreateFileW((folder.Path() / "held").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(held.IsValid());
    EXPECT_EQ(FileInfo((folder.Path() / "held").native()).CalculateFileHash().ErrorCode(),
              static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
}

TEST(FileCopyTest, ZeroRetriesOrAMissingSourceTouchNothing)
{
    const ScratchFolder folder;
    WriteText(folder.Path() / "source", "content");
    const LogCapture capture;
    EXPECT_EQ(FileInfo((folder.Path() / "source").native())
                  .CopyFileTo(FileInfo((folder.Path() / "sub" / "target").native()), 0, 0),
              static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "sub"));
    // The debug line names the copy; the error line says why nothing happened.
    ASSERT_EQ(capture.Messages().size(), 2u);
    EXPECT_EQ(capture.Messages()[1], "The parameters for the copy are invalid (Retry count: 0)");
    EXPECT_EQ(FileInfo((folder.Path() / "missing").native())
                  .CopyFileTo(FileInfo((folder.Path() / "sub" / "target").native()), 0, 1),
              static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "sub"));
    EXPECT_EQ(capture.Messages().back(), "Copy failed as the source file doesn't exists");
}

// An update copies only over an older target: one as new as the source, or newer, stays.
TEST(FileCopyTest, UpdateReplacesOnlyAnOlderTarget)
{
    const ScratchFolder folder;
    const auto writtenAt = [](const std::filesystem::path& file, std::uint64_t time) {
        const Tessaro::WinHandle handle(
            CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        const FILETIME stamp{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
        ASSERT_TRUE(SetFileTime(handle.Get(), nullptr, nullptr, &stamp));
    };
    constexpr std::uint64_t sourceTime = 133'000'000'000'000'000;  // in 2022
    const struct {
        std::uint64_t targetTime;
        const char* content;
    } cases[] = {{sourceTime - 10'000'000, "new"}, {sourceTime, "old"}, {sourceTime + 10'000'000, "old"}};
    for (const auto& testCase : cases) {
        WriteText(folder.Path() / "source", "new");
        WriteText(folder.Path() / "target", "old");
        writtenAt(folder.Path() / "source", sourceTime);
        writtenAt(folder.Path() / "target", testCase.targetTime);
        EXPECT_EQ(FileInfo((folder.Path() / "source").native())
                      .CopyFileTo(FileInfo((folder.Path() / "target").native()), CopyFlags::UpdateExisting, 1),
                  0u);
        EXPECT_EQ(FileText(folder.Path() / "target"), testCase.content) << testCase.targetTime - sourceTime;
    }
}

// The missing folders on the way are created, also for a target given in long-path form.
TEST(FileCopyTest, ValidatedCopyCreatesTheFoldersAndChecksTheHash)
{
    const ScratchFolder folder;
    WriteText(folder.Path() / "source", "content");
    const FileInfo source((folder.Path() / "source").native());
    const FileInfo target(L"\\\\?\\" + (folder.Path() / "new" / "deeper" / "target").native());
    const LogCapture capture;
    EXPECT_EQ(source.CopyFileTo(target, CopyFlags::ValidateHash, 1), 0u);
    EXPECT_EQ(FileText(folder.Path() / "new" / "deeper" / "target"), "content");
    EXPECT_EQ(capture.Count("Validate the file copy from " + source.Utf8() + " to " + target.Utf8()), 1u);

    WriteText(folder.Path() / "source", "changed");
    EXPECT_NE(source.CopyFileTo(target, 0, 1), 0u) << "no overwrite without the flag";
    EXPECT_EQ(source.CopyFileTo(target, CopyFlags::OverwriteExisting, 1), 0u);
    EXPECT_EQ(FileText(folder.Path() / "new" / "deeper" / "target"), "changed");
    EXPECT_EQ(FileInfo((folder.Path() / "none").native()).CopyFileTo(target, 0, 1),
              static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST(FileCopyTest, DestinationThatDiffersOrCannotBeHashedFailsTheCopy)
{
    const ScratchFolder folder;
    WriteText(folder.Path() / "source", "content");
    const LogCapture capture;
    const AlteredDestination target((folder.Path() / "target").native());
    EXPECT_EQ(FileInfo((folder.Path() / "source").native())
                  .CopyFileTo(target, CopyFlags::OverwriteExisting | CopyFlags::ValidateHash, 2),
              577u);
    EXPECT_EQ(capture.Count("Copy attempt "), 2u);
    EXPECT_EQ(capture.Count("Attempt 2 to copy file "), 1u);
    const auto messages = capture.Messages();
    EXPECT_EQ(messages.back().rfind("Copy failed (Copy: 0 - Validate: 577) for file ", 0), 0u) << messages.back();

    // A destination that cannot be hashed fails the copy with the hash's error.
    EXPECT_EQ(FileInfo((folder.Path() / "source").native())
                  .CopyFileTo(UnreadableDestination((folder.Path() / "target").native()),
                              CopyFlags::OverwriteExisting | CopyFlags::ValidateHash, 1),
              5u);
    EXPECT_EQ(capture.Count("Validate file after copy. Unable to compute hash (Error: 5) of file "), 1u);
}

TEST(FileCopyTest, CopyOntoAFileHeldOpenReportsTheProcessesOrWhyItCannot)
{
    const ScratchFolder folder;
    WriteText(folder.Path() / "source", "content");
    WriteText(folder.Path() / "target", "old");
    auto holder = std::make_unique<Tessaro::WinHandle>(
        CreateFileW((folder.Path() / "target").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder->IsValid());
    const LogCapture capture;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(FileInfo((folder.Path() / "source").native())
                  .CopyFileTo(FileInfo((folder.Path() / "target").native()), CopyFlags::OverwriteExisting, 2),
              static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1)) << "a second between the attempts";
    EXPECT_EQ(capture.Count("Standard file copy from "), 2u);
    EXPECT_EQ(capture.Count("Standard copy failed (Error: 32) for file "), 2u);
    // Each failed copy, each attempt and the copy's end say who holds the file, or why they cannot.
    EXPECT_EQ(HolderLines(capture), 5u);
    // The forced copy through a staging file cannot replace a file nobody may touch either, and
    // it leaves neither the staging file nor a damaged target behind.
    EXPECT_NE(FileInfo((folder.Path() / "source").native())
                  .CopyFileTo(FileInfo((folder.Path() / "target").native()),
                              CopyFlags::OverwriteExisting | CopyFlags::ForcedCopy, 1),
              0u);
    EXPECT_EQ(capture.Count("Forced file copy from "), 1u) << "a sharing violation is what the forced copy is for";
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "target.tmp"));
    EXPECT_EQ(capture.Count("Failed to restore the original file"), 0u) << "the target never moved";
    // Its standard copy, its attempt and its end say who holds the file again; its replacement in
    // place, refused with access denied (not a sharing violation), does not.
    EXPECT_EQ(HolderLines(capture), 8u);
    holder.reset();
    // Windows' Restart Manager names this process, which held the file; Wine's library is
    // unsigned, so the verified loader refuses it and the copy says why it cannot name any.
    if (RunningUnderWine()) {
        EXPECT_GT(capture.Count("Failed to get the processes using the file "), 0u);
    } else {
        const auto messages = capture.Messages();
        const std::string self = "\n    -  Pid " + std::to_string(GetCurrentProcessId()) + " Restartable ";
        EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&self](const std::string& message) {
            return message.find(self) != std::string::npos;
        }));
    }
    EXPECT_EQ(FileText(folder.Path() / "target"), "old");
}

// Another process's names are its own: one that is not valid UTF-16, or that holds a line break,
// still gives one readable entry on its process's line, and never an exception out of a copy.
TEST(FileCopyTest, ReportOfTheProcessesHoldingAFileTakesAnyNames)
{
    RestartManagerProcessInfo hostile;
    hostile.processId = 42;
    hostile.restartable = true;
    hostile.applicationStatus = 1;
    hostile.applicationType = 2;
    hostile.serviceShortName = std::wstring{L's', L'v', L'c', wchar_t(0xD800)};
    hostile.applicationName = L"app\r\n    -  Pid 1 forged";
    hostile.processStartTime = 116'444'736'000'000'000ull;  // 1970-01-01 in FILETIME
    const std::string report = ProcessesUsingFileReport(FileInfo(L"C:\\held.txt"), {hostile});
    EXPECT_EQ(report,
              "Copy failed due to sharing violation for file \\\\?\\C:\\held.txt\n"
              "File is kept open by the following processes:\n"
              "    -  Pid 42 Restartable 1 Status 1 Type 2 Service \"svc\\uD800\" "
              "Process \"app\\r\\n    -  Pid 1 forged\" StartTime 1970-01-01 00:00:00");
    EXPECT_EQ(ProcessesUsingFileReport(FileInfo(L"C:\\held.txt"), {}),
              "Copy failed due to sharing violation for file \\\\?\\C:\\held.txt");
}

// A view of the file mapped into this process: nobody may truncate the file meanwhile (1224), and
// under Wine nobody may replace it either. The view ends when the copy has reached the step the
// test is about.
class MappedFile {
public:
    explicit MappedFile(const std::filesystem::path& path)
    {
        // The view keeps the mapping and the file; their handles are not needed beyond this.
        const Tessaro::WinHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
        const Tessaro::WinHandle mapping(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        view_ = MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0);
    }
    ~MappedFile() { Unmap(); }
    void Unmap()
    {
        if (view_ != nullptr) {
            UnmapViewOfFile(view_);
            view_ = nullptr;
        }
    }
    bool Mapped() const { return view_ != nullptr; }

private:
    void* view_ = nullptr;
};

// The standard copy cannot overwrite a mapped file; the forced copy then replaces it through a
// staging file, in place or, when that is refused too, through a backup swap, and leaves neither
// the staging file nor the backup behind.
TEST(FileCopyTest, ForcedCopyReplacesAFileInPlaceOrThroughABackupSwap)
{
    // The moment the mapping ends: after the standard copy failed, or after the in-place replacement did.
    for (const std::string releaseAt : {"Forced file copy from ", "Replacing "}) {
        SCOPED_TRACE(releaseAt);
        const ScratchFolder folder;
        WriteText(folder.Path() / "source", "new content");
        WriteText(folder.Path() / "target", "old");
        MappedFile mapped(folder.Path() / "target");
        ASSERT_TRUE(mapped.Mapped());
        LogCapture capture;
        capture.OnMessage([&](const std::string& message) {
            if (message.rfind(releaseAt, 0) == 0) {
                mapped.Unmap();
            }
        });
        EXPECT_EQ(FileInfo((folder.Path() / "source").native())
                      .CopyFileTo(FileInfo((folder.Path() / "target").native()),
                                  CopyFlags::OverwriteExisting | CopyFlags::ForcedCopy, 1),
                  0u);
        EXPECT_EQ(FileText(folder.Path() / "target"), "new content");
        EXPECT_FALSE(std::filesystem::exists(folder.Path() / "target.tmp"));
        EXPECT_FALSE(std::filesystem::exists(folder.Path() / "target.old"));
        EXPECT_TRUE(capture.Contains("Forced file copy from " + FileInfo((folder.Path() / "source").native()).Utf8() +
                                     " to " + FileInfo((folder.Path() / "target").native()).Utf8()));
        const auto messages = capture.Messages();
        const bool swapped = std::any_of(messages.begin(), messages.end(), [](const std::string& m) {
            return m.find("replacing it via a backup swap instead") != std::string::npos;
        });
        EXPECT_EQ(swapped, releaseAt == "Replacing ");
        EXPECT_EQ(capture.Count("Create file failed"), 0u) << "the staging file is opened to be flushed";
        EXPECT_EQ(capture.Count("Failed to flush the staging file"), 0u);
        EXPECT_EQ(HolderLines(capture), 0u) << "a mapped file is no sharing violation: nobody is named";
    }
}

// A staging name that cannot be written (a folder holds it) ends the forced copy with the copy's
// failure, never success, and the target as it was; without the forced flag none is tried.
TEST(FileCopyTest, ForcedCopyWithoutAStagingFileFails)
{
    const ScratchFolder folder;
    WriteText(folder.Path() / "source", "new content");
    WriteText(folder.Path() / "target", "old");
    std::filesystem::create_directory(folder.Path() / "target.tmp");
    MappedFile mapped(folder.Path() / "target");
    ASSERT_TRUE(mapped.Mapped());
    const LogCapture capture;
    // Without being asked for, no forced copy is tried: the standard copy's refusal is the answer.
    EXPECT_NE(FileInfo((folder.Path() / "source").native())
                  .CopyFileTo(FileInfo((folder.Path() / "target").native()), CopyFlags::OverwriteExisting, 1),
              0u);
    EXPECT_EQ(capture.Count("Forced file copy from "), 0u);
    EXPECT_NE(FileInfo((folder.Path() / "source").native())
                  .CopyFileTo(FileInfo((folder.Path() / "target").native()),
                              CopyFlags::OverwriteExisting | CopyFlags::ForcedCopy, 1),
              0u);
    EXPECT_EQ(capture.Count("Copy to the staging file "), 1u);
    mapped.Unmap();
    EXPECT_EQ(FileText(folder.Path() / "target"), "old");
}

// The pending deletions Windows carries out at its next start, as "\??\" paths.
std::vector<std::wstring> PendingRemovals()
{
    std::vector<std::wstring> entries;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                      &opened) != ERROR_SUCCESS) {
        return entries;
    }
    const Tessaro::Vantrel::Common::Utilities::KeyHandle key(opened);
    std::wstring text(32768, L'\0');
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), L"PendingFileRenameOperations", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(text.data()), &size) == ERROR_SUCCESS) {
        text.resize(size / sizeof(wchar_t));
        for (std::size_t start = 0; start < text.size();) {
            const auto end = text.find(L'\0', start);
            entries.push_back(text.substr(start, end - start));
            start = end == std::wstring::npos ? text.size() : end + 1;
        }
    }
    return entries;
}

TEST(FileCopyTest, NativeOpenAndRemovalAtNextRestart)
{
    const ScratchFolder folder;
    WriteText(folder.Path() / "file", "x");
    long status = -1;
    const auto opened = CreateFileNative(FileInfo((folder.Path() / "file").native()), GENERIC_READ | SYNCHRONIZE,
                                         FILE_SHARE_READ, 1, 32, status);
    EXPECT_TRUE(opened->IsValid());
    EXPECT_EQ(status, 0);

    const LogCapture capture;
    const auto missing = CreateFileNative(FileInfo((folder.Path() / "missing").native()), GENERIC_READ | SYNCHRONIZE,
                                          FILE_SHARE_READ, 1, 32, status);
    EXPECT_FALSE(missing->IsValid());
    EXPECT_EQ(static_cast<std::uint32_t>(status), 0xC0000034u) << "STATUS_OBJECT_NAME_NOT_FOUND";
    ASSERT_EQ(capture.Messages().size(), 1u);
    EXPECT_EQ(capture.Messages()[0].rfind("Create file failed with: (Error Status: 0xC0000034: ", 0), 0u);

    const FileInfo file((folder.Path() / "file").native());
    EXPECT_EQ(RemoveAtNextReboot(file), 0u);
    EXPECT_TRUE(capture.Contains("Remove at next reboot for " + file.Utf8()));
    const auto pending = PendingRemovals();
    EXPECT_NE(std::find(pending.begin(), pending.end(), file.NativePath()), pending.end())
        << "the file is on the list of the next start";
    // Taken off again: the prefix's next start must not delete anything of the test's.
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                       L"PendingFileRenameOperations");
    // A removal the system refuses says so, with its error (a path of nothing, the one refusal
    // Wine makes: 3).
    EXPECT_EQ(RemoveAtNextReboot(FileInfo(L"")), 3u);
    EXPECT_TRUE(capture.Contains("Remove at next reboot for  failed (Error 3)"));
}

}  // namespace
