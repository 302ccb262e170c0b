#include "support/ScratchRegistryKey.h"

#include "common/foundation/NativeApi.h"

#include <windows.h>

// The security descriptor conversions need the declarations of windows.h first.
#include <sddl.h>

#include <atomic>

namespace Tessaro::Testing {

using Vantrel::Common::Utilities::KeyHandle;
using Vantrel::Common::Utilities::RegistryKey;

std::uint32_t SetKeyAccessList(const std::wstring& path, const wchar_t* sddl)
{
    HKEY opened = nullptr;
    if (const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, WRITE_DAC, &opened);
        status != ERROR_SUCCESS) {
        return static_cast<std::uint32_t>(status);
    }
    const KeyHandle key(opened);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return GetLastError();
    }
    const LSTATUS status = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return static_cast<std::uint32_t>(status);
}

::testing::AssertionResult CreateRegistryLink(const std::wstring& path, const std::wstring& target)
{
    HKEY created = nullptr;
    if (const auto code =
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &created, nullptr);
        code != ERROR_SUCCESS) {
        return ::testing::AssertionFailure() << "creating the link failed with " << code;
    }
    const KeyHandle link(created);
    if (const auto code =
            RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                           static_cast<DWORD>(target.size() * sizeof(wchar_t)));
        code != ERROR_SUCCESS) {
        return ::testing::AssertionFailure() << "naming the link's target failed with " << code;
    }
    return ::testing::AssertionSuccess();
}

void DeleteRegistryLink(const std::wstring& path)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK, DELETE | KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS) {
        return;
    }
    const KeyHandle key(opened);
    DWORD type = 0;
    if (RegQueryValueExW(opened, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
        type == REG_LINK) {
        NtDeleteKey(opened);
    }
}

ScratchRegistryKey::ScratchRegistryKey()
{
    static std::atomic<unsigned> counter{0};
    path_ = L"SOFTWARE\\RavelinTests\\" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
    HKEY created = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr);
    const KeyHandle owner(created);
}

ScratchRegistryKey::~ScratchRegistryKey()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str());
}

std::shared_ptr<RegistryKey> ScratchRegistryKey::Key() const
{
    return std::make_shared<RegistryKey>(HKEY_LOCAL_MACHINE, path_);
}

std::shared_ptr<RegistryKey> ScratchRegistryKey::Child(const std::wstring& relativePath) const
{
    return std::make_shared<RegistryKey>(HKEY_LOCAL_MACHINE, path_ + L"\\" + relativePath);
}

}  // namespace Tessaro::Testing
