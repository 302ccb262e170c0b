#include "common/foundation/StringConversion.h"

#include "common/foundation/ConversionException.h"
#include "common/foundation/Format.h"

#include <windows.h>

#include <system_error>

namespace Tessaro {

namespace {

std::error_code LastErrorCode(DWORD error)
{
    return {static_cast<int>(error), std::system_category()};
}

}  // namespace

std::string Utf16ToUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    // The length query runs without WC_ERR_INVALID_CHARS; an unpaired surrogate is caught by the
    // conversion itself.
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length < 1) {
        const DWORD error = GetLastError();
        throw ConversionException("WideCharToMultiByte error. Can't get destination length. ", text,
                                  LastErrorCode(error));
    }
    std::string result(static_cast<std::size_t>(length), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.c_str(), -1, result.data(), length, nullptr, nullptr) ==
        0) {
        const DWORD error = GetLastError();
        throw ConversionException("WideCharToMultiByte error", text, LastErrorCode(error));
    }
    result.resize(static_cast<std::size_t>(length) - 1);
    return result;
}

std::wstring Utf8ToUtf16(const std::string& text)
{
    if (text.empty()) {
        return {};
    }
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
    if (length < 1) {
        const DWORD error = GetLastError();
        throw ConversionException("MultiByteToWideChar error. Can't get destination length.", text,
                                  LastErrorCode(error));
    }
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, result.data(), length) == 0) {
        const DWORD error = GetLastError();
        throw ConversionException("MultiByteToWideChar error", text, LastErrorCode(error));
    }
    result.resize(static_cast<std::size_t>(length) - 1);
    return result;
}

std::wstring ChangePathForm(const std::wstring& path, const std::string& kindName, const PathFormFunction& fill)
{
    const std::uint32_t needed = fill(path.c_str(), nullptr, 0);
    if (needed == 0) {
        const DWORD error = GetLastError();
        throw std::system_error(LastErrorCode(error),
                                Format("Can't convert path to {} path. Failed to retrieve its length.", kindName));
    }
    std::wstring converted(needed, L'\0');
    const std::uint32_t written = fill(path.c_str(), converted.data(), needed);
    if (written == 0) {
        const DWORD error = GetLastError();
        throw std::system_error(LastErrorCode(error), Format("Can't convert path to {} path", kindName));
    }
    if (written >= needed) {
        // The path changed between the two calls and now needs more room: the function reported
        // the size instead of writing, so there is nothing to return.
        throw std::system_error(LastErrorCode(ERROR_INSUFFICIENT_BUFFER),
                                Format("Can't convert path to {} path", kindName));
    }
    converted.resize(written);
    return converted;
}

std::wstring ToShortForm(const std::wstring& path)
{
    return ChangePathForm(path, "short", [](const wchar_t* source, wchar_t* buffer, std::uint32_t size) {
        return static_cast<std::uint32_t>(GetShortPathNameW(source, buffer, size));
    });
}

std::string ReadableUtf8(const std::wstring& text) noexcept
{
    try {
        try {
            return Utf16ToUtf8(text);
        } catch (const ConversionException&) {
            // Not valid UTF-16: written with escapes below, as a function that must not throw.
        }
        std::string readable;
        for (std::size_t index = 0; index < text.size(); ++index) {
            const wchar_t unit = text[index];
            const bool high = unit >= 0xD800 && unit <= 0xDBFF;
            const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
            if (high && index + 1 < text.size() && text[index + 1] >= 0xDC00 && text[index + 1] <= 0xDFFF) {
                readable += Utf16ToUtf8(text.substr(index, 2));
                ++index;
            } else if (high || low) {
                readable += Format("\\u{:04X}", static_cast<unsigned>(unit));
            } else if (unit == L'\0') {
                readable += "\\u0000";
            } else {
                readable += Utf16ToUtf8(std::wstring(1, unit));
            }
        }
        return readable;
    } catch (...) {
        return "<text not readable>";
    }
}

std::string PathToUtf8(const std::filesystem::path& path)
{
    const std::wstring& native = path.native();
    try {
        return Utf16ToUtf8(native);
    } catch (const std::exception&) {
        return Utf16ToUtf8(ToShortForm(native));
    }
}

}  // namespace Tessaro
