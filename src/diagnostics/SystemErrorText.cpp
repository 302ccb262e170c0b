#include "diagnostics/SystemErrorText.h"

#include "common/Scoped.h"
#include "common/StringConversion.h"

#include <windows.h>

namespace Tessaro::Vantrel::Common {

std::string SystemErrorText(std::uint32_t errorCode)
{
    Scoped<wchar_t*> buffer([](wchar_t*& text) { LocalFree(text); });
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, errorCode, 0, reinterpret_cast<wchar_t*>(&buffer.Get()), 0, nullptr);
    if (length == 0 || buffer.Get() == nullptr) {
        return "unknown error";
    }

    std::wstring text(buffer.Get(), length);
    const auto end = text.find_last_not_of(L" \t\r\n");
    text.erase(end == std::wstring::npos ? 0 : end + 1);
    if (text.empty()) {
        return "unknown error";
    }
    try {
        return Utf16ToUtf8(text);
    } catch (const std::exception&) {
        // A system message that is not valid UTF-16 is no reason to lose the error itself.
        return "unknown error";
    }
}

}  // namespace Tessaro::Vantrel::Common
