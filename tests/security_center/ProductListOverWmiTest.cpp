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
#include <objbase.h>

#include <algorithm>
#include <thread>

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

// Another product wrote its entry: its paths are text the agent shows and compares, never a name it
// hands to the file system. A device path that is no drive's own device stays as it came ("\\?\"
// followed by the rest would reach a host through GLOBALROOT or Global, or a named pipe), and no
// form of it is left for a file call to use.
TEST_F(ProductListOverWmiTest, OtherProductsPathsStayText)
{
    const std::vector<std::wstring> paths = {L"\\Device\\GLOBALROOT\\Device\\Mup\\host\\share\\x.exe",
                                             L"\\Device\\Global\\UNC\\host\\share\\y.exe",
                                             L"\\Device\\PIPE\\ravelin-entry", L"\\Device\\UNC\\host\\share\\z.exe"};
    SimulatorState::Reset();
    for (std::size_t index = 0; index < paths.size(); ++index) {
        Product product;
        product.instanceGuid = L"{device-" + std::to_wstring(index) + L"}";
        product.displayName = L"Elsewhere " + std::to_wstring(index);
        product.path = paths[index];
        product.productPath = paths[(index + 1) % paths.size()];
        SimulatorState::Save(product);
    }

    const auto listed = WindowsSecurityCenterProducts::ListProducts();
    ASSERT_TRUE(listed.Succeeded()) << listed.Message();
    std::size_t seen = 0;
    for (const auto& entry : listed.Value()) {
        if (entry.name.rfind("Elsewhere ", 0) != 0) {
            continue;
        }
        const std::size_t index = std::stoul(entry.name.substr(10));
        EXPECT_EQ(entry.reportingExecutable.NormalizedPath(), paths.at(index));
        EXPECT_EQ(entry.productExecutable.NormalizedPath(), paths.at((index + 1) % paths.size()));
        for (const auto* path : {&entry.reportingExecutable, &entry.productExecutable}) {
            EXPECT_TRUE(path->IsTextOnly());
            EXPECT_TRUE(path->SystemCallPath().empty());
            EXPECT_TRUE(path->NativePath().empty());
        }
        ++seen;
    }
    EXPECT_EQ(seen, paths.size());

    // Each entry's line in the log names its two executables, each as what it is.
    const ScratchRegistryKey settings;
    ASSERT_EQ(settings.Key()->SetString(L"DisplayName", L"Antivirus"), 0u);
    Configuration configuration;
    configuration.ParseCommandLine("/REMOVE", settings.Key(), nullptr);
    const LogCapture capture;
    WindowsSecurityCenterProducts(configuration).ListRegisteredProducts();
    const auto messages = capture.Messages();
    for (std::size_t index = 0; index < paths.size(); ++index) {
        const std::string tail = " | Product: " + Tessaro::Utf16ToUtf8(paths[(index + 1) % paths.size()]) +
                                 " | Reporting: " + Tessaro::Utf16ToUtf8(paths[index]);
        EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                                [&](const std::string& message) {
                                    return message.size() > tail.size() &&
                                           message.compare(message.size() - tail.size(), tail.size(), tail) == 0;
                                }),
                  1)
            << tail;
    }
}

// The agent asks WMI's proxies, the services and the enumerator, for the security Microsoft's
// documentation asks of WMI clients: calls authenticated, impersonation allowed. A refusal is a
// warning, and the list is read all the same.
TEST_F(ProductListOverWmiTest, ProxiesAreAskedForImpersonationAndARefusalOnlyWarns)
{
    SimulatorState::Reset();
    {
        const LogCapture quiet;
        ASSERT_TRUE(WindowsSecurityCenterProducts::ListProducts().Succeeded());
        EXPECT_TRUE(quiet.Lines().empty()) << "security that is set says nothing";
    }
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

// A list WMI refuses is no empty list: the product's own state is the refusal, not "unregistered".
TEST_F(ProductListOverWmiTest, RefusedListIsNoEmptyList)
{
    const ScratchRegistryKey settings;
    ASSERT_EQ(settings.Key()->SetString(L"DisplayName", L"Antivirus"), 0u);
    Configuration configuration;
    configuration.ParseCommandLine("/UPDATE_WSC=ENABLE", settings.Key(), nullptr);
    const LogCapture capture;
    // Whichever step WMI refuses: the locator, the connection or the query (WBEM_E_FAILED).
    for (const wchar_t* step : {L"CreateLocator", L"ConnectServer", L"ExecQuery"}) {
        SimulatorState::Reset();
        SimulatorState::ScriptFault(step, 1, 0x80041001);
        EXPECT_FALSE(WindowsSecurityCenterProducts(configuration).GetOwnProductState().Succeeded()) << step;
    }
    EXPECT_EQ(capture.Count("Failed to search for the registered products (Error: "), 3u);
    // Nor is a list never asked for: a thread in another kind of COM apartment cannot enter this one.
    std::thread([&configuration] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_FALSE(WindowsSecurityCenterProducts(configuration).GetOwnProductState().Succeeded());
        CoUninitialize();
    }).join();
    EXPECT_EQ(capture.Count("Unable to initialize COM (Error: "), 1u);
}

}  // namespace
