#include "common/foundation/ConversionException.h"

#include "common/foundation/CheckedArithmetic.h"
#include "common/foundation/Format.h"
#include "common/foundation/SystemErrorText.h"

#include <clocale>
#include <cstdint>
#include <string_view>

namespace Tessaro {

namespace {

constexpr std::string_view Utf8Name = "UTF-8";
constexpr std::string_view Utf16Name = "UTF-16";

struct Direction {
    std::string_view from;
    std::string_view to;
};

Direction DirectionOf(const ConversionException::Source& source)
{
    return std::holds_alternative<std::string>(source) ? Direction{Utf8Name, Utf16Name}
                                                       : Direction{Utf16Name, Utf8Name};
}

// The source's bytes as they lie in memory: UTF-16 code units as little-endian byte pairs.
std::string SourceBytes(const ConversionException::Source& source)
{
    if (const auto* narrow = std::get_if<std::string>(&source)) {
        return *narrow;
    }
    const auto& wide = std::get<std::wstring>(source);
    std::string bytes;
    bytes.reserve(CheckedMultiply(static_cast<std::uint64_t>(wide.size()), std::uint64_t{2}));
    for (const wchar_t unit : wide) {
        const auto value = static_cast<std::uint16_t>(unit);
        bytes.push_back(static_cast<char>(value & 0xFF));
        bytes.push_back(static_cast<char>(value >> 8));
    }
    return bytes;
}

std::string CurrentLocaleName()
{
    const char* name = std::setlocale(LC_CTYPE, nullptr);
    return name != nullptr ? name : "";
}

std::string ComposeText(const std::string& message, const std::string& bytes, Direction direction,
                        const std::string& errorText)
{
    const std::uint64_t reserved = CheckedAdd(
        CheckedAdd(CheckedAdd(message.size(), CheckedSubtract(CheckedMultiply(std::uint64_t{2}, bytes.size()), 1)),
                   CheckedAdd(direction.from.size(), direction.to.size())),
        CheckedAdd(errorText.size(), 100));
    std::string text;
    text.reserve(reserved);
    text += message;
    try {
        text += ". Can't convert bytes: \"";
        for (std::size_t index = 0; index < bytes.size(); ++index) {
            if (index != 0) {
                text += '/';
            }
            text += std::to_string(static_cast<int>(static_cast<signed char>(bytes[index])));
        }
        text += Format("\" from {} to {}. locale: {}. Error: {}", direction.from, direction.to, CurrentLocaleName(),
                       errorText);
    } catch (const std::exception& exception) {
        text += ". Can't complete message due to an exception during message creation: ";
        text += exception.what();
    } catch (...) {
        text += ". Can't complete message due to an unknown exception during message creation.";
    }
    return text;
}

}  // namespace

ConversionException::ConversionException(const std::string& message, const Source& source, std::error_code code)
    : std::system_error(code)
{
    const Direction direction = DirectionOf(source);
    try {
        try {
            const std::string errorText = Vantrel::Common::SystemErrorText(static_cast<std::uint32_t>(code.value()));
            text_ = ComposeText(message, SourceBytes(source), direction, errorText);
        } catch (const std::exception& exception) {
            text_ = Format("Exception during get bytes of string: {}", exception.what());
        } catch (...) {
            text_ = " Unknown exception during get bytes of string";
        }
    } catch (const std::exception& exception) {
        try {
            text_ = Format("{} Exception during throw in Conversion exception of string from {} to {}: {}", message,
                           direction.from, direction.to, exception.what());
        } catch (...) {
            // The text stays the plain message: building an exception's text must not throw.
        }
    } catch (...) {
        try {
            text_ = Format("{} Unknown exception during throw in Conversion exception of string from {} to {}", message,
                           direction.from, direction.to);
        } catch (...) {
            // The text stays the plain message: building an exception's text must not throw.
        }
    }
}

const char* ConversionException::what() const noexcept
{
    return text_.c_str();
}

}  // namespace Tessaro
