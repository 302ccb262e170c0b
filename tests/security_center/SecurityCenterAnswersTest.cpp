// What the agent makes of Security Center's answers, served by the simulator in process: which
// entry is its own, and the texts of the calls that fail.

#include "common/OsInfoImpl.h"
#include "configuration/Configuration.h"
#include "security_center/TriggerWindowsSecurityCenter.h"
#include "security_center/WindowsSecurityCenterIntegration.h"
#include "security_center/WindowsSecurityCenterProducts.h"
#include "support/SimulatorFixture.h"
#include "support/LogCapture.h"
#include "support/SecurityCenterDoubles.h"
#include "support/ScratchRegistryKey.h"
#include "state/StateCommand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::Simulator::NormalizeOwner;
using Tessaro::Simulator::Product;
using Tessaro::Simulator::SimulatorState;
using Tessaro::Testing::LogCapture;
using Tessaro::Testing::PausesOnly;
using Tessaro::Testing::ScratchRegistryKey;

constexpr std::uint32_t Failure = 0x80004005;  // E_FAIL
constexpr std::uint32_t Pending = 0x8000000A;  // E_PENDING

class SecurityCenterAnswersTest : public Tessaro::Testing::SimulatorFixture {
protected:
    void SetUp() override
    {
        SimulatorFixture::SetUp();
        ASSERT_EQ(settings.Key()->SetString(L"DisplayName", L"Answers Antivirus"), 0u);
        Tessaro::Ravelin::InstallStateCommands(*configuration, nullptr);
        configuration->ParseCommandLine("/UPDATE_WSC=ENABLE", settings.Key(), nullptr);
    }

    // An entry as Security Center would list it for another process.
    static void List(const std::wstring& guid, const std::wstring& name, const std::wstring& path, std::uint32_t state,
                     const std::wstring& productPath = {})
    {
        Product product;
        product.instanceGuid = guid;
        product.displayName = name;
        product.path = path;
        product.productPath = productPath;
        product.owner = NormalizeOwner(path);
        product.state = state;
        SimulatorState::Save(product);
    }

    std::wstring ReportingPath() const { return configuration->GetReportingExecutable().NormalizedPath(); }

    ProductState OwnState() { return WindowsSecurityCenterProducts(*configuration).GetOwnProductState().Value(); }

    ScratchRegistryKey settings;
    std::shared_ptr<Configuration> configuration = std::make_shared<Configuration>();
    WindowsSecurityCenterIntegration integration{configuration, std::make_shared<ComFactory>(),
                                                 std::make_shared<Tessaro::OsInfoImpl>()};
    const LogCapture log;
};

// The own entry is the one whose name and executables are the agent's, exactly.
TEST_F(SecurityCenterAnswersTest, OwnEntryNeedsTheNameAndTheExecutableExactly)
{
    List(L"{1}", L"Answers Antivirus", L"C:\\Other\\ravelin.exe", 0);
    EXPECT_EQ(OwnState(), ProductState::Unregistered) << "the name alone is not enough";
    SimulatorState::Reset();
    List(L"{1}", L"Answers Antivirus", ReportingPath(), 0, L"C:\\Other\\product.exe");
    EXPECT_EQ(OwnState(), ProductState::Unregistered) << "nor the reporting executable alone";

    SimulatorState::Reset();
    List(L"{1}", L"ANSWERS ANTIVIRUS", ReportingPath(), 0);
    std::wstring upperPath = ReportingPath();
    for (auto& c : upperPath) {
        c = static_cast<wchar_t>(towupper(c));
    }
    List(L"{2}", L"Answers Antivirus", upperPath, 0);
    EXPECT_EQ(OwnState(), ProductState::Unregistered) << "letter case counts in the name and in the path";

    SimulatorState::Reset();
    List(L"{1}", L"Answers Antivirus", ReportingPath(), 2);
    List(L"{2}", L"Answers Antivirus", ReportingPath(), 0);
    EXPECT_EQ(OwnState(), ProductState::Snoozed) << "the first matching entry decides";
}

TEST_F(SecurityCenterAnswersTest, EachFailedCallCarriesItsText)
{
    PausesOnly clock;
    integration.SetPacing(clock.Pace());
    SimulatorState::ScriptFault(L"Register", 10, Pending);
    const auto registered = integration.RegisterProduct("Answers Antivirus", configuration->GetReportingExecutable());
    EXPECT_EQ(registered.ErrorCode(), static_cast<std::uint32_t>(ERROR_IO_PENDING));
    EXPECT_EQ(registered.Message().rfind("WscAvStatus register failed (Error: 0x8000000a)", 0), 0u)
        << registered.Message();
    const auto journal = SimulatorState::Journal();
    EXPECT_EQ(
        std::count_if(journal.begin(), journal.end(), [](const auto& entry) { return entry.call == L"Register"; }), 10)
        << "ten attempts, whatever the answer";
    EXPECT_EQ(clock.pauses, std::vector<Tessaro::Ticks>(9, std::chrono::milliseconds(500))) << "half a second apart";
    ASSERT_TRUE(integration.RegisterProduct("Answers Antivirus", configuration->GetReportingExecutable()).Succeeded())
        << "the eleventh call is answered";

    SimulatorState::ScriptFault(L"UpdateStatus", 1, Failure);
    EXPECT_EQ(integration.WriteAntivirusState().Message().rfind(
                  "Write anti virus state: UpdateStatus failed (Error: 0x80004005)", 0),
              0u);
    SimulatorState::ScriptFault(L"UpdateSettingsSubstatus", 1, Failure);
    EXPECT_EQ(integration.SetProtectionSettingsSubstatus(1).Message().rfind(
                  "Update protection settings sub-status failed (Error: 0x80004005)", 0),
              0u);
    SimulatorState::ScriptFault(L"UpdateProtectionUpdateSubstatus", 1, Failure);
    EXPECT_EQ(integration.SetProtectionUpdatesSubstatus(1).Message().rfind(
                  "Update protection update sub-status: UpdateStatus failed (Error: 0x80004005)", 0),
              0u);
    SimulatorState::ScriptFault(L"UpdateScanSubstatus", 1, Failure);
    EXPECT_EQ(integration.SetCurrentThreatsSubstatus(1).Message().rfind(
                  "Update current threads sub status failed (Error: 0x80004005)", 0),
              0u);
    SimulatorState::ScriptFault(L"Unregister", 1, Failure);
    const auto removed = integration.UnregisterProduct();
    EXPECT_FALSE(removed.Succeeded());
    EXPECT_EQ(removed.Message().rfind("AVStatus Unregister failed (Error: 0x80004005)", 0), 0u) << removed.Message();
}

// An update Security Center answers with "pending" or "not found" (it is still catching up) is tried
// again a second later, ten times in all; any other answer ends it at once.
TEST_F(SecurityCenterAnswersTest, UpdateIsTriedAgainASecondApartWhileSecurityCenterCatchesUp)
{
    TriggerWindowsSecurityCenter trigger(
        configuration, std::make_shared<WindowsSecurityCenterIntegration>(configuration, std::make_shared<ComFactory>(),
                                                                          std::make_shared<Tessaro::OsInfoImpl>()));
    PausesOnly clock;
    trigger.SetPacing(clock.Pace());
    EXPECT_EQ(trigger.UpdateWithRetry().ErrorCode(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND))
        << "never registered";
    EXPECT_EQ(clock.pauses, std::vector<Tessaro::Ticks>(9, std::chrono::seconds(1)));

    ASSERT_TRUE(integration.RegisterProduct("Answers Antivirus", configuration->GetReportingExecutable()).Succeeded());
    const struct {
        std::uint32_t answer;
        bool succeeds;
        std::size_t pauses;
    } cases[] = {{Pending, true, 1}, {Failure, false, 0}};
    for (const auto& testCase : cases) {
        SimulatorState::ScriptFault(L"UpdateStatus", 1, testCase.answer);
        clock.pauses.clear();
        EXPECT_EQ(trigger.UpdateWithRetry().Succeeded(), testCase.succeeds) << testCase.answer;
        EXPECT_EQ(clock.pauses, std::vector<Tessaro::Ticks>(testCase.pauses, std::chrono::seconds(1)))
            << testCase.answer;
    }
}

}  // namespace
