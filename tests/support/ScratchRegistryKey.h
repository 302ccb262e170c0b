#pragma once

#include "common/RegistryKey.h"

#include <gtest/gtest.h>

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

// Makes `path` (below HKEY_LOCAL_MACHINE) a registry link to the key whose native name is `target`
// (\REGISTRY\MACHINE\...); the link lives until it is deleted as a link or the registry is
// unloaded. A planted link, as a user who may write below a key can make one.
::testing::AssertionResult CreateRegistryLink(const std::wstring& path, const std::wstring& target);

// Deletes the registry link at `path` (below HKEY_LOCAL_MACHINE) as the link, never its target; a
// plain key there, or none, is left alone. Planted links outlive a test that fails half way, and
// the system's tree deletion would follow them.
void DeleteRegistryLink(const std::wstring& path);

// Replaces the access list of a key below HKEY_LOCAL_MACHINE with the one the SDDL text gives.
// Returns 0 or the Windows error.
std::uint32_t SetKeyAccessList(const std::wstring& path, const wchar_t* sddl);

}  // namespace Tessaro::Testing
