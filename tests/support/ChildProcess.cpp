#include "support/ChildProcess.h"
#include "common/foundation/FileSystem.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace Tessaro::Testing {

std::wstring TestProgramFolder()
{
    const std::wstring path = Vantrel::Common::Utilities::ModulePath();
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

ChildProcess::ChildProcess(const std::wstring& program, const std::wstring& arguments, std::uint32_t creationFlags)
{
    // A program without a drive is one of ours, beside the test executable.
    const std::wstring path = program.find(L':') != std::wstring::npos ? program : TestProgramFolder() + program;
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, creationFlags, nullptr, nullptr, &startup,
                        &information)) {
        ADD_FAILURE() << "could not start " << std::string(program.begin(), program.end()) << ": " << GetLastError();
        return;
    }
    process_ = information.hProcess;
    thread_ = information.hThread;
    id_ = information.dwProcessId;
}

ChildProcess::~ChildProcess()
{
    if (process_ != nullptr) {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 10'000);
        }
        CloseHandle(process_);
    }
    if (thread_ != nullptr) {
        CloseHandle(thread_);
    }
}

std::uint32_t ChildProcess::WaitForExit()
{
    if (process_ == nullptr || WaitForSingleObject(process_, 60'000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "child did not end";
        return 0xFFFFFFFF;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

}  // namespace Tessaro::Testing
