// Makes the C runtime of the test executables answer path queries as it does on Windows.
//
// On Windows msvcrt's _wstat64 refuses every path that contains '?' or '*' and reports it missing,
// so std::filesystem (which asks _wstat64) sees no "\\?\" path at all. Wine's msvcrt answers such
// paths, which would let product code that leans on the C runtime pass here and fail on every
// real machine. libstdc++ calls _wstat64 through its import slot; defining that slot here puts
// Windows' rule in front of Wine's function for everything linked into the test executable.

#include <windows.h>
// The stat declarations need the declarations of windows.h first.
#include <sys/stat.h>

#include <cerrno>
#include <cwchar>

namespace {

using StatFunction = int(__cdecl*)(const wchar_t*, struct _stat64*);

int __cdecl StatAsOnWindows(const wchar_t* path, struct _stat64* buffer)
{
    if (path != nullptr && std::wcspbrk(path, L"?*") != nullptr) {
        errno = ENOENT;
        return -1;
    }
    static const auto runtimeStat = reinterpret_cast<StatFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "_wstat64")));
    return runtimeStat(path, buffer);
}

}  // namespace

// The import slot's name, as the linker knows it.
extern "C" {
extern StatFunction __imp__wstat64;
StatFunction __imp__wstat64 = &StatAsOnWindows;
}
