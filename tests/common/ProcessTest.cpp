#include "common/Process.h"
#include "support/ChildProcess.h"
#include "support/Platform.h"
#include "support/ProcessToken.h"
#include "common/foundation/ProcessHandle.h"
#include "common/foundation/WinHandle.h"

#include <gtest/gtest.h>
#include <windows.h>
// The security calls need the declarations of windows.h first.
#include <aclapi.h>
#include <tlhelp32.h>

#include <filesystem>

namespace {

using Tessaro::Testing::ChildProcess;
using Tessaro::Testing::RunningAsSystem;
using Tessaro::Testing::RunningUnderWine;
using Tessaro::Testing::TestProgramFolder;
using Tessaro::Vantrel::Common::Utilities::FileInfo;
using Tessaro::Vantrel::Common::Utilities::IsSamePath;
using Tessaro::Vantrel::Common::Utilities::Process;
using Tessaro::Vantrel::Common::Utilities::ProcessHandle;
using Tessaro::Vantrel::Common::Utilities::ProcessStartInfo;

// The current process runs and names its image; a child names its parent; an ended process does not
// run; an identifier that names no process fails with 87.
TEST(ProcessTest, RunningEndedAndUnknownProcesses)
{
    const auto current = Process::GetCurrent();
    ASSERT_TRUE(current.Succeeded());
    EXPECT_EQ(current.Value()->GetId(), GetCurrentProcessId());
    EXPECT_TRUE(current.Value()->IsRunning());

    {
        ChildProcess child(L"logwriter.exe", L"NUL 0 0", CREATE_SUSPENDED);
        const auto opened = Process::OpenById(child.Id());
        ASSERT_TRUE(opened.Succeeded()) << opened.Message();
        const auto parent = opened.Value()->GetParentProcess();
        ASSERT_TRUE(parent.Succeeded()) << parent.Message();
        EXPECT_EQ(parent.Value()->GetId(), GetCurrentProcessId());
    }
    ChildProcess ended(L"logwriter.exe", L"NUL 0 0");
    const auto opened = Process::OpenById(ended.Id());
    ASSERT_TRUE(opened.Succeeded());
    ended.WaitForExit();
    EXPECT_FALSE(opened.Value()->IsRunning());
    // Process ids are multiples of four; this one is far beyond any the test platform hands out.
    const auto missing = Process::OpenById(0x7FFFFFF0);
    EXPECT_EQ(missing.ErrorCode(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(missing.Message().rfind("Unable to open the process handle for 2147483632 (", 0), 0u)
        << missing.Message();
    EXPECT_TRUE(Process(0x7FFFFFF0, nullptr, nullptr).IsRunning()) << "nothing to ask: taken to run";

    // A suspended child has no loaded modules yet; the running test itself has.
    const auto image = current.Value()->GetImagePath();
    ASSERT_TRUE(image.Succeeded()) << image.Message();
    EXPECT_TRUE(IsSamePath(image.Value(), FileInfo(TestProgramFolder() + L"unit_tests.exe")));

    // A process handle held is closed with its owner.
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    {
        const ProcessHandle held(duplicate);
    }
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(duplicate, &flags));
}

// A protected process refuses the full query on Windows even to SYSTEM; its image is asked with
// limited access, which also names a process that has loaded no module yet. The name is the one
// the system keeps, given as text only: its creator chose it, so no file call may follow it.
TEST(ProcessTest, ProcessThatRefusesTheFullQueryIsNamedThroughTheLimitedOne)
{
    if (RunningAsSystem()) {
        GTEST_SKIP() << "LocalSystem's debug privilege passes any process's access list; the protected "
                        "process test shows the refusal";
    }
    ChildProcess child(L"logwriter.exe", L"NUL 0 0", CREATE_SUSPENDED);
    const Process suspended(child.Id(), nullptr, nullptr);
    const FileInfo expected(TestProgramFolder() + L"logwriter.exe");

    // Everyone, the test's own account among them, may now only synchronise and query limited.
    Tessaro::Testing::SetAccessList(child.Handle(), SE_KERNEL_OBJECT, L"D:P(A;;0x101000;;;WD)");
    const auto full = Process::OpenProcessHandle(child.Id(), PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    ASSERT_EQ(full.ErrorCode(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED)) << "the full query is refused";
    const auto image = suspended.GetImagePath();
    ASSERT_TRUE(image.Succeeded()) << image.Message();
    EXPECT_TRUE(IsSamePath(image.Value(), expected)) << image.Value().Utf8();
    EXPECT_TRUE(image.Value().IsTextOnly());
    EXPECT_TRUE(image.Value().SystemCallPath().empty());
}

// A privilege the system does not know is never reported set; one it knows is, even where the token
// does not hold it (the system then says only that not all were set).
TEST(ProcessTest, OnlyPrivilegesTheSystemKnowsAreSet)
{
    EXPECT_FALSE(Process::SetPrivilege(L"SeNoSuchPrivilege", true));
    EXPECT_TRUE(Process::SetPrivilege(L"SeRestorePrivilege", false));
}

// On Windows csrss.exe is a protected process: it refuses the full query even to an administrator,
// and the agent names it through the limited one.
TEST(ProcessTest, ProtectedProcessIsNamedThroughTheLimitedQuery)
{
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine has no protected processes (the access list test shows the refusal instead)";
    }
    const auto snapshot = Tessaro::WinHandle::Create(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    DWORD csrss = 0;
    for (BOOL more = Process32FirstW(snapshot->Get(), &entry); more && csrss == 0;
         more = Process32NextW(snapshot->Get(), &entry)) {
        csrss = _wcsicmp(entry.szExeFile, L"csrss.exe") == 0 ? entry.th32ProcessID : 0;
    }
    ASSERT_NE(csrss, 0u) << "no csrss.exe among the processes";
    EXPECT_EQ(Process::OpenProcessHandle(csrss, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ).ErrorCode(),
              static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    const auto image = Process(csrss, nullptr, nullptr).GetImagePath();
    ASSERT_TRUE(image.Succeeded()) << image.Message();
    EXPECT_EQ(_wcsicmp(std::filesystem::path(image.Value().NormalizedPath()).filename().c_str(), L"csrss.exe"), 0)
        << image.Value().Utf8();
}

TEST(ProcessTest, LaunchQuotesThePathAndPassesTheArguments)
{
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    for (const bool useReceivedPath : {true, false}) {
        SCOPED_TRACE(useReceivedPath);
        ProcessStartInfo start{FileInfo(std::wstring(system) + L"\\cmd.exe"), "/c exit 7", 0, false, {}};
        const auto launched = Process::LaunchProcess(start, useReceivedPath);
        ASSERT_TRUE(launched.Succeeded()) << launched.Message();
        ASSERT_EQ(WaitForSingleObject(launched.Value()->GetHandle(), 60'000), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(launched.Value()->GetHandle(), &code);
        EXPECT_EQ(code, 7u);
        EXPECT_FALSE(launched.Value()->IsRunning());
    }
    const auto missing = Process::LaunchProcess({FileInfo(L"C:\\missing\\tool.exe"), "", 0, false, {}}, false);
    EXPECT_TRUE(missing.ErrorCode() == ERROR_PATH_NOT_FOUND || missing.ErrorCode() == ERROR_FILE_NOT_FOUND)
        << missing.Message();
}

}  // namespace
