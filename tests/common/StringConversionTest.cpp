#include "common/foundation/ConversionException.h"
#include "common/foundation/StringConversion.h"
#include "common/foundation/SystemErrorText.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <utility>

namespace {

using Tessaro::ChangePathForm;
using Tessaro::ConversionException;
using Tessaro::PathToUtf8;
using Tessaro::ToShortForm;
using Tessaro::Utf16ToUtf8;
using Tessaro::Utf8ToUtf16;
using Tessaro::Vantrel::Common::SystemErrorText;

std::string LocaleName()
{
    return std::setlocale(LC_CTYPE, nullptr);
}

// The code and the text of the exception the function raises.
template <typename Exception = std::system_error, typename Function>
std::pair<int, std::string> Caught(Function function)
{
    try {
        function();
    } catch (const Exception& exception) {
        return {exception.code().value(), exception.what()};
    }
    ADD_FAILURE() << "no exception of the expected kind";
    return {0, ""};
}

TEST(StringConversionTest, RoundTripsTextOutsideAsciiAndStopsAtNul)
{
    const std::string utf8 =
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE4\xB8\x96 \xF0\x9F\x98\x80";
    const std::wstring utf16 = L"Gr\u00FC\u00DFe \u4E16 \U0001F600";
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
    EXPECT_EQ(Utf8ToUtf16(std::string("abc\0def", 7)), L"abc");
    EXPECT_EQ(Utf16ToUtf8(std::wstring(L"abc\0def", 7)), "abc");
    EXPECT_EQ(Utf8ToUtf16(std::string("\0def", 4)), L"") << "a leading nul leaves nothing, and no error";
    EXPECT_EQ(Utf16ToUtf8(std::wstring(L"\0def", 4)), "");
    SetLastError(1234);
    EXPECT_EQ(Utf16ToUtf8(std::wstring()), "");
    EXPECT_TRUE(Utf8ToUtf16("").empty());
    EXPECT_EQ(GetLastError(), 1234u) << "no system call for empty input";
}

TEST(StringConversionTest, UnpairedSurrogateFailsInTheConversionStepWithItsBytes)
{
    const auto exception = Caught<ConversionException>([] { Utf16ToUtf8(std::wstring(1, wchar_t(0xD800))); });
    EXPECT_EQ(exception.first, ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(exception.second,
              "WideCharToMultiByte error. Can't convert bytes: \"0/-40\" from UTF-16 to UTF-8. locale: " +
                  LocaleName() + ". Error: " + SystemErrorText(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(StringConversionTest, InvalidUtf8FailsInTheLengthQueryWithSignedBytes)
{
    const auto exception = Caught<ConversionException>([] { Utf8ToUtf16("a\xC3(\xFF"); });
    EXPECT_EQ(exception.first, ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(exception.second,
              "MultiByteToWideChar error. Can't get destination length.. Can't convert bytes: \"97/-61/40/-1\" "
              "from UTF-8 to UTF-16. locale: " +
                  LocaleName() + ". Error: " + SystemErrorText(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(StringConversionTest, ChangePathFormReportsEachFailingStepWithTheLastError)
{
    const auto failAt = [](int failingCall) {
        return [failingCall, call = 0](const wchar_t*, wchar_t* buffer, std::uint32_t) mutable -> std::uint32_t {
            if (++call == failingCall) {
                SetLastError(ERROR_ACCESS_DENIED);
                return 0;
            }
            if (buffer != nullptr) {
                wcscpy(buffer, L"C:\\X");
                return 4;
            }
            return 5;
        };
    };
    const auto length = Caught([&] { ChangePathForm(L"C:\\x", "test", failAt(1)); });
    EXPECT_EQ(length.first, ERROR_ACCESS_DENIED);
    EXPECT_EQ(length.second.rfind("Can't convert path to test path. Failed to retrieve its length.: ", 0), 0u);
    const auto fill = Caught([&] { ChangePathForm(L"C:\\x", "test", failAt(2)); });
    EXPECT_EQ(fill.first, ERROR_ACCESS_DENIED);
    EXPECT_EQ(fill.second.rfind("Can't convert path to test path: ", 0), 0u);
    EXPECT_EQ(ChangePathForm(L"C:\\x", "test", failAt(3)), L"C:\\X");
    EXPECT_THROW(ChangePathForm(L"C:\\x", "test", {}), std::bad_function_call);
}

TEST(StringConversionTest, ShortFormOfAnExistingAndAMissingPath)
{
    const Tessaro::Testing::ScratchFolder folder;
    const auto file = folder.Path() / L"a long file name.text";
    std::ofstream(file) << "x";
    const std::wstring shortForm = ToShortForm(file.native());
    EXPECT_FALSE(shortForm.empty());
    EXPECT_TRUE(std::filesystem::equivalent(shortForm, file));

    EXPECT_THROW(ToShortForm((folder.Path() / L"missing.txt").native()), std::system_error);
}

TEST(StringConversionTest, PathToUtf8KeepsValidNamesAndFailsForAMissingInvalidName)
{
    EXPECT_EQ(PathToUtf8(std::filesystem::path(L"C:\\Temp\\\u00FC.log")), "C:\\Temp\\\xC3\xBC.log");
    const std::wstring invalid = std::wstring(L"C:\\missing_") + wchar_t(0xDC00) + L".log";
    EXPECT_THROW(PathToUtf8(std::filesystem::path(invalid)), std::system_error);
}

// For log lines and reports: never an exception, and the broken unit shown where it was.
TEST(StringConversionTest, ReadableUtf8ShowsEachUnpairedSurrogate)
{
    EXPECT_EQ(Tessaro::ReadableUtf8(L"plain \u00FC"), "plain \xC3\xBC");
    // "par", a lone high surrogate, "ent", a lone low one, U+1F600 as its pair, and "!".
    const std::wstring broken{
        L'p', L'a', L'r', wchar_t(0xD800), L'e', L'n', L't', wchar_t(0xDC01), wchar_t(0xD83D), wchar_t(0xDE00), L'!'};
    EXPECT_EQ(Tessaro::ReadableUtf8(broken), "par\\uD800ent\\uDC01\xF0\x9F\x98\x80!");
    EXPECT_EQ(Tessaro::ReadableUtf8(std::wstring(1, wchar_t(0xDBFF))), "\\uDBFF") << "a high surrogate at the end";
    EXPECT_EQ(Tessaro::ReadableUtf8(std::wstring{wchar_t(0xDC00), L'\0', L'b'}), "\\uDC00\\u0000b")
        << "and a NUL after one";
}

}  // namespace
