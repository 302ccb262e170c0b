#include "diagnostics/Result.h"

#include "common/foundation/SystemErrorText.h"

namespace Tessaro::Vantrel::Common {

namespace {

std::string ErrorDescription(std::uint32_t errorCode)
{
    // Every successful Result carries the text for 0; ask the system for it once per process.
    static const std::string successDescription = "Error: 0 - Message: " + SystemErrorText(0);
    if (errorCode == 0) {
        return successDescription;
    }
    return "Error: " + std::to_string(errorCode) + " - Message: " + SystemErrorText(errorCode);
}

}  // namespace

std::string ComposeResultMessage(std::uint32_t errorCode, const std::string& message)
{
    if (message.empty()) {
        return ErrorDescription(errorCode);
    }
    return message + " (" + ErrorDescription(errorCode) + ")";
}

}  // namespace Tessaro::Vantrel::Common
