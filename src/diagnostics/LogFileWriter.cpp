#include "diagnostics/LogFileWriter.h"

#include "common/FileSystem.h"

#include <windows.h>

#include <limits>
#include <system_error>
#include <utility>

namespace Tessaro::Vantrel::Common {

namespace {

using Utilities::QueryFileStatus;

std::unique_ptr<WinHandle> OpenShared(const std::filesystem::path& path, DWORD access)
{
    HANDLE handle = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return std::make_unique<WinHandle>(handle, [](WinHandle::Handle owned) { return CloseHandle(owned); });
}

// Holds the byte-range lock of the lock file for one check-and-write; no lock file, no lock.
class CrossProcessTurn {
public:
    explicit CrossProcessTurn(const WinHandle* lockFile) : lockFile_(lockFile)
    {
        if (lockFile_ != nullptr && !LockFileEx(lockFile_->Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &region_)) {
            lockFile_ = nullptr;
        }
    }
    ~CrossProcessTurn()
    {
        if (lockFile_ != nullptr) {
            UnlockFileEx(lockFile_->Get(), 0, 1, 0, &region_);
        }
    }
    CrossProcessTurn(const CrossProcessTurn&) = delete;
    CrossProcessTurn& operator=(const CrossProcessTurn&) = delete;

private:
    const WinHandle* lockFile_;
    OVERLAPPED region_{};
};

}  // namespace

LogFileWriter::LogFileWriter(std::filesystem::path path, std::uint32_t maximumSize)
    : maximumSize_(maximumSize), path_(std::move(path))
{
    active_ = true;
    if (!path_.empty()) {
        lockFile_ = OpenShared(std::filesystem::path(path_).replace_extension(L".lock"), GENERIC_READ | GENERIC_WRITE);
    }
    const CrossProcessTurn turn(lockFile_.get());
    Open();
    PrepareFileForWrite();
}

void LogFileWriter::Open()
{
    file_.reset();
    if (path_.empty()) {
        return;
    }
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end of the file.
    file_ = OpenShared(path_, FILE_APPEND_DATA | SYNCHRONIZE);
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
        MoveFileExW(path_.c_str(), target.c_str(), 0);
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
    const CrossProcessTurn turn(lockFile_.get());
    PrepareFileForWrite();
    if (file_ == nullptr || line.empty()) {
        return;
    }
    DWORD written = 0;
    WriteFile(file_->Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace Tessaro::Vantrel::Common
