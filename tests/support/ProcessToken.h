#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Tessaro::Testing {

// The SID this process's token holds as its user (TokenUser) or default owner (TokenOwner), as
// SDDL text; empty when the token cannot be read.
std::wstring TokenSidText(TOKEN_INFORMATION_CLASS kind);

// The SID that the SDDL text names ("S-1-5-18"), as bytes; fails the calling test and is empty
// when the text names none.
std::vector<std::uint8_t> SidBytes(const wchar_t* text);

}  // namespace Tessaro::Testing
