#pragma once

#include <functional>
#include <memory>

namespace Tessaro {

// Owns a kernel handle and closes it with its closing function when the owner ends. Null and
// INVALID_HANDLE_VALUE are never passed to the closing function.
class WinHandle {
public:
    using Handle = void*;
    using CloseFunction = std::function<int(Handle)>;

    WinHandle(Handle handle, CloseFunction close);
    // A kernel handle, closed with CloseHandle.
    explicit WinHandle(Handle handle);
    ~WinHandle();

    WinHandle(const WinHandle&) = delete;
    WinHandle& operator=(const WinHandle&) = delete;

    Handle Get() const noexcept { return handle_; }
    bool IsValid() const noexcept;

    // The usual owner: shared, closed with CloseHandle.
    static std::shared_ptr<WinHandle> Create(Handle handle);

private:
    Handle handle_;
    CloseFunction close_;
};

}  // namespace Tessaro
