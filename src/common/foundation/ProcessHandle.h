#pragma once

namespace Tessaro::Vantrel::Common::Utilities {

// Owns one process handle (null when none is held) and closes it when the owner ends.
class ProcessHandle {
public:
    explicit ProcessHandle(void* handle = nullptr) noexcept : handle_(handle) {}
    ~ProcessHandle();

    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    void* Get() const noexcept { return handle_; }

private:
    void* handle_;
};

}  // namespace Tessaro::Vantrel::Common::Utilities
