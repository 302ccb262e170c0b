#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace Tessaro::Vantrel::Common {

// "Error: <code> - Message: <system text>", wrapped in "<message> (...)" when a message is given.
std::string ComposeResultMessage(std::uint32_t errorCode, const std::string& message);

// The outcome of an operation: a value, a Windows error code (0 is success) and the composed
// message text. Success is decided by the code alone, never by the message.
template <typename T = std::monostate>
class Result {
public:
    Result(T value) : Result(std::move(value), 0) {}

    Result(T value, std::uint32_t errorCode) : Result(std::move(value), errorCode, std::string{}) {}

    Result(T value, std::uint32_t errorCode, const std::string& message)
        : value_(std::move(value)), errorCode_(errorCode), message_(ComposeResultMessage(errorCode, message))
    {
    }

    // Failure without a value. Not offered for numeric values, where a bare code and a value
    // could be confused; those pass a value explicitly: Result<DWORD>(0, code, message).
    // (Kept as written: the formatter's releases place a requires clause differently.)
    // clang-format off
    explicit Result(std::uint32_t errorCode, const std::string& message = {}) requires(!std::is_arithmetic_v<T>)
        : Result(T{}, errorCode, message)
    {
    }
    // clang-format on

    const T& Value() const& { return value_; }
    T& Value() & { return value_; }
    // By value, so that a loop over the value of a temporary Result does not outlive it.
    T Value() && { return std::move(value_); }
    std::uint32_t ErrorCode() const { return errorCode_; }
    const std::string& Message() const { return message_; }
    bool Succeeded() const { return errorCode_ == 0; }

private:
    T value_;
    std::uint32_t errorCode_;
    std::string message_;
};

}  // namespace Tessaro::Vantrel::Common
