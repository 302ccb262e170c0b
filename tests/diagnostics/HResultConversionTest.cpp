#include "diagnostics/HResultConversion.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

namespace {

using Tessaro::Vantrel::Common::ConvertHResultToErrorCode;

TEST(ConvertHResultToErrorCodeTest, MapsWin32AndPendingAndKeepsTheRest)
{
    struct Case {
        std::uint32_t hresult;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {0x8007045B, 1115},        // shutdown in progress
        {0x80070002, 2},           // file not found
        {0x8000000A, 997},         // E_PENDING
        {0x80070005, 5},           // E_ACCESSDENIED
        {0x80070000, 0},           // Win32 facility with code 0
        {0x800706BA, 1722},        // any other Win32 failure
        {0x80004005, 0x80004005},  // E_FAIL keeps its value
        {0x00070005, 0x00070005},  // success severity is not a Win32 failure
        {0, 0},                    // S_OK
        {1, 1},                    // S_FALSE
    };
    for (const auto& [hresult, expected] : cases) {
        EXPECT_EQ(ConvertHResultToErrorCode(static_cast<std::int32_t>(hresult)), expected) << std::hex << hresult;
    }
}

}  // namespace
