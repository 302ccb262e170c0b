// Security Center lists every antivirus product of the machine, and any of them may hold any text
// and any state. The agent lists them all, finds its own entry among them and logs them, whatever
// they hold: generated lists from a fixed seed, served by the simulator over WMI.

#include "common/foundation/StringConversion.h"
#include "configuration/Configuration.h"
#include "security_center/WindowsSecurityCenterProducts.h"
#include "support/SimulatorFixture.h"
#include "support/HostileInput.h"
#include "support/LogCapture.h"
#include "support/ScratchRegistryKey.h"
#include "state/StateCommand.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace Tessaro::Testing;
using Tessaro::Ravelin::Configuration;
using Tessaro::Ravelin::WindowsSecurityCenterProducts;
using Tessaro::Simulator::Product;
using Tessaro::Simulator::SimulatorState;
using Tessaro::Vantrel::Common::Utilities::FileInfo;

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
        ASSERT_EQ(listed.Value().size(), count + 1u) << "every entry, and the built-in one";
        // Entry for entry, in Security Center's order after the built-in one, as it was saved; a
        // text that is not valid UTF-16 is listed empty.
        const auto asListed = [](const std::wstring& text) {
            try {
                return Tessaro::Utf16ToUtf8(text);
            } catch (const std::exception&) {
                return std::string();
            }
        };
        const auto saved = SimulatorState::Products();
        for (std::size_t entry = 1; entry < saved.size(); ++entry) {
            const auto& product = listed.Value()[entry];
            EXPECT_EQ(product.instanceGuid, asListed(saved[entry].instanceGuid));
            EXPECT_EQ(product.name, asListed(saved[entry].displayName));
            EXPECT_EQ(product.reportingExecutable.Utf8(), FileInfo(asListed(saved[entry].path).c_str()).Utf8());
            EXPECT_EQ(product.upToDate, saved[entry].upToDate);
            EXPECT_EQ(product.timestamp, asListed(saved[entry].timestamp));
        }
        products.GetOwnProductState();
        products.ListRegisteredProducts();
    });
}

// Another product's entry may name a network location: its path is mapped by its text alone, so
// that the agent (SYSTEM) never connects to a host an entry names. Asked about, the host would not
// answer here and the path would stay in its device form.
TEST_F(ProductListOverWmiTest, NetworkPathOfAnotherProductIsMappedByItsTextAlone)
{
    SimulatorState::Reset();
    Product product;
    product.instanceGuid = L"{network}";
    product.displayName = L"Elsewhere";
    product.path = L"\\Device\\UNC\\host\\share\\x.exe";
    SimulatorState::Save(product);

    const auto listed = WindowsSecurityCenterProducts::ListProducts();
    ASSERT_TRUE(listed.Succeeded()) << listed.Message();
    const auto entry = std::find_if(listed.Value().begin(), listed.Value().end(),
                                    [](const auto& listedProduct) { return listedProduct.name == "Elsewhere"; });
    ASSERT_NE(entry, listed.Value().end());
    EXPECT_EQ(entry->reportingExecutable.NormalizedPath(), L"\\\\?\\UNC\\host\\share\\x.exe");
    EXPECT_EQ(entry->productExecutable.NormalizedPath(), L"\\\\?\\UNC\\host\\share\\x.exe");
}

// The agent asks WMI's proxies, the services and the enumerator, for the security Microsoft's
// documentation asks of WMI clients: calls authenticated, impersonation allowed. A refusal is a
// warning, and the list is read all the same.
TEST_F(ProductListOverWmiTest, ProxiesAreAskedForImpersonationAndARefusalOnlyWarns)
{
    SimulatorState::Reset();
    ASSERT_TRUE(WindowsSecurityCenterProducts::ListProducts().Succeeded());
    std::vector<std::wstring> blankets;
    for (const auto& entry : SimulatorState::Journal()) {
        if (entry.call == L"SetBlanket") {
            blankets.push_back(entry.arguments);
        }
    }
    EXPECT_EQ(blankets, (std::vector<std::wstring>{L"services: authentication 10, level 3, impersonation 3",
                                                   L"enumerator: authentication 10, level 3, impersonation 3"}));

    SimulatorState::ScriptFault(L"SetBlanket", 2, 0x80070005);
    const LogCapture capture;
    const auto listed = WindowsSecurityCenterProducts::ListProducts();
    ASSERT_TRUE(listed.Succeeded()) << listed.Message();
    EXPECT_EQ(listed.Value().size(), 1u) << "the built-in entry";
    EXPECT_EQ(capture.Messages(),
              (std::vector<std::string>{"Failed to set the security of the WMI services (Error: 0x80070005)",
                                        "Failed to set the security of the WMI enumerator (Error: 0x80070005)"}));
}

}  // namespace
