// What the agent makes of Security Center's answers, served by the simulator in process: which
// entry is its own, and the texts of the calls that fail.

#include "common/OsInfoImpl.h"
#include "configuration/Configuration.h"
#include "diagnostics/HResultConversion.h"
#include "security_center/TriggerWindowsSecurityCenter.h"
#include "security_center/WindowsSecurityCenterIntegration.h"
#include "security_center/WindowsSecurityCenterProducts.h"
#include "security_center/WindowsSecurityCenterService.h"
#include "support/SimulatorFixture.h"
#include "support/LogCapture.h"
#include "support/SecurityCenterDoubles.h"
#include "support/ScratchRegistryKey.h"
#include "state/StateCommand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <numeric>

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

    // The commands' own runner, with its own connection to Security Center.
    std::unique_ptr<TriggerWindowsSecurityCenter> Trigger() const
    {
        return std::make_unique<TriggerWindowsSecurityCenter>(
            configuration, std::make_shared<WindowsSecurityCenterIntegration>(
                               configuration, std::make_shared<ComFactory>(), std::make_shared<Tessaro::OsInfoImpl>()));
    }

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
    EXPECT_EQ(log.Count("Search in products for the state of: Answers Antivirus (" +
                        configuration->GetReportingExecutable().Utf8() + ")"),
              1u);
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

    // The first matching entry decides, with Security Center's state read back as the product's.
    const std::pair<std::uint32_t, ProductState> states[] = {
        {1, ProductState::Off}, {2, ProductState::Snoozed}, {3, ProductState::Expired}, {0, ProductState::On}};
    for (const auto& [state, expected] : states) {
        SimulatorState::Reset();
        List(L"{1}", L"Answers Antivirus", ReportingPath(), state);
        List(L"{2}", L"Answers Antivirus", ReportingPath(), state == 0 ? 1 : 0);
        EXPECT_EQ(OwnState(), expected) << state;
    }
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
    EXPECT_EQ(CallsOf(L"Register"), 10u) << "ten attempts, whatever the answer";
    EXPECT_EQ(clock.pauses, std::vector<Tessaro::Ticks>(10, std::chrono::milliseconds(500)))
        << "half a second after each refused call, the last one too";
    ASSERT_TRUE(integration.RegisterProduct("Answers Antivirus", configuration->GetReportingExecutable()).Succeeded())
        << "the eleventh call is answered";

    const auto failsWith = [](const Tessaro::Vantrel::Common::Result<>& result, const std::string& text) {
        EXPECT_FALSE(result.Succeeded()) << text;
        EXPECT_EQ(result.Message().rfind(text + " failed (Error: 0x80004005)", 0), 0u) << result.Message();
    };
    SimulatorState::ScriptFault(L"UpdateStatus", 1, Failure);
    failsWith(integration.WriteAntivirusState(), "Write anti virus state: UpdateStatus");
    SimulatorState::ScriptFault(L"UpdateSettingsSubstatus", 1, Failure);
    failsWith(integration.SetProtectionSettingsSubstatus(1), "Update protection settings sub-status");
    SimulatorState::ScriptFault(L"UpdateProtectionUpdateSubstatus", 1, Failure);
    failsWith(integration.SetProtectionUpdatesSubstatus(1), "Update protection update sub-status: UpdateStatus");
    SimulatorState::ScriptFault(L"UpdateScanSubstatus", 1, Failure);
    failsWith(integration.SetCurrentThreatsSubstatus(1), "Update current threads sub status");
    SimulatorState::ScriptFault(L"Unregister", 1, Failure);
    failsWith(integration.UnregisterProduct(), "AVStatus Unregister");

    // COM's other success codes are success: only a failure code fails a call.
    for (const wchar_t* call : {L"UpdateStatus", L"UpdateSettingsSubstatus", L"UpdateProtectionUpdateSubstatus",
                                L"UpdateScanSubstatus", L"Unregister"}) {
        SimulatorState::ScriptFault(call, 1, S_FALSE);
    }
    EXPECT_EQ(integration.WriteAntivirusState().ErrorCode(), 0u);
    EXPECT_EQ(integration.SetProtectionSettingsSubstatus(1).ErrorCode(), 0u);
    EXPECT_EQ(integration.SetProtectionUpdatesSubstatus(1).ErrorCode(), 0u);
    EXPECT_EQ(integration.SetCurrentThreatsSubstatus(1).ErrorCode(), 0u);
    EXPECT_EQ(integration.UnregisterProduct().ErrorCode(), 0u);
}

// A registration asked in a removal is refused before any call, and says why.
TEST_F(SecurityCenterAnswersTest, RegistrationIsRefusedInARemoval)
{
    configuration->ParseCommandLine("/REMOVE", settings.Key(), nullptr);
    EXPECT_EQ(Trigger()->RegisterOnce().ErrorCode(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CallsOf(L"Register"), 0u);
    EXPECT_TRUE(log.Contains("Register shouldn't be called for the remove state"));
}

// The integration guide's worst case of a registration that Security Center keeps answering
// "pending": ten attempts a second apart, each of ten calls half a second apart.
TEST_F(SecurityCenterAnswersTest, SteadyPendingRegistrationIsAHundredCallsAndFiftyNineSecondsOfPauses)
{
    PausesOnly clock;
    auto paced = std::make_shared<WindowsSecurityCenterIntegration>(configuration, std::make_shared<ComFactory>(),
                                                                    std::make_shared<Tessaro::OsInfoImpl>());
    paced->SetPacing(clock.Pace());
    TriggerWindowsSecurityCenter trigger(configuration, paced);
    trigger.SetPacing(clock.Pace());
    SimulatorState::ScriptFault(L"Register", 1000, Pending);
    EXPECT_EQ(trigger.RegisterWithRetry().ErrorCode(), static_cast<std::uint32_t>(ERROR_IO_PENDING));
    EXPECT_EQ(CallsOf(L"Register"), 100u);
    EXPECT_EQ(std::accumulate(clock.pauses.begin(), clock.pauses.end(), Tessaro::Ticks{}), std::chrono::seconds(59));

    // A refused registration ends the command with Security Center's answer, and the products it
    // lists then show what it holds instead.
    using Tessaro::Vantrel::Common::Utilities::ServiceState;
    auto running = std::make_shared<Tessaro::Testing::ScriptedService>();
    running->answers = {Tessaro::Vantrel::Common::Result<Tessaro::Testing::ScriptedService::ServiceStatus>(
        Tessaro::Testing::ScriptedService::ServiceStatus{ServiceState::Running, 0, 0})};
    configuration->ParseCommandLine("/REGISTER", settings.Key(),
                                    std::make_shared<WindowsSecurityCenterService>(running));
    SimulatorState::ScriptFault(L"Register", 10, Failure);
    const LogCapture capture;
    EXPECT_EQ(trigger.Run().ErrorCode(), Failure);
    EXPECT_EQ(capture.Count("List registered products: Answers Antivirus ("), 2u) << "before and after the refusal";
}

// A command waits the documented two minutes for the service: one that stays in start pending is
// asked 120 times, a second apart, and the command ends with 1460 before any Security Center call.
TEST_F(SecurityCenterAnswersTest, CommandWaitsTwoMinutesForTheService)
{
    using Tessaro::Vantrel::Common::Result;
    using Tessaro::Vantrel::Common::Utilities::ServiceStatus;
    auto starting = std::make_shared<Tessaro::Testing::ScriptedService>();
    starting->answers = {
        Result<ServiceStatus>(ServiceStatus{Tessaro::Vantrel::Common::Utilities::ServiceState::Starting, 0, 0})};
    PausesOnly clock;
    auto service = std::make_shared<WindowsSecurityCenterService>(starting);
    service->SetPacing(clock.Pace());
    configuration->ParseCommandLine("/UPDATE_WSC=ENABLE", settings.Key(), service);
    EXPECT_EQ(Trigger()->Run().ErrorCode(), static_cast<std::uint32_t>(ERROR_TIMEOUT));
    EXPECT_EQ(starting->queries, 120);
    EXPECT_TRUE(SimulatorState::Journal().empty());
}

// An update Security Center answers with "pending" or "not found" (it is still catching up) is tried
// again a second later, ten times in all; any other answer ends it at once.
TEST_F(SecurityCenterAnswersTest, UpdateIsTriedAgainASecondApartWhileSecurityCenterCatchesUp)
{
    auto trigger = Trigger();
    PausesOnly clock;
    trigger->SetPacing(clock.Pace());
    const LogCapture capture;
    EXPECT_EQ(trigger->UpdateWithRetry().ErrorCode(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND))
        << "never registered";
    EXPECT_EQ(clock.pauses, std::vector<Tessaro::Ticks>(9, std::chrono::seconds(1)));
    EXPECT_EQ(capture.Count("Retry to execute the update antivirus operation (Error: 2)"), 9u);
    EXPECT_EQ(capture.Count("Failed to set the antivirus state as no registration was found (Error: 2)"), 10u);
    EXPECT_EQ(capture.Messages().back().rfind("Failed to execute the update antivirus operation (Error: 2)", 0), 0u);

    ASSERT_TRUE(integration.RegisterProduct("Answers Antivirus", configuration->GetReportingExecutable()).Succeeded());
    const struct {
        std::uint32_t answer;
        bool succeeds;
        std::size_t pauses;
    } cases[] = {{Pending, true, 1}, {Failure, false, 0}};
    for (const auto& testCase : cases) {
        SimulatorState::ScriptFault(L"UpdateStatus", 1, testCase.answer);
        clock.pauses.clear();
        EXPECT_EQ(trigger->UpdateWithRetry().Succeeded(), testCase.succeeds) << testCase.answer;
        EXPECT_EQ(clock.pauses, std::vector<Tessaro::Ticks>(testCase.pauses, std::chrono::seconds(1)))
            << testCase.answer;
    }
    EXPECT_EQ(capture.Count("Failed to write the antivirus state (Error: "), 2u) << "pending, then refused";
}

// Every call an update makes, with every argument, for each state and for an up-to-date product and
// one that is not: the near-expiration notice (a valid product on or snoozed), the state with its
// up-to-date flag, and the three sub-states.
TEST_F(SecurityCenterAnswersTest, EveryCallOfAnUpdateWithItsArgumentsInEachState)
{
    const auto now = Tessaro::FromStoredSeconds(1'780'315'200);
    configuration->SetClock([now] { return now; });
    auto trigger = Trigger();
    const auto seconds = [now](std::int64_t offset) {
        return static_cast<std::uint64_t>(Tessaro::ToStoredSeconds(now) + offset);
    };
    const struct {
        const char* word;
        std::int64_t expiresIn;
        std::int64_t outOfDateIn;
        std::vector<std::wstring> calls;
    } cases[] = {
        {"ENABLE",
         10 * 86400,
         3600,
         {L"NotifyUserForNearExpiration(10)", L"UpdateStatus(0, 1)", L"UpdateSettingsSubstatus(1)",
          L"UpdateProtectionUpdateSubstatus(1)", L"UpdateScanSubstatus(1)"}},
        {"ENABLE",
         10 * 86400,
         -3600,
         {L"NotifyUserForNearExpiration(10)", L"UpdateStatus(0, 0)", L"UpdateSettingsSubstatus(1)",
          L"UpdateProtectionUpdateSubstatus(2)", L"UpdateScanSubstatus(1)"}},
        {"SNOOZE",
         86400 + 1,
         -3600,
         {L"NotifyUserForNearExpiration(2)", L"UpdateStatus(2, 0)", L"UpdateSettingsSubstatus(2)",
          L"UpdateProtectionUpdateSubstatus(1)", L"UpdateScanSubstatus(1)"}},
        // Off is no word of its own: a time word takes the state the product stored for the instance.
        {"SET_EXPIRATION_TIME",
         10 * 86400,
         3600,
         {L"UpdateStatus(1, 1)", L"UpdateSettingsSubstatus(3)", L"UpdateProtectionUpdateSubstatus(1)",
          L"UpdateScanSubstatus(1)"}},
        {"ENABLE",
         -1,
         3600,
         {L"UpdateStatus(3, 1)", L"UpdateSettingsSubstatus(1)", L"UpdateProtectionUpdateSubstatus(1)",
          L"UpdateScanSubstatus(1)"}},
        {"SNOOZE",
         -1,
         -3600,
         {L"UpdateStatus(3, 0)", L"UpdateSettingsSubstatus(1)", L"UpdateProtectionUpdateSubstatus(2)",
          L"UpdateScanSubstatus(1)"}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.word) + " " + std::to_string(testCase.expiresIn) + " " +
                     std::to_string(testCase.outOfDateIn));
        SimulatorState::Reset();
        ASSERT_TRUE(
            integration.RegisterProduct("Answers Antivirus", configuration->GetReportingExecutable()).Succeeded());
        settings.Key()->DeleteValue(L"LastNearExpirationNotificationTime");
        ASSERT_EQ(settings.Key()->SetQword(L"ExpirationTime", seconds(testCase.expiresIn)), 0u);
        ASSERT_EQ(settings.Key()->SetQword(L"OutOfDateTime", seconds(testCase.outOfDateIn)), 0u);
        const auto instance = settings.Child(L"Instance\\" + std::to_wstring(GetCurrentProcessId()));
        ASSERT_EQ(instance->CreateRecursively(), 0u);
        ASSERT_EQ(instance->SetQword(L"StoredState", 1), 0u);
        ASSERT_EQ(configuration->ParseCommandLine(std::string("/UPDATE_WSC=") + testCase.word, settings.Key(), nullptr),
                  0u);
        const LogCapture log;
        ASSERT_TRUE(trigger->UpdateWithRetry().Succeeded());
        std::vector<std::wstring> calls;
        for (const auto& entry : SimulatorState::Journal()) {
            if (entry.call != L"Register") {
                calls.push_back(entry.call + L"(" + entry.arguments + L")");
            }
            // Each sub-state sent is logged by the name Security Center's header gives it.
            const std::map<std::wstring, std::string> labels = {
                {L"UpdateSettingsSubstatus", "protection settings"},
                {L"UpdateProtectionUpdateSubstatus", "protection updates"},
                {L"UpdateScanSubstatus", "current threads"}};
            if (const auto label = labels.find(entry.call); label != labels.end()) {
                const char* const names[] = {"NOT_SET", "NO_ACTION", "ACTION_RECOMMENDED", "ACTION_NEEDED"};
                EXPECT_TRUE(log.Contains("Setting the product sub status " + label->second +
                                         " to: WSC_SECURITY_PRODUCT_SUBSTATUS_" + names[std::stoi(entry.arguments)]));
            }
        }
        EXPECT_EQ(calls, testCase.calls);
    }
}

// Each sub-state write may be answered "pending", with another failure, or done: pending is a
// warning and the update goes on; another failure ends the update with its code, untried again,
// and the sub-states after it are not written.
TEST_F(SecurityCenterAnswersTest, EachAnswerToASubStateWriteAndWhatItDoesToTheUpdate)
{
    auto trigger = Trigger();
    PausesOnly clock;
    trigger->SetPacing(clock.Pace());
    ASSERT_TRUE(integration.RegisterProduct("Answers Antivirus", configuration->GetReportingExecutable()).Succeeded());
    const std::wstring calls[] = {L"UpdateSettingsSubstatus", L"UpdateProtectionUpdateSubstatus",
                                  L"UpdateScanSubstatus"};
    const char* const failures[] = {
        "Failed to set the antivirus sub state (Error: ", "Failed to set the protection sub state (Error: ",
        "Failed to set the scan sub state (Error: "};
    const auto failed = Tessaro::Vantrel::Common::ConvertHResultToErrorCode(static_cast<HRESULT>(Failure));
    for (std::size_t failing = 0; failing < std::size(calls); ++failing) {
        for (const std::uint32_t answer : {Pending, Failure}) {
            SCOPED_TRACE(std::to_string(failing) + " " + std::to_string(answer));
            const auto before = SimulatorState::Journal().size();
            SimulatorState::ScriptFault(calls[failing], 1, answer);
            const LogCapture capture;
            const auto result = trigger->UpdateWithRetry();
            const auto journal = SimulatorState::Journal();
            std::vector<std::wstring> made;
            for (auto entry = journal.begin() + static_cast<std::ptrdiff_t>(before); entry != journal.end(); ++entry) {
                if (entry->call != L"NotifyUserForNearExpiration") {
                    made.push_back(entry->call);
                }
            }
            std::vector<std::wstring> expected{L"UpdateStatus"};
            const std::size_t written = answer == Pending ? std::size(calls) : failing + 1;
            expected.insert(expected.end(), calls, calls + written);
            EXPECT_EQ(made, expected);
            const auto lines = capture.Lines();
            const auto line = std::find_if(lines.begin(), lines.end(), [&](const auto& logged) {
                return logged.message.rfind(failures[failing], 0) == 0;
            });
            ASSERT_NE(line, lines.end());
            if (answer == Pending) {
                EXPECT_TRUE(result.Succeeded());
                EXPECT_EQ(line->level, Tessaro::Vantrel::Common::LogLevel::Warn);
                EXPECT_EQ(line->message, std::string(failures[failing]) + "997)");
            } else {
                EXPECT_EQ(result.ErrorCode(), failed);
                EXPECT_EQ(line->level, Tessaro::Vantrel::Common::LogLevel::Error);
            }
        }
    }
    EXPECT_TRUE(clock.pauses.empty()) << "neither answer is worth another attempt";
}

}  // namespace
