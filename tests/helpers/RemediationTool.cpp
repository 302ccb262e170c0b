// remediationtool.exe: a stand-in for a product's remediation tool. It writes to
// remediation_state.txt beside itself, a line each, the state of its own debug privilege
// ("enabled", "disabled" or "absent"), the folder it was started in and the number of processes
// attached to its console; then it appends the command line it was started with, as one UTF-8
// line, to remediation_calls.txt beside itself, and ends.

#include "common/foundation/FileSystem.h"
#include "common/foundation/StringConversion.h"
#include "common/foundation/WinHandle.h"

#include <windows.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// What the program that started this one left it of the debug privilege.
const char* DebugPrivilegeState()
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return "unknown";
    }
    const Tessaro::WinHandle token(rawToken);
    LUID debug{};
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenPrivileges, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (!LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &debug) || size == 0 ||
        !GetTokenInformation(token.Get(), TokenPrivileges, buffer.data(), size, &size)) {
        return "unknown";
    }
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD index = 0; index < privileges->PrivilegeCount; ++index) {
        const auto& entry = privileges->Privileges[index];
        if (entry.Luid.LowPart == debug.LowPart && entry.Luid.HighPart == debug.HighPart) {
            return (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0 ? "enabled" : "disabled";
        }
    }
    return "absent";
}

}  // namespace

int wmain()
{
    std::wstring folder = Tessaro::Vantrel::Common::Utilities::ModulePath();
    folder = folder.substr(0, folder.find_last_of(L'\\') + 1);
    // The state first: a caller that sees the call line finds the state file complete.
    bool written = false;
    {
        std::array<wchar_t, MAX_PATH> current{};
        const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data());
        // How many processes share this one's console: 1 in a console of its own, 0 without one.
        std::array<DWORD, 8> processes{};
        std::ofstream state(std::filesystem::path(folder + L"remediation_state.txt"), std::ios::binary);
        state << DebugPrivilegeState() << "\n"
              << Tessaro::Utf16ToUtf8(std::wstring(current.data(), length)) << "\n"
              << GetConsoleProcessList(processes.data(), static_cast<DWORD>(processes.size())) << "\n";
        written = static_cast<bool>(state);
    }
    std::ofstream calls(std::filesystem::path(folder + L"remediation_calls.txt"), std::ios::binary | std::ios::app);
    calls << Tessaro::Utf16ToUtf8(GetCommandLineW()) << "\n";
    return written && calls ? 0 : 1;
}
