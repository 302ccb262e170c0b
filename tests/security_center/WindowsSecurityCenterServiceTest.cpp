#include "security_center/WindowsSecurityCenterService.h"
#include "support/LogCapture.h"
#include "support/SecurityCenterDoubles.h"

#include "common/foundation/WinHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::Testing::LogCapture;
using Tessaro::Testing::ScriptedService;
using Tessaro::Vantrel::Common::Result;
using Tessaro::Vantrel::Common::Utilities::ServiceState;
using Tessaro::Vantrel::Common::Utilities::ServiceStatus;

TEST(WindowsSecurityCenterServiceTest, ServiceWaitEndsAtOnceOnShutdownAndRequeriesOtherFailures)
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

TEST(WindowsSecurityCenterServiceTest, WaitWithoutTimeEndsWith1460BeforeAnyQuery)
{
    auto running = std::make_shared<ScriptedService>();
    running->answers = {Result<ServiceStatus>(ServiceStatus{ServiceState::Running, 0, 0})};
    EXPECT_EQ(WindowsSecurityCenterService(running).WaitForService(std::chrono::seconds(0)).ErrorCode(),
              static_cast<std::uint32_t>(ERROR_TIMEOUT));
    EXPECT_EQ(running->queries, 0);
}

TEST(WindowsSecurityCenterServiceTest, ServiceWaitStopsOnTheStopEvent)
{
    auto stopped = std::make_shared<ScriptedService>();
    stopped->answers = {Result<ServiceStatus>(ServiceStatus{ServiceState::Stopped, 0, 0})};
    const auto stop = Tessaro::WinHandle::Create(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(WindowsSecurityCenterService(stopped).WaitForService(std::chrono::seconds(120), stop->Get()).ErrorCode(),
              WindowsSecurityCenterService::StopRequestedCode);
    EXPECT_EQ(stopped->queries, 1);
}

}  // namespace
