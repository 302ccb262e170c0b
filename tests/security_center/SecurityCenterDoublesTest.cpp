#include "agent/AgentEntry.h"
#include "agent/WindowsSecurityCenterAgent.h"
#include "common/OsInfoImpl.h"
#include "configuration/Configuration.h"
#include "security_center/SecurityCenterInterfaces.h"
#include "security_center/TriggerWindowsSecurityCenter.h"
#include "security_center/WindowsSecurityCenterIntegration.h"
#include "security_center/WindowsSecurityCenterProducts.h"
#include "security_center/WindowsSecurityCenterService.h"
#include "support/AgentLog.h"
#include "support/LogCapture.h"
#include "support/ScratchRegistryKey.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::Testing::LogCapture;
using Tessaro::Testing::ScratchRegistryKey;
using Tessaro::Vantrel::Common::Result;
using Tessaro::Vantrel::Common::Utilities::IServiceUtilities;
using Tessaro::Vantrel::Common::Utilities::ServiceStartType;
using Tessaro::Vantrel::Common::Utilities::ServiceState;
using Tessaro::Vantrel::Common::Utilities::ServiceStatus;

// A Security Center object that has only the interfaces it is given answers for.
class FakeStatusObject : public IWscAVStatus2 {
public:
    HRESULT notifyAnswer = S_OK;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == IID_IWscAVStatus2) {
            *object = static_cast<IWscAVStatus2*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE UnusedSlot3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NotifyUserForNearExpiration(ULONG) override { return notifyAnswer; }
    ULONG references = 1;
};

class FakeFactory : public IComFactory {
public:
    HRESULT answer = S_OK;
    FakeStatusObject object;
    int calls = 0;
    HRESULT CreateInstance(REFCLSID, IUnknown** created) override
    {
        ++calls;
        if (FAILED(answer)) {
            return answer;
        }
        object.AddRef();
        *created = &object;
        return S_OK;
    }
};

class FakeOsInfo : public Tessaro::OsInfoImpl {
public:
    bool recentBuild = true;
    bool workstation = true;
    bool IsBuild16241OrGreater() override { return recentBuild; }
    bool IsWorkstation() override { return workstation; }
};

class ScriptedService : public IServiceUtilities {
public:
    std::vector<Result<ServiceStatus>> answers;
    int queries = 0;
    bool raise = false;
    Result<ServiceStatus> QueryStatus() override
    {
        if (raise) {
            throw std::runtime_error("service query raised");
        }
        const auto& answer = answers[std::min<std::size_t>(queries, answers.size() - 1)];
        ++queries;
        return answer;
    }
    std::uint32_t Start() override { return 0; }
    std::uint32_t StartAndWait(std::chrono::seconds) override { return 0; }
    std::uint32_t Stop() override { return 0; }
    std::uint32_t StopAndWait(std::chrono::seconds) override { return 0; }
    Result<ServiceStartType> QueryStartType() override { return Result<ServiceStartType>(ServiceStartType::OnDemand); }
    std::uint32_t SetStartType(std::uint32_t) override { return 0; }
};

struct Doubles {
    std::shared_ptr<Configuration> configuration = std::make_shared<Configuration>();
    std::shared_ptr<FakeFactory> factory = std::make_shared<FakeFactory>();
    std::shared_ptr<FakeOsInfo> os = std::make_shared<FakeOsInfo>();
    WindowsSecurityCenterIntegration integration{configuration, factory, os};
};

TEST(SecurityCenterDoublesTest, FailedObjectCreationNamesCoCreateInstance)
{
    Doubles doubles;
    doubles.factory->answer = REGDB_E_CLASSNOTREG;
    const auto registered =
        doubles.integration.RegisterProduct("AV", Tessaro::Vantrel::Common::Utilities::FileInfo(L"C:\\a.exe"));
    EXPECT_EQ(registered.ErrorCode(), 0x80040154u);
    EXPECT_EQ(
        registered.Message().rfind(
            "Failed to create IUnknown for class: CoCreateInstance failed (Error: 0x80040154) (Error: 2147746132", 0),
        0u)
        << registered.Message();
    EXPECT_EQ(doubles.integration.UnregisterProduct().ErrorCode(), 0x80040154u);
}

TEST(SecurityCenterDoublesTest, MissingStatus4InterfaceFailsTheSubStateWithItsName)
{
    Doubles doubles;
    const auto written = doubles.integration.SetProtectionSettingsSubstatus(1);
    EXPECT_EQ(written.ErrorCode(), static_cast<std::uint32_t>(E_NOINTERFACE));
    EXPECT_NE(written.Message().find("Failed to query interface struct IWscAVStatus4 (Error: 0x80004002)"),
              std::string::npos)
        << written.Message();
    EXPECT_EQ(doubles.factory->object.references, 1u) << "every interface pointer was released";
}

TEST(SecurityCenterDoublesTest, SubStatesAreSkippedOnOlderBuildsAndServers)
{
    Doubles doubles;
    const LogCapture capture;
    doubles.os->recentBuild = false;
    EXPECT_TRUE(doubles.integration.SetCurrentThreatsSubstatus(1).Succeeded());
    doubles.os->recentBuild = true;
    doubles.os->workstation = false;
    EXPECT_TRUE(doubles.integration.SetProtectionUpdatesSubstatus(1).Succeeded());
    EXPECT_EQ(doubles.factory->calls, 0);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(SecurityCenterDoublesTest, PendingNearExpirationNoticeIsOnlyAWarning)
{
    Doubles doubles;
    doubles.factory->object.notifyAnswer = E_PENDING;
    const LogCapture capture;
    doubles.integration.SendNearExpirationNotification(12);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "Notify the user about near expiration (Remaining days: 12)");
    EXPECT_EQ(lines[1].level, Tessaro::Vantrel::Common::LogLevel::Warn);
    EXPECT_EQ(lines[1].message, "Failed to notify about near expiration (Error: 997 [H:0x8000000a])");

    doubles.factory->object.notifyAnswer = E_FAIL;
    const LogCapture second;
    doubles.integration.SendNearExpirationNotification(12);
    EXPECT_EQ(second.Lines()[1].level, Tessaro::Vantrel::Common::LogLevel::Error);
}

TEST(SecurityCenterDoublesTest, ServiceWaitEndsAtOnceOnShutdownAndRequeriesOtherFailures)
{
    auto shutdown = std::make_shared<ScriptedService>();
    shutdown->answers = {Result<ServiceStatus>(ERROR_SHUTDOWN_IN_PROGRESS)};
    const LogCapture capture;
    WindowsSecurityCenterService service(shutdown);
    EXPECT_EQ(service.WaitForService(std::chrono::seconds(120)).ErrorCode(),
              static_cast<std::uint32_t>(ERROR_SHUTDOWN_IN_PROGRESS));
    EXPECT_EQ(shutdown->queries, 1) << "no re-queries";
    EXPECT_EQ(capture.Messages().back(),
              "Wait for Windows Security Center Service failed as system shutdown is in progress");

    auto denied = std::make_shared<ScriptedService>();
    denied->answers = {Result<ServiceStatus>(ERROR_ACCESS_DENIED)};
    EXPECT_EQ(WindowsSecurityCenterService(denied).WaitForService(std::chrono::seconds(120)).ErrorCode(),
              static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(denied->queries, 11) << "one query and ten re-queries 100 ms apart";
    EXPECT_EQ(capture.Messages().back(), "Can't get Windows security center service state (Error: 5)");
}

TEST(SecurityCenterDoublesTest, ServiceWaitStopsOnTheStopEvent)
{
    auto stopped = std::make_shared<ScriptedService>();
    stopped->answers = {Result<ServiceStatus>(ServiceStatus{ServiceState::Stopped, 0, 0})};
    HANDLE stop = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WindowsSecurityCenterService(stopped).WaitForService(std::chrono::seconds(120), stop).ErrorCode(),
              WindowsSecurityCenterService::StopRequestedCode);
    EXPECT_EQ(stopped->queries, 1);
    CloseHandle(stop);
}

// A shutdown seen by the service wait ends the whole command with 1115, logged as no failure.
TEST(SecurityCenterDoublesTest, ShutdownEndsTheCommandWith1115WithoutTheFailureLine)
{
    auto shutdown = std::make_shared<ScriptedService>();
    shutdown->answers = {Result<ServiceStatus>(ERROR_SHUTDOWN_IN_PROGRESS)};
    const std::string identifier = Tessaro::Testing::UniqueRunIdentifier("SHUTDOWN");
    std::uint32_t code = 0;
    {
        WindowsSecurityCenterAgent agent("/UPDATE_WSC=ENABLE /ID=" + identifier,
                                         std::make_shared<WindowsSecurityCenterService>(shutdown));
        code = RunAgent(agent);
    }
    EXPECT_EQ(code, static_cast<std::uint32_t>(ERROR_SHUTDOWN_IN_PROGRESS));
    const auto messages = Tessaro::Testing::Messages(Tessaro::Testing::AgentLogLinesOfRun(identifier, L"unit_tests"));
    const auto has = [&](const std::string& text) {
        return std::find(messages.begin(), messages.end(), text) != messages.end();
    };
    EXPECT_TRUE(
        has("Skip the wait for the Windows Security Center service as system shutdown got detected (Error: 1115)"));
    EXPECT_TRUE(has("Successful triggered the Windows Security Center"));
    EXPECT_FALSE(has("Execute command failed with error: 1115"));
}

// An exception on the command's path ends the command with the barrier's code, and it is logged
// while the agent's log is still up.
TEST(SecurityCenterDoublesTest, ExceptionOnTheCommandPathIsLoggedInTheAgentsLog)
{
    auto raising = std::make_shared<ScriptedService>();
    raising->raise = true;
    const std::string identifier = Tessaro::Testing::UniqueRunIdentifier("RAISE");
    std::uint32_t code = 0;
    {
        WindowsSecurityCenterAgent agent("/UPDATE_WSC=ENABLE /ID=" + identifier,
                                         std::make_shared<WindowsSecurityCenterService>(raising));
        code = RunAgent(agent);
    }
    EXPECT_EQ(code, 0xE0060002u);
    const auto messages = Tessaro::Testing::Messages(Tessaro::Testing::AgentLogLinesOfRun(identifier, L"unit_tests"));
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Exception caught - Agent command: service query raised"),
              messages.end());
}

TEST(SecurityCenterDoublesTest, ProductStateDecoding)
{
    struct Case {
        std::uint32_t productState;
        std::uint32_t state;
        const char* text;
        bool upToDate;
    };
    const Case cases[] = {
        {0x1000, 0, "On", true},      {0x1010, 0, "On", false},      {0x0000, 1, "Off", true},
        {0x2000, 2, "Snoozed", true}, {0x3010, 3, "Expired", false}, {0x5000, 2, "Unknown (5)", true},
        {0x1100, 0, "On", true},
    };
    for (const auto& testCase : cases) {
        WindowsSecurityCenterProducts::TessaroSecurityCenterAgentProduct product;
        WindowsSecurityCenterProducts::DecodeProductState(testCase.productState, product);
        EXPECT_EQ(product.state, testCase.state) << std::hex << testCase.productState;
        EXPECT_EQ(product.stateText, testCase.text);
        EXPECT_EQ(product.upToDate, testCase.upToDate);
    }
}

TEST(SecurityCenterDoublesTest, EmptyDisplayNameAnswersOffWith87WithoutWmi)
{
    const ScratchRegistryKey settings;
    ASSERT_EQ(settings.Key()->SetString(L"DisplayName", L""), 0u);
    Configuration configuration;
    configuration.ParseCommandLine("/REGISTER", settings.Key(), nullptr);
    WindowsSecurityCenterProducts products(configuration);
    const auto state = products.GetOwnProductState();
    EXPECT_EQ(state.ErrorCode(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(state.Value(), ProductState::Off);
}

}  // namespace
