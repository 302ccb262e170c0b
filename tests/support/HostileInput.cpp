#include "support/HostileInput.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace Tessaro::Testing {

std::uint64_t PropertySeed()
{
    if (const char* seed = std::getenv("RAVELIN_PROPERTY_SEED"); seed != nullptr && *seed != '\0') {
        return std::strtoull(seed, nullptr, 0);
    }
    return 0x5241'5645'4C49'4E00ull;
}

namespace {

std::atomic<std::uint64_t> currentSeed{0};

LONG WINAPI ReportCrashedCase(EXCEPTION_POINTERS* exception)
{
    std::fprintf(stderr, "property case seed %llu crashed with exception 0x%08lX (RAVELIN_PROPERTY_SEED replays it)\n",
                 static_cast<unsigned long long>(currentSeed.load()),
                 static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void ForEachCase(std::uint32_t cases, const std::function<void(HostileInput& input)>& body)
{
    static const auto previous = SetUnhandledExceptionFilter(ReportCrashedCase);
    (void)previous;
    for (std::uint32_t index = 0; index < cases && !::testing::Test::HasFatalFailure(); ++index) {
        const std::uint64_t seed = PropertySeed() + index;
        currentSeed = seed;
        SCOPED_TRACE("case seed " + std::to_string(seed) + " (RAVELIN_PROPERTY_SEED replays the run)");
        HostileInput input(seed);
        try {
            body(input);
        } catch (const std::exception& exception) {
            ADD_FAILURE() << "unexpected exception: " << exception.what();
        } catch (...) {
            ADD_FAILURE() << "unexpected exception";
        }
    }
    currentSeed = 0;
}

std::uint32_t HostileInput::Below(std::uint32_t bound)
{
    return bound == 0 ? 0 : static_cast<std::uint32_t>(random_() % bound);
}

std::vector<std::uint8_t> HostileInput::Bytes(std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random_());
    }
    return bytes;
}

std::size_t HostileInput::Size()
{
    switch (Below(10)) {
        case 0:
            return Below(3);
        case 1:
            return 3 + Below(3);  // around a DWORD
        case 2:
            return 7 + Below(3);  // around a QWORD
        case 3:
            return OneIn(8) ? 1 << 20 : 4096 + Below(70'000);
        default:
            return Below(64);
    }
}

std::string HostileInput::Text(const std::vector<std::string>& pieces, std::size_t maximumPieces)
{
    static const std::string noise[] = {"\"", " ", "  ", "\t", "\r\n", "=", "/", "\\", "\xC3\xBC", "\x1b[2J", ""};
    static const std::string notUtf8[] = {"\xFF", "\xC3", "\xE2\x82", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"};
    std::string text;
    const std::size_t count = Below(static_cast<std::uint32_t>(maximumPieces) + 1);
    for (std::size_t index = 0; index < count; ++index) {
        const std::uint32_t kind = Below(20);
        if (kind < 10) {
            text += pieces[Below(static_cast<std::uint32_t>(pieces.size()))];
        } else if (kind < 14) {
            text += noise[Below(std::size(noise))];
        } else if (kind < 15) {
            text += OneIn(2) ? notUtf8[Below(std::size(notUtf8))] : [&] {
                const auto bytes = Bytes(1 + Below(8));
                return std::string(bytes.begin(), bytes.end());
            }();
        } else if (kind < 17) {
            text += std::string(OneIn(20) ? 32'768 : Below(40), static_cast<char>('a' + Below(26)));
        } else {
            text += std::to_string(random_());
        }
    }
    // A NUL ends the text wherever it stands, as in a command line.
    return text.substr(0, text.find('\0'));
}

std::wstring HostileInput::WideText(const std::vector<std::wstring>& pieces, std::size_t maximumPieces)
{
    static const std::wstring noise[] = {L"\\", L"/", L"\\\\", L" ",      L"\t",         L"\r\n",
                                         L":",  L"?", L"*",    L".",      L"..",         L"%",
                                         L"{",  L"}", L"\"",   L"\u00FC", L"\U0001F600", std::wstring()};
    std::wstring text;
    const std::size_t count = Below(static_cast<std::uint32_t>(maximumPieces) + 1);
    for (std::size_t index = 0; index < count; ++index) {
        switch (Below(6)) {
            case 0:
            case 1:
                text += pieces[Below(static_cast<std::uint32_t>(pieces.size()))];
                break;
            case 2:
                text += noise[Below(std::size(noise))];
                break;
            case 3:
                // An unpaired surrogate, a NUL or another control character.
                text += static_cast<wchar_t>(OneIn(2) ? 0xD800 + Below(0x800) : Below(0x20));
                break;
            case 4:
                text += std::wstring(OneIn(20) ? 32'768 : Below(40), static_cast<wchar_t>(L'a' + Below(26)));
                break;
            default:
                text += std::to_wstring(random_());
        }
    }
    return text;
}

}  // namespace Tessaro::Testing
