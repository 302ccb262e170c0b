#include "support/ScratchRegistryKey.h"

#include <windows.h>

#include <atomic>

namespace Tessaro::Testing {

using Vantrel::Common::Utilities::RegistryKey;

ScratchRegistryKey::ScratchRegistryKey()
{
    static std::atomic<unsigned> counter{0};
    path_ = L"SOFTWARE\\RavelinTests\\" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
    HKEY created = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr);
    RegCloseKey(created);
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
