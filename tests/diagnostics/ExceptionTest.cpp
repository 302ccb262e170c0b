#include "common/foundation/StringConversion.h"
#include "diagnostics/Exception.h"
#include "diagnostics/HResultException.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <any>
#include <functional>
#include <regex>
#include <stdexcept>
#include <system_error>

namespace {

using Tessaro::Testing::LogCapture;
using Tessaro::Vantrel::Common::LogLevel;
using Tessaro::Vantrel::Common::Exceptions::Exception;
using Tessaro::Vantrel::Common::Exceptions::HResultException;

struct BarrierCase {
    const char* label;
    std::function<void()> raise;
    std::uint32_t code;
    std::string logPrefix;
    bool handlerCalled;
};

std::vector<BarrierCase> BarrierCases()
{
    return {
        {"HResultException", [] { throw HResultException(0x80004005, "boom"); }, 0x80004005,
         "HResult exception caught - guarded: boom (Code: 0x80004005)", true},
        {"regex_error", [] { throw std::regex_error(std::regex_constants::error_brack); },
         static_cast<std::uint32_t>(std::regex_constants::error_brack),
         std::string("Regex exception caught - guarded: ") + std::regex_error(std::regex_constants::error_brack).what(),
         false},
        {"bad_any_cast", [] { (void)std::any_cast<int>(std::any(1.5)); }, 0xE0060004,
         "Any cast exception caught - guarded: ", true},
        // The line's "Code" slot carries the code's text and the hexadecimal slot its value.
        {"system_error", [] { throw std::system_error(1450, std::system_category(), "Open"); }, 1450,
         std::string("System error exception caught - guarded: ") +
             std::system_error(1450, std::system_category(), "Open").what() +
             " (Code: " + std::system_category().message(1450) + " [0x5aa])",
         true},
        {"ConversionException", [] { (void)Tessaro::Utf8ToUtf16("\xff"); }, 1113,
         "System error exception caught - guarded: MultiByteToWideChar error", true},
        {"invalid_argument", [] { throw std::invalid_argument("bad"); }, 0xE0060002,
         "Invalid argument error caught - guarded: bad", true},
        {"logic_error", [] { throw std::out_of_range("range"); }, 0xE0060002, "Logic error caught - guarded: range",
         true},
        {"exception", [] { throw std::runtime_error("runtime"); }, 0xE0060002, "Exception caught - guarded: runtime",
         true},
        {"non-standard", [] { throw 42; }, 0xE0060001, "Unknown unhandled exception caught - guarded", true},
    };
}

TEST(ExceptionBarrierTest, EachExceptionKindGivesItsCodeLogLineAndHandlerCall)
{
    for (const auto& testCase : BarrierCases()) {
        SCOPED_TRACE(testCase.label);
        const LogCapture capture;
        int handlerCalls = 0;
        const auto code = Exception::CatchAllAndConvertToErrorCode(
            [&]() -> std::uint32_t {
                testCase.raise();
                return 0;
            },
            "guarded", [&] { ++handlerCalls; });

        EXPECT_EQ(code, testCase.code);
        EXPECT_EQ(handlerCalls, testCase.handlerCalled ? 1 : 0);
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, LogLevel::Error);
        EXPECT_EQ(lines[0].componentName, "");
        EXPECT_EQ(lines[0].message.rfind(testCase.logPrefix, 0), 0u) << lines[0].message;
    }
}

// A normal return passes through untouched; the quiet form still calls the handler; the empty
// function, the bool and the void forms are guarded like any other.
TEST(ExceptionBarrierTest, OtherFormsOfTheBarrier)
{
    const LogCapture capture;
    int handlerCalls = 0;
    const auto handler = [&] { ++handlerCalls; };
    EXPECT_EQ(Exception::CatchAllAndConvertToErrorCode([] { return 5u; }, "guarded", handler), 5u);
    EXPECT_TRUE(Exception::CatchAllAndConvertToErrorCode<bool>([] { return true; }, "guarded", handler));
    EXPECT_FALSE(Exception::CatchAllAndConvertToErrorCode<bool>([] { return false; }, "guarded", handler));
    EXPECT_EQ(Exception::CatchAllAndConvertToErrorCode([]() -> std::uint32_t { throw std::invalid_argument("bad"); },
                                                       "guarded", handler, true),
              0xE0060002u);
    EXPECT_EQ(handlerCalls, 1) << "only the quiet form's exception";
    EXPECT_TRUE(capture.Lines().empty());

    EXPECT_EQ(Exception::CatchAllAndConvertToErrorCode(std::function<std::uint32_t()>{}, "guarded"), 0xE0060002u);
    EXPECT_FALSE(Exception::CatchAllAndConvertToErrorCode<bool>([]() -> bool { throw std::runtime_error("x"); },
                                                                "guarded", handler));
    Exception::CatchAllAndConvertToErrorCode<void>([] { throw 1; }, "guarded", handler);
    EXPECT_EQ(handlerCalls, 3);
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].rfind("Exception caught - guarded: ", 0), 0u);
    EXPECT_EQ(messages[2], "Unknown unhandled exception caught - guarded");
}

TEST(ExceptionBarrierTest, ExceptionFromTheErrorHandlerLeavesTheBarrier)
{
    EXPECT_THROW(Exception::CatchAllAndConvertToErrorCode([]() -> std::uint32_t { throw std::runtime_error("x"); },
                                                          "guarded", [] { throw std::logic_error("handler"); }),
                 std::logic_error);
}

}  // namespace
