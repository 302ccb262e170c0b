#include "support/Platform.h"

#include "common/foundation/WinHandle.h"
#include "support/ProcessToken.h"

#include <windows.h>

namespace Tessaro::Testing {

bool RunningUnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

bool RunningElevated()
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return false;
    }
    const WinHandle token(rawToken);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

bool RunningAsSystem()
{
    return TokenSidText(TokenUser) == L"S-1-5-18";
}

}  // namespace Tessaro::Testing
