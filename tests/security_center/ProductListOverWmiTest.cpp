// Security Center lists every antivirus product of the machine, and any of them may hold any text
// and any state. The agent lists them all, finds its own entry among them and logs them, whatever
// they hold: generated lists from a fixed seed, served by the simulator over WMI.

#include "configuration/Configuration.h"
#include "security_center/WindowsSecurityCenterProducts.h"
#include "support/SimulatorFixture.h"
#include "support/HostileInput.h"
#include "support/LogCapture.h"
#include "support/ScratchRegistryKey.h"
#include "state/StateCommand.h"

#include <gtest/gtest.h>

namespace {

using namespace Tessaro::Testing;
using Tessaro::Ravelin::Configuration;
using Tessaro::Ravelin::WindowsSecurityCenterProducts;
using Tessaro::Simulator::Product;
using Tessaro::Simulator::SimulatorState;

class ProductListOverWmiTest : public SimulatorFixture {};

TEST_F(ProductListOverWmiTest, EveryEntryIsListedWhateverItHolds)
{
    const std::vector<std::wstring> pieces = {L"Antivirus", L"C:\\Program Files\\", L"\\\\?\\",
                                              L".exe",      L"windowsdefender://",  L"\r\n2026-01-01 [ERROR] forged",
                                              L"%TEMP%"};
    const ScratchRegistryKey settings;
    ASSERT_EQ(settings.Key()->SetString(L"DisplayName", L"Antivirus"), 0u);
    Configuration configuration;
    Tessaro::Ravelin::InstallStateCommands(configuration, nullptr);
    configuration.ParseCommandLine("/UPDATE_WSC=ENABLE", settings.Key(), nullptr);
    WindowsSecurityCenterProducts products(configuration);
    const LogCapture quiet;

    ForEachCase(PropertyCases / 10, [&](HostileInput& input) {
        SimulatorState::Reset();
        const std::uint32_t count = input.Below(6);
        for (std::uint32_t entry = 0; entry < count; ++entry) {
            Product product;
            product.instanceGuid = L"{hostile-" + std::to_wstring(entry) + L"}";
            product.displayName = input.WideText(pieces, 6);
            product.path = input.WideText(pieces, 6);
            product.owner = input.WideText(pieces, 3);
            product.state = input.OneIn(2) ? input.Below(4) : input.Below(0xFFFFFFFF);
            product.upToDate = input.OneIn(2);
            product.timestamp = input.WideText(pieces, 2);
            SimulatorState::Save(product);
        }

        const auto listed = WindowsSecurityCenterProducts::ListProducts();
        ASSERT_TRUE(listed.Succeeded()) << listed.Message();
        EXPECT_EQ(listed.Value().size(), count + 1u) << "every entry, and the built-in one";
        products.GetOwnProductState();
        products.ListRegisteredProducts();
    });
}

}  // namespace
