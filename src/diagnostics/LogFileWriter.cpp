#include "diagnostics/LogFileWriter.h"

#include "diagnostics/TraceChannel.h"

#include "common/foundation/FileSystem.h"
#include "common/foundation/Scoped.h"
#include "common/foundation/TrustedWriters.h"

#include <windows.h>

#include <aclapi.h>

#include <chrono>
#include <limits>
#include <system_error>
#include <utility>
#include <vector>

namespace Tessaro::Vantrel::Common {

namespace {

using Tessaro::RunAccount;
using Utilities::QueryFileStatus;

bool IsOwnFile(HANDLE file)
{
    PSID owner = nullptr;
    Scoped<PSECURITY_DESCRIPTOR> descriptor([](PSECURITY_DESCRIPTOR& value) { LocalFree(value); });
    return GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                           &descriptor.Get()) == ERROR_SUCCESS &&
           LogFileWriter::IsOwnFileOwner(owner);
}

// Opens (creating) a file that others may read, write and rename through, in a folder where other
// users may be able to plant names. A planted symbolic link, junction or mount point is opened as
// itself and refused, as is a file with a second name (a hard link to a file elsewhere) and a file
// that somebody else owns: nothing is ever written through or into any of them. `error` receives
// the open's error, 0 when the file is open.
std::unique_ptr<WinHandle> OpenOwnFile(const std::filesystem::path& path, DWORD access, bool& planted,
                                       std::uint32_t& error)
{
    planted = false;
    error = ERROR_SUCCESS;
    auto file = std::make_unique<WinHandle>(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES | READ_CONTROL,
                                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                        OPEN_ALWAYS,
                                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file->IsValid()) {
        error = GetLastError();
        return nullptr;
    }
    const HANDLE handle = file->Get();
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        information.nNumberOfLinks != 1 || !IsOwnFile(handle)) {
        planted = true;
        return nullptr;
    }
    return file;
}

// Holds the byte-range lock of the lock file for one check-and-write; no lock file, no lock.
//
// The lock is asked for without waiting and asked again for a bounded time: whoever holds it may
// never let go (a suspended agent, anybody who can open the file in a shared folder). When the
// time runs out the line goes out without its turn, since a line that may tear is better than an
// agent that hangs; and the writer does not wait again, so a held lock costs a run one wait.
class CrossProcessTurn {
public:
    CrossProcessTurn(const WinHandle* lockFile, bool& waitRanOut)
    {
        if (lockFile != nullptr && Take(lockFile->Get(), waitRanOut)) {
            lockFile_ = lockFile;
        }
    }
    ~CrossProcessTurn()
    {
        if (lockFile_ != nullptr) {
            // A lock not let go ends with the handle, and the others' wait for it is bounded.
            // NOLINTNEXTLINE(bugprone-unused-return-value): as said above
            UnlockFileEx(lockFile_->Get(), 0, 1, 0, &region_);
        }
    }
    CrossProcessTurn(const CrossProcessTurn&) = delete;
    CrossProcessTurn& operator=(const CrossProcessTurn&) = delete;

private:
    bool Take(HANDLE lockFile, bool& waitRanOut)
    {
        const auto deadline = std::chrono::steady_clock::now() + LogFileWriter::TurnWait;
        for (unsigned attempt = 0;; ++attempt) {
            if (LockFileEx(lockFile, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &region_)) {
                return true;
            }
            if (GetLastError() != ERROR_LOCK_VIOLATION || waitRanOut) {
                return false;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                waitRanOut = true;
                return false;
            }
            // A turn lasts one write: most waits end after a few yields.
            Sleep(attempt < 64 ? 0 : 1);
        }
    }

    const WinHandle* lockFile_ = nullptr;
    OVERLAPPED region_{};
};

}  // namespace

bool LogFileWriter::IsOwnFileOwner(void* ownerSid)
{
    return RunAccount::Current().IsTrustedWriter(ownerSid);
}

LogFileWriter::LogFileWriter(std::filesystem::path path, std::uint32_t maximumSize)
    : maximumSize_(maximumSize), path_(std::move(path))
{
    active_ = true;
    if (!path_.empty()) {
        // A companion that is a planted link means the folder is not ours to write: no log.
        lockFile_ = OpenOwnFile(std::filesystem::path(path_).replace_extension(L".lock"), GENERIC_READ | GENERIC_WRITE,
                                refused_, lockOpenError_);
    }
    const CrossProcessTurn turn(lockFile_.get(), turnWaitRanOut_);
    Open();
    PrepareFileForWrite();
}

std::uint32_t LogFileWriter::OpenError() const noexcept
{
    return lockOpenError_ != ERROR_SUCCESS ? lockOpenError_ : fileOpenError_;
}

void LogFileWriter::Open()
{
    file_.reset();
    if (path_.empty() || refused_) {
        return;
    }
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end of the file.
    bool planted = false;
    file_ = OpenOwnFile(path_, FILE_APPEND_DATA | SYNCHRONIZE, planted, fileOpenError_);
}

std::optional<std::uintmax_t> LogFileWriter::SizeAtPath() const
{
    // One status query per line: the size query also tells whether the file is there.
    const auto status = QueryFileStatus(path_, "file_size");
    if (!status.Exists()) {
        return std::nullopt;
    }
    return status.size;
}

std::filesystem::path LogFileWriter::NextRotationTarget() const
{
    const std::filesystem::path folder = path_.parent_path();
    const std::wstring stem = path_.stem().native();
    for (std::uint32_t number = 1; number < std::numeric_limits<std::uint32_t>::max(); ++number) {
        std::filesystem::path candidate = folder / (stem + L"_" + std::to_wstring(number) + L".log");
        if (!QueryFileStatus(candidate, "exists").Exists()) {
            return candidate;
        }
    }
    return folder / (stem + L"_" + std::to_wstring(std::numeric_limits<std::uint32_t>::max()) + L".log");
}

void LogFileWriter::PrepareFileForWrite()
{
    if (!active_ || path_.empty()) {
        return;
    }
    const auto size = SizeAtPath();
    if (size.has_value() && *size >= maximumSize_) {
        const std::filesystem::path target = NextRotationTarget();
        file_.reset();
        // Never replace an existing file. A failed rename leaves the full file in place and
        // writing goes on there.
        MoveFileExW(path_.c_str(), target.c_str(), 0);  // NOLINT(bugprone-unused-return-value): as said above
        Open();
        return;
    }
    // Within a turn nobody else writes, so a handle whose file differs in size from the one at
    // the path was left behind by another process's rotation (or the file was removed): follow.
    LARGE_INTEGER handleSize{};
    if (file_ == nullptr || !size.has_value() || !GetFileSizeEx(file_->Get(), &handleSize) ||
        static_cast<std::uintmax_t>(handleSize.QuadPart) != *size) {
        Open();
    }
}

void LogFileWriter::Write(const std::string& line)
{
    const CrossProcessTurn turn(lockFile_.get(), turnWaitRanOut_);
    PrepareFileForWrite();
    if (file_ == nullptr || line.empty()) {
        return;
    }
    // A lost or cut line cannot go into the log it failed to reach: it is traced (file message 13,
    // the log's path and the error; a short write as ERROR_WRITE_FAULT).
    DWORD written = 0;
    if (!WriteFile(file_->Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
        TraceFileEvent(13, path_.native(), GetLastError());
    } else if (written != line.size()) {
        TraceFileEvent(13, path_.native(), ERROR_WRITE_FAULT);
    }
}

}  // namespace Tessaro::Vantrel::Common
