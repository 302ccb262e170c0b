#include "e2e/AgentProcess.h"

#include "common/foundation/WinHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

namespace Tessaro::Testing {

namespace {

constexpr DWORD ProcessTimeoutMilliseconds = 60'000;
constexpr std::uint32_t NoExitCode = 0xFFFFFFFF;

std::uint32_t WaitForExit(const PROCESS_INFORMATION& information)
{
    const auto process = WinHandle::Create(information.hProcess);
    const auto thread = WinHandle::Create(information.hThread);
    if (WaitForSingleObject(process->Get(), ProcessTimeoutMilliseconds) != WAIT_OBJECT_0) {
        TerminateProcess(process->Get(), NoExitCode);
        ADD_FAILURE() << "ravelin.exe did not end within " << ProcessTimeoutMilliseconds << " ms";
        return NoExitCode;
    }
    DWORD exitCode = NoExitCode;
    EXPECT_TRUE(GetExitCodeProcess(process->Get(), &exitCode));
    return exitCode;
}

}  // namespace

std::wstring AgentExecutablePath()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    std::wstring path(buffer.data(), length);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"ravelin.exe";
}

std::uint32_t RunAgentProcess(const std::wstring& arguments, const std::wstring& executable)
{
    std::wstring commandLine = L"\"" + executable + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &information)) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        return NoExitCode;
    }
    return WaitForExit(information);
}

}  // namespace Tessaro::Testing
