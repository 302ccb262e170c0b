#include "configuration/Configuration.h"
#include "security_center/WindowsSecurityCenterIntegration.h"
#include "support/LogCapture.h"
#include "support/SecurityCenterDoubles.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::Testing::FakeFactory;
using Tessaro::Testing::FakeOsInfo;
using Tessaro::Testing::LogCapture;

struct Doubles {
    std::shared_ptr<Configuration> configuration = std::make_shared<Configuration>();
    std::shared_ptr<FakeFactory> factory = std::make_shared<FakeFactory>();
    std::shared_ptr<FakeOsInfo> os = std::make_shared<FakeOsInfo>();
    WindowsSecurityCenterIntegration integration{configuration, factory, os};
};

TEST(WindowsSecurityCenterIntegrationTest, FailedObjectCreationNamesCoCreateInstance)
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

TEST(WindowsSecurityCenterIntegrationTest, MissingStatus4InterfaceFailsTheSubStateWithItsName)
{
    Doubles doubles;
    const auto written = doubles.integration.SetProtectionSettingsSubstatus(1);
    EXPECT_EQ(written.ErrorCode(), static_cast<std::uint32_t>(E_NOINTERFACE));
    EXPECT_NE(written.Message().find("Failed to query interface struct IWscAVStatus4 (Error: 0x80004002)"),
              std::string::npos)
        << written.Message();
    EXPECT_EQ(doubles.factory->object.references, 1u) << "every interface pointer was released";
}

TEST(WindowsSecurityCenterIntegrationTest, SubStatesAreSkippedOnOlderBuildsAndServers)
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

TEST(WindowsSecurityCenterIntegrationTest, PendingNearExpirationNoticeIsOnlyAWarning)
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

    doubles.factory->object.notifyAnswer = S_OK;
    const LogCapture answered;
    doubles.integration.SendNearExpirationNotification(12);
    EXPECT_EQ(answered.Lines().size(), 1u) << "an answered notice is no failure";
}

}  // namespace
