#include "configuration/Configuration.h"
#include "security_center/WindowsSecurityCenterProducts.h"
#include "support/ScratchRegistryKey.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::Testing::ScratchRegistryKey;

TEST(WindowsSecurityCenterProductsTest, ProductStateDecoding)
{
    struct Case {
        std::uint32_t productState;
        std::uint32_t state;
        const char* text;
        bool upToDate;
    };
    const Case cases[] = {
        {0x1000, 0, "On", true},      {0x1010, 0, "On", false},         {0x0000, 1, "Off", true},
        {0x2000, 2, "Snoozed", true}, {0x3010, 3, "Expired", false},    {0x5000, 2, "Unknown (5)", true},
        {0x1100, 0, "On", true},      {0x9000, 2, "Unknown (9)", true},
    };
    for (const auto& testCase : cases) {
        WindowsSecurityCenterProducts::TessaroSecurityCenterAgentProduct product;
        WindowsSecurityCenterProducts::DecodeProductState(testCase.productState, product);
        EXPECT_EQ(product.state, testCase.state) << std::hex << testCase.productState;
        EXPECT_EQ(product.stateText, testCase.text);
        EXPECT_EQ(product.upToDate, testCase.upToDate);
    }
}

TEST(WindowsSecurityCenterProductsTest, EmptyDisplayNameAnswersOffWith87WithoutWmi)
{
    const ScratchRegistryKey settings;
    ASSERT_EQ(settings.Key()->SetString(L"DisplayName", std::wstring()), 0u);
    Configuration configuration;
    configuration.ParseCommandLine("/REGISTER", settings.Key(), nullptr);
    WindowsSecurityCenterProducts products(configuration);
    const auto state = products.GetOwnProductState();
    EXPECT_EQ(state.ErrorCode(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(state.Value(), ProductState::Off);
}

}  // namespace
