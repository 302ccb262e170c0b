#pragma once

#include <string>
#include <system_error>
#include <variant>

namespace Tessaro {

// Raised when text cannot be converted between UTF-8 and UTF-16. The text names the failing step,
// dumps the source's bytes, the direction, the C runtime's locale and the system's error text, so
// that a bad string from the field can be reconstructed from a log line.
class ConversionException : public std::system_error {
public:
    // The text that failed: a UTF-8 source (narrow) or a UTF-16 source (wide).
    using Source = std::variant<std::string, std::wstring>;

    ConversionException(const std::string& message, const Source& source, std::error_code code);

    const char* what() const noexcept override;

private:
    std::string text_;
};

}  // namespace Tessaro
