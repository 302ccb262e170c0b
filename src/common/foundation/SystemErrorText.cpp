#include "common/foundation/SystemErrorText.h"

#include "common/foundation/Scoped.h"

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
    // Converted here rather than through the string conversions, which report their own failures
    // with this text. A system message is well-formed UTF-16; should one not be, the platform's
    // replacement character keeps the rest of it readable.
    const int size = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return "unknown error";
    }
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), bytes, nullptr, nullptr);
    return narrow;
}

}  // namespace Tessaro::Vantrel::Common
