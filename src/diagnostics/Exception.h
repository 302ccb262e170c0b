#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <string>

namespace Tessaro::Vantrel::Common::Exceptions {

// The exception barrier: runs a function and turns every exception it raises into an error code,
// logging it (unless suppressed) and calling the error handler for most exception kinds.
class Exception {
public:
    // Codes returned for exceptions that carry no code of their own.
    static constexpr std::uint32_t UnknownExceptionCode = 0xE0060001;
    static constexpr std::uint32_t StandardExceptionCode = 0xE0060002;
    // Reserved for a scripting-engine exception; no such engine is linked into this system.
    static constexpr std::uint32_t LuaExceptionCode = 0xE0060003;
    static constexpr std::uint32_t BadAnyCastCode = 0xE0060004;
    // ERROR_FUNCTION_FAILED: a guarded function returned false.
    static constexpr std::uint32_t FunctionFailedCode = 1627;

    static std::uint32_t CatchAllAndConvertToErrorCode(const std::function<std::uint32_t()>& function,
                                                       const std::string& name,
                                                       const std::function<void()>& errorHandler = {},
                                                       bool suppressLogging = false);

    // The bool form: false counts as failure (1627); returns whether the guarded call succeeded.
    // The void form: the function succeeds when it returns normally.
    // (Kept as written: the formatter's releases place a requires clause differently.)
    // clang-format off
    template <typename R>
    requires std::same_as<R, bool> || std::same_as<R, void>
    static auto CatchAllAndConvertToErrorCode(const std::function<R()>& function, const std::string& name,
                                              const std::function<void()>& errorHandler = {},
                                              bool suppressLogging = false)
    // clang-format on
    {
        if constexpr (std::same_as<R, bool>) {
            const auto code = CatchAllAndConvertToErrorCode(
                [&function]() -> std::uint32_t { return function() ? 0 : FunctionFailedCode; }, name, errorHandler,
                suppressLogging);
            return code == 0;
        } else {
            CatchAllAndConvertToErrorCode<bool>(
                [&function]() {
                    function();
                    return true;
                },
                name, errorHandler, suppressLogging);
        }
    }
};

}  // namespace Tessaro::Vantrel::Common::Exceptions
