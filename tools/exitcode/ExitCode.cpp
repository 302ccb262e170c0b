// exitcode.exe PROGRAM [ARGUMENTS...]
// Runs PROGRAM (looked up beside exitcode.exe when the name has no folder) with the arguments
// exactly as written, waits for it and prints its whole Windows exit code with the system's
// text. A Unix shell sees only the low 8 bits of a Windows exit code; this shows all of it.

#include "common/foundation/WinHandle.h"
#include "common/foundation/SystemErrorText.h"
#include "common/foundation/FileSystem.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// Splits off the first token of a command line, following the system's quoting of a program name.
std::wstring TakeProgramToken(const wchar_t*& cursor)
{
    while (*cursor == L' ' || *cursor == L'\t') {
        ++cursor;
    }
    std::wstring token;
    if (*cursor == L'"') {
        ++cursor;
        while (*cursor != L'\0' && *cursor != L'"') {
            token += *cursor++;
        }
        if (*cursor == L'"') {
            ++cursor;
        }
    } else {
        while (*cursor != L'\0' && *cursor != L' ' && *cursor != L'\t') {
            token += *cursor++;
        }
    }
    if (*cursor == L' ' || *cursor == L'\t') {
        ++cursor;
    }
    return token;
}

std::wstring ResolveBesideThisProgram(const std::wstring& program)
{
    if (program.find_first_of(L"\\/:") != std::wstring::npos) {
        return program;
    }
    const std::wstring self = Tessaro::Vantrel::Common::Utilities::ModulePath();
    return self.substr(0, self.find_last_of(L"\\/") + 1) + program;
}

}  // namespace

int wmain()
{
    const wchar_t* cursor = GetCommandLineW();
    TakeProgramToken(cursor);
    const std::wstring program = TakeProgramToken(cursor);
    if (program.empty()) {
        std::fputs("usage: exitcode PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    const std::wstring path = ResolveBesideThisProgram(program);
    std::wstring commandLine = L"\"" + path + L"\"";
    if (*cursor != L'\0') {
        commandLine += L" ";
        commandLine += cursor;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information{};
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &information)) {
        const DWORD error = GetLastError();
        std::printf("could not start it: %lu (%s)\n", error, Tessaro::Vantrel::Common::SystemErrorText(error).c_str());
        return 1;
    }
    const auto process = Tessaro::WinHandle::Create(information.hProcess);
    const auto thread = Tessaro::WinHandle::Create(information.hThread);
    WaitForSingleObject(process->Get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process->Get(), &exitCode);
    std::printf("exit code %lu (0x%08lX): %s\n", exitCode, exitCode,
                Tessaro::Vantrel::Common::SystemErrorText(exitCode).c_str());
    return 0;
}
