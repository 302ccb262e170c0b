#include "configuration/CommandLine.h"

#include "common/foundation/StringConversion.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <system_error>

namespace Tessaro::Ravelin {

namespace {

constexpr std::size_t AsciiFastPathLimit = 260;

bool IsShortAscii(const std::string& text)
{
    return text.size() < AsciiFastPathLimit &&
           std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void ToUpperWide(std::wstring& text)
{
    if (text.empty()) {
        return;
    }
    // Upper-case mapping keeps one UTF-16 unit per unit, so the mapped text fits the same buffer.
    const int size = static_cast<int>(text.size());
    std::wstring mapped(text.size(), L'\0');
    if (LCMapStringEx(LOCALE_NAME_USER_DEFAULT, LCMAP_UPPERCASE, text.c_str(), size, mapped.data(), size, nullptr,
                      nullptr, 0) != size) {
        const DWORD error = GetLastError();
        throw std::system_error(static_cast<int>(error), std::system_category(), "Can't upper-case text");
    }
    text = std::move(mapped);
}

}  // namespace

std::wstring_view ArgumentsAfterProgramName(std::wstring_view processCommandLine)
{
    const auto isBlank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    std::size_t at = 0;
    for (bool quoted = false; at < processCommandLine.size(); ++at) {
        if (processCommandLine[at] == L'"') {
            quoted = !quoted;
        } else if (!quoted && isBlank(processCommandLine[at])) {
            break;
        }
    }
    while (at < processCommandLine.size() && isBlank(processCommandLine[at])) {
        ++at;
    }
    return processCommandLine.substr(at);
}

void ToUpper(std::string& text)
{
    if (IsShortAscii(text)) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
        return;
    }
    std::wstring wide = Utf8ToUtf16(text);
    ToUpperWide(wide);
    text = Utf16ToUtf8(wide);
}

bool FindSwitch(const std::string& upperCommandLine, const std::string& switchWord)
{
    const auto position = upperCommandLine.find(switchWord);
    if (position == std::string::npos) {
        return false;
    }
    const auto after = position + switchWord.size();
    return after == upperCommandLine.size() || upperCommandLine[after] == ' ';
}

std::string GetOptionValue(const std::string& commandLine, const std::string& optionKey)
{
    std::string upper = commandLine;
    ToUpper(upper);
    const auto position = upper.find(optionKey);
    if (upper.empty() || position == std::string::npos) {
        return {};
    }
    const std::string rest = upper.substr(position + optionKey.size());
    if (!rest.empty() && rest.front() == '"') {
        const auto closingQuote = rest.find('"', 1);
        return closingQuote == std::string::npos ? rest.substr(1) : rest.substr(1, closingQuote - 1);
    }
    return rest.substr(0, rest.find(' '));
}

}  // namespace Tessaro::Ravelin
