#include "support/HeldLogTurn.h"
#include "common/foundation/WinHandle.h"

#include <windows.h>

namespace Tessaro::Testing {

namespace {

// True once somebody else holds the first byte: taking it without waiting then fails.
bool LockedByOther(const std::wstring& lockFile)
{
    const WinHandle file(CreateFileW(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    OVERLAPPED region{};
    const bool taken = LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &region);
    if (taken) {
        UnlockFileEx(file.Get(), 0, 1, 0, &region);
    }
    return !taken;
}

}  // namespace

HeldLogTurn::HeldLogTurn(const std::wstring& lockFile) : holder_(L"lockholder.exe", L"\"" + lockFile + L"\"")
{
    for (int attempt = 0; attempt < 1000 && !held_; ++attempt) {
        held_ = LockedByOther(lockFile);
        if (!held_) {
            Sleep(10);
        }
    }
}

}  // namespace Tessaro::Testing
