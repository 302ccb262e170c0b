#include "security_center/WindowsSecurityCenterService.h"
#include "support/LogCapture.h"
#include "support/SecurityCenterDoubles.h"

#include "common/foundation/WinHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::Ticks;
using Tessaro::Testing::LogCapture;
using Tessaro::Testing::PausesOnly;
using Tessaro::Testing::ScriptedService;
using Tessaro::Vantrel::Common::Result;
using Tessaro::Vantrel::Common::Utilities::ServiceState;
using Tessaro::Vantrel::Common::Utilities::ServiceStatus;

TEST(WindowsSecurityCenterServiceTest, ServiceWaitEndsAtOnceOnShutdownAndRequeriesOtherFailures)
{
    auto shutdown = std::make_shared<ScriptedService>();
    shutdown->answers = {Result<ServiceStatus>(ERROR_SHUTDOWN_IN_PROGRESS)};
    const LogCapture capture;
    PausesOnly clock;
    WindowsSecurityCenterService service(shutdown);
    service.SetPacing(clock.Pace());
    EXPECT_EQ(service.WaitForService(std::chrono::seconds(120)).ErrorCode(),
              static_cast<std::uint32_t>(ERROR_SHUTDOWN_IN_PROGRESS));
    EXPECT_EQ(shutdown->queries, 1) << "no re-queries";
    EXPECT_TRUE(clock.pauses.empty());
    EXPECT_EQ(capture.Messages().back(),
              "Wait for Windows Security Center Service failed as system shutdown is in progress");

    auto denied = std::make_shared<ScriptedService>();
    denied->answers = {Result<ServiceStatus>(ERROR_ACCESS_DENIED)};
    WindowsSecurityCenterService deniedService(denied);
    deniedService.SetPacing(clock.Pace());
    EXPECT_EQ(deniedService.WaitForService(std::chrono::seconds(120)).ErrorCode(),
              static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(denied->queries, 11) << "one query and ten re-queries";
    EXPECT_EQ(clock.pauses, std::vector<Ticks>(10, std::chrono::milliseconds(100))) << "100 ms apart";
    EXPECT_EQ(capture.Messages().back(), "Can't get Windows security center service state (Error: 5)");
}

// Every state the wait can meet: stopped, starting and stopping are waited out, a poll a second;
// running ends the wait, a missing service and any other state (paused among them) end it with
// their codes at once.
TEST(WindowsSecurityCenterServiceTest, EachServiceStateAndThePaceOfThePolls)
{
    const struct {
        std::uint32_t state;
        std::uint32_t code;
        int queries;
    } cases[] = {
        {static_cast<std::uint32_t>(ServiceState::Stopped), ERROR_SUCCESS, 2},
        {static_cast<std::uint32_t>(ServiceState::Starting), ERROR_SUCCESS, 2},
        {static_cast<std::uint32_t>(ServiceState::Stopping), ERROR_SUCCESS, 2},
        {static_cast<std::uint32_t>(ServiceState::Running), ERROR_SUCCESS, 1},
        {static_cast<std::uint32_t>(ServiceState::NotInstalled), ERROR_SERVICE_NOT_ACTIVE, 1},
        {SERVICE_PAUSED, ERROR_INTERNAL_ERROR, 1},
        {static_cast<std::uint32_t>(ServiceState::Unknown), ERROR_INTERNAL_ERROR, 1},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.state);
        auto scripted = std::make_shared<ScriptedService>();
        scripted->answers = {Result<ServiceStatus>(ServiceStatus{static_cast<ServiceState>(testCase.state), 0, 0}),
                             Result<ServiceStatus>(ServiceStatus{ServiceState::Running, 0, 0})};
        PausesOnly clock;
        const LogCapture capture;
        WindowsSecurityCenterService service(scripted);
        service.SetPacing(clock.Pace());
        EXPECT_EQ(service.WaitForService(std::chrono::seconds(120)).ErrorCode(), testCase.code);
        EXPECT_EQ(scripted->queries, testCase.queries);
        EXPECT_EQ(clock.pauses, std::vector<Ticks>(testCase.queries - 1, std::chrono::seconds(1)));
        if (testCase.code == ERROR_INTERNAL_ERROR) {
            EXPECT_EQ(capture.Messages().back(), "Unknown service status found " + std::to_string(testCase.state));
        }
    }
}

// A service that never runs: the wait polls until its deadline and ends with 1460 exactly there.
TEST(WindowsSecurityCenterServiceTest, WaitEndsAtItsDeadline)
{
    auto starting = std::make_shared<ScriptedService>();
    starting->answers = {Result<ServiceStatus>(ServiceStatus{ServiceState::Starting, 0, 0})};
    PausesOnly clock;
    WindowsSecurityCenterService service(starting);
    service.SetPacing(clock.Pace());
    EXPECT_EQ(service.WaitForService(std::chrono::seconds(3)).ErrorCode(), static_cast<std::uint32_t>(ERROR_TIMEOUT));
    EXPECT_EQ(starting->queries, 3) << "at 0, 1 and 2 seconds; at 3 the time is up";
    EXPECT_EQ(clock.pauses, std::vector<Ticks>(3, std::chrono::seconds(1)));
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
