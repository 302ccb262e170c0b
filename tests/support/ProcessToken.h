#pragma once

#include <windows.h>

#include <string>

namespace Tessaro::Testing {

// The SID this process's token holds as its user (TokenUser) or default owner (TokenOwner), as
// SDDL text; empty when the token cannot be read.
std::wstring TokenSidText(TOKEN_INFORMATION_CLASS kind);

}  // namespace Tessaro::Testing
