#include "support/ProcessToken.h"

#include "common/Process.h"
#include "common/RegistryKey.h"
#include "common/foundation/WinHandle.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <cstdint>
#include <functional>
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

namespace {

void ApplyAccessList(const std::wstring& sddl, const std::function<DWORD(SECURITY_INFORMATION, PACL)>& apply)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION : 0);
    EXPECT_EQ(apply(what, list), static_cast<DWORD>(ERROR_SUCCESS)) << std::filesystem::path(sddl).string();
    LocalFree(descriptor);
}

}  // namespace

void SetAccessList(HANDLE object, SE_OBJECT_TYPE type, const std::wstring& sddl)
{
    ApplyAccessList(sddl, [&](SECURITY_INFORMATION what, PACL list) {
        return SetSecurityInfo(object, type, what, nullptr, nullptr, list, nullptr);
    });
}

void SetAccessList(const std::filesystem::path& path, const std::wstring& sddl)
{
    ApplyAccessList(sddl, [&](SECURITY_INFORMATION what, PACL list) {
        return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, what, nullptr, nullptr, list,
                                     nullptr);
    });
}

void SetKeyOwner(const std::wstring& path, const wchar_t* owner)
{
    HKEY opened = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, WRITE_OWNER, &opened), ERROR_SUCCESS);
    const Vantrel::Common::Utilities::KeyHandle key(opened);
    // Windows takes an owner other than oneself only with the restore privilege.
    Vantrel::Common::Utilities::Process::SetPrivilege(L"SeRestorePrivilege", true);
    auto sid = SidBytes(owner);
    EXPECT_EQ(
        SetSecurityInfo(opened, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, sid.data(), nullptr, nullptr, nullptr),
        static_cast<DWORD>(ERROR_SUCCESS));
    Vantrel::Common::Utilities::Process::SetPrivilege(L"SeRestorePrivilege", false);
}

}  // namespace Tessaro::Testing
