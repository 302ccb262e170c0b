#include "diagnostics/HResultConversion.h"

namespace Tessaro::Vantrel::Common {

std::uint32_t ConvertHResultToErrorCode(std::int32_t hresult)
{
    constexpr std::uint32_t shutdownInProgressHResult = 0x8007045B;
    constexpr std::uint32_t fileNotFoundHResult = 0x80070002;
    constexpr std::uint32_t pendingHResult = 0x8000000A;
    constexpr std::uint32_t win32FailureFacility = 0x8007;

    const auto value = static_cast<std::uint32_t>(hresult);
    if (value == shutdownInProgressHResult) {
        return 1115;
    }
    if (value == fileNotFoundHResult) {
        return 2;
    }
    if (value == pendingHResult) {
        return 997;
    }
    if ((value >> 16) == win32FailureFacility) {
        return value & 0xFFFF;
    }
    return value;
}

}  // namespace Tessaro::Vantrel::Common
