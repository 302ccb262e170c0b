#pragma once

#include "common/FileInfo.h"
#include "common/foundation/ProcessHandle.h"
#include "diagnostics/Result.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Tessaro::Vantrel::Common::Utilities {

struct ProcessStartInfo {
    FileInfo executable;
    std::string arguments;  // UTF-8
    std::uint32_t creationFlags = 0;
    bool inheritHandles = false;
    // The started program's current folder; empty: the caller's own.
    std::wstring workingFolder;
};

// One process of the machine by its id, with owned handles to it and its main thread where the
// operation that made it has them. Always held through a shared pointer.
class Process {
public:
    using Pointer = std::shared_ptr<Process>;

    Process(std::uint32_t id, std::shared_ptr<ProcessHandle> thread, std::shared_ptr<ProcessHandle> process);

    static Result<Pointer> GetCurrent();
    // Opens for synchronisation and limited query, with the debug privilege enabled for the open
    // alone. An id that names no process fails with 87.
    static Result<Pointer> OpenById(std::uint32_t id);
    // Starts "<quoted path> <arguments>"; the path is the received one or the system-call form.
    static Result<Pointer> LaunchProcess(const ProcessStartInfo& startInfo, bool useReceivedPath);
    static Result<std::shared_ptr<ProcessHandle>> OpenProcessHandle(std::uint32_t id, std::uint32_t access);
    static bool SetPrivilege(const std::wstring& privilegeName, bool enable);

    std::uint32_t GetId() const noexcept { return id_; }
    void* GetHandle() const noexcept { return process_ != nullptr ? process_->Get() : nullptr; }
    Result<Pointer> GetParentProcess() const;
    // The image path the system keeps for the process (QueryFullProcessImageNameW, limited access),
    // as text only: its creator chose it.
    Result<FileInfo> GetImagePath() const;
    bool IsRunning() const;

private:
    // OpenProcessHandle with the debug privilege enabled for the open alone.
    static Result<std::shared_ptr<ProcessHandle>> OpenWithDebugPrivilege(std::uint32_t id, std::uint32_t access);

    std::uint32_t id_;
    std::shared_ptr<ProcessHandle> thread_;
    std::shared_ptr<ProcessHandle> process_;
};

}  // namespace Tessaro::Vantrel::Common::Utilities
