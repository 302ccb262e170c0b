#include "support/ProcessToken.h"

#include "common/foundation/WinHandle.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <cstdint>
#include <vector>

namespace Tessaro::Testing {

std::wstring TokenSidText(TOKEN_INFORMATION_CLASS kind)
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return {};
    }
    const WinHandle token(rawToken);
    DWORD size = 0;
    GetTokenInformation(token.Get(), kind, nullptr, 0, &size);
    std::vector<std::uint8_t> buffer(size);
    if (size == 0 || !GetTokenInformation(token.Get(), kind, buffer.data(), size, &size)) {
        return {};
    }
    // TOKEN_USER and TOKEN_OWNER both begin with the SID (the user's inside its attributes).
    const PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                       : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return {};
    }
    std::wstring result(text);
    LocalFree(text);
    return result;
}

std::vector<std::uint8_t> SidBytes(const wchar_t* text)
{
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text, &sid)) {
        ADD_FAILURE() << "no SID";
        return {};
    }
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    std::vector<std::uint8_t> copy(bytes, bytes + GetLengthSid(sid));
    LocalFree(sid);
    return copy;
}

}  // namespace Tessaro::Testing
