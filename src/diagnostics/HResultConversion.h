#pragma once

#include <cstdint>

namespace Tessaro::Vantrel::Common {

// Turns a COM HRESULT into the Windows error code that a Result carries: Win32 failures give
// their own code, E_PENDING gives ERROR_IO_PENDING, anything else keeps its HRESULT value.
std::uint32_t ConvertHResultToErrorCode(std::int32_t hresult);

}  // namespace Tessaro::Vantrel::Common
