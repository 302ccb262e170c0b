#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace Tessaro {

// The only crossings between the system's UTF-8 text and Windows' UTF-16. Both stop at an
// embedded NUL and raise ConversionException on input that is not valid in its encoding.
std::string Utf16ToUtf8(const std::wstring& text);
std::wstring Utf8ToUtf16(const std::string& text);

// For text that only goes into a log line or a report, where a failure must not stop the caller:
// the UTF-8 form, or, for text that is not valid UTF-16, each unpaired surrogate written as
// "\uXXXX" and the rest converted.
std::string ReadableUtf8(const std::wstring& text) noexcept;

// The shape of the Windows path-form functions (GetShortPathNameW, GetLongPathNameW, ...):
// (source, buffer or null, buffer size in characters) -> characters needed or written.
using PathFormFunction = std::function<std::uint32_t(const wchar_t*, wchar_t*, std::uint32_t)>;

// Converts a path with one of those functions; raises std::system_error naming the form.
std::wstring ChangePathForm(const std::wstring& path, const std::string& kindName, const PathFormFunction& fill);

std::wstring ToShortForm(const std::wstring& path);

// A file-system path in UTF-8; a name that is not valid UTF-16 falls back to its short form.
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace Tessaro
