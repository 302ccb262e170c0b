#pragma once

#include <windows.h>

#include <aclapi.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace Tessaro::Testing {

// The SID this process's token holds as its user (TokenUser) or default owner (TokenOwner), as
// SDDL text; empty when the token cannot be read.
std::wstring TokenSidText(TOKEN_INFORMATION_CLASS kind);

// The SID that the SDDL text names ("S-1-5-18"), as bytes; fails the calling test and is empty
// when the text names none.
std::vector<std::uint8_t> SidBytes(const wchar_t* text);

// Gives a kernel object or key (by handle) or a file or folder (by path) the access list of the
// SDDL text ("D:P(A;;FA;;;SY)..."), protected from inheritance when the text says "P"; fails the
// calling test when the system refuses.
void SetAccessList(HANDLE object, SE_OBJECT_TYPE type, const std::wstring& sddl);
void SetAccessList(const std::filesystem::path& path, const std::wstring& sddl);

// Gives the key (a path below HKEY_LOCAL_MACHINE) the owner the SDDL text names, as a user does
// who creates a key where users may; fails the calling test when the system refuses.
void SetKeyOwner(const std::wstring& path, const wchar_t* owner);

}  // namespace Tessaro::Testing
