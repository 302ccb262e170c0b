#include "common/foundation/WinHandle.h"

#include <windows.h>

#include <utility>

namespace Tessaro {

WinHandle::WinHandle(Handle handle, CloseFunction close) : handle_(handle), close_(std::move(close)) {}

WinHandle::WinHandle(Handle handle)
    : WinHandle(handle, [](Handle owned) { return static_cast<int>(CloseHandle(owned)); })
{
}

WinHandle::~WinHandle()
{
    if (IsValid() && close_) {
        close_(handle_);
    }
    handle_ = nullptr;
}

bool WinHandle::IsValid() const noexcept
{
    return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
}

std::shared_ptr<WinHandle> WinHandle::Create(Handle handle)
{
    return std::make_shared<WinHandle>(handle);
}

}  // namespace Tessaro
