#pragma once

#include <cstdint>
#include <string>

namespace Tessaro::Vantrel::Common {

// The operating system's own text for a Windows error code, in the system's default language,
// without trailing white space or line breaks; "unknown error" when the system has none.
std::string SystemErrorText(std::uint32_t errorCode);

}  // namespace Tessaro::Vantrel::Common
