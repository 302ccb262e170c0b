// orphaninglauncher.exe CALLER-PID PROGRAM [ARGUMENTS...]
// Starts PROGRAM suspended, hands its main thread to the calling process and ends: the caller
// resumes the program once its parent is gone, as when a product's component starts the agent and
// exits at once. The exit code is the thread handle's value in the caller (0 on failure).

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        return 0;
    }
    std::wstring commandLine = L"\"" + std::wstring(argv[2]) + L"\"";
    for (int index = 3; index < argc; ++index) {
        commandLine += L" " + std::wstring(argv[index]);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(argv[2], commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &started)) {
        return 0;
    }
    const HANDLE caller =
        OpenProcess(PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10)));
    HANDLE handed = nullptr;
    DuplicateHandle(GetCurrentProcess(), started.hThread, caller, &handed, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return static_cast<int>(reinterpret_cast<std::uintptr_t>(handed));
}
