#pragma once

#include <cstdint>
#include <string>

namespace Tessaro::Testing {

// A process started from a program beside the test executable; terminated if still running at
// the end. Its handle stays open, so its id is not reused while the test runs.
class ChildProcess {
public:
    ChildProcess(const std::wstring& program, const std::wstring& arguments, std::uint32_t creationFlags = 0);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::uint32_t Id() const { return id_; }
    void* Handle() const { return process_; }
    std::uint32_t WaitForExit();

private:
    void* process_ = nullptr;
    void* thread_ = nullptr;
    std::uint32_t id_ = 0;
};

// The folder of the running test executable, with a trailing backslash.
std::wstring TestProgramFolder();

}  // namespace Tessaro::Testing
