#pragma once

#include "common/RegistryKey.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Tessaro::Testing {

// A fresh key under HKLM\SOFTWARE\RavelinTests, deleted with everything below it at the end.
class ScratchRegistryKey {
public:
    ScratchRegistryKey();
    ~ScratchRegistryKey();
    ScratchRegistryKey(const ScratchRegistryKey&) = delete;
    ScratchRegistryKey& operator=(const ScratchRegistryKey&) = delete;

    // Path below HKEY_LOCAL_MACHINE.
    const std::wstring& Path() const { return path_; }
    std::shared_ptr<Vantrel::Common::Utilities::RegistryKey> Key() const;
    // A key below this one (not created).
    std::shared_ptr<Vantrel::Common::Utilities::RegistryKey> Child(const std::wstring& relativePath) const;

private:
    std::wstring path_;
};

// Replaces the access list of a key below HKEY_LOCAL_MACHINE with the one the SDDL text gives.
// Returns 0 or the Windows error.
std::uint32_t SetKeyAccessList(const std::wstring& path, const wchar_t* sddl);

}  // namespace Tessaro::Testing
