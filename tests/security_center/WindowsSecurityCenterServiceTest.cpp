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

// Shutdown ends the wait at once; any other failure to query is asked again ten times, 100 ms apart.
TEST(WindowsSecurityCenterServiceTest, ServiceWaitEndsAtOnceOnShutdownAndRequeriesOtherFailures)
{
    const LogCapture capture;
    for (const std::uint32_t failure : {ERROR_SHUTDOWN_IN_PROGRESS, ERROR_ACCESS_DENIED}) {
        auto failing = std::make_shared<ScriptedService>();
        failing->answers = {Result<ServiceStatus>(failure)};
        PausesOnly clock;
        WindowsSecurityCenterService service(failing);
        service.SetPacing(clock.Pace());
        EXPECT_EQ(service.WaitForService(std::chrono::seconds(120)).ErrorCode(), failure);
        const bool shutdown = failure == ERROR_SHUTDOWN_IN_PROGRESS;
        EXPECT_EQ(failing->queries, shutdown ? 1 : 11);
        EXPECT_EQ(clock.pauses, std::vector<Ticks>(shutdown ? 0 : 10, std::chrono::milliseconds(100)));
        EXPECT_EQ(capture.Messages().back(),
                  shutdown ? "Wait for Windows Security Center Service failed as system shutdown is in progress"
                           : "Can't get Windows security center service state (Error: 5)");
    }
    // A shutdown that begins at the last query is a shutdown too.
    auto late = std::make_shared<ScriptedService>();
    late->answers = std::vector<Result<ServiceStatus>>(10, Result<ServiceStatus>(ERROR_ACCESS_DENIED));
    late->answers.push_back(Result<ServiceStatus>(ERROR_SHUTDOWN_IN_PROGRESS));
    PausesOnly clock;
    WindowsSecurityCenterService service(late);
    service.SetPacing(clock.Pace());
    EXPECT_EQ(service.WaitForService(std::chrono::seconds(120)).ErrorCode(), ERROR_SHUTDOWN_IN_PROGRESS);
    EXPECT_EQ(late->queries, 11);
    EXPECT_EQ(capture.Messages().back(),
              "Wait for Windows Security Center Service failed as system shutdown is in progress");
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

// A service that never runs: the wait polls until its deadline and ends with 1460 exactly there;
// with no time at all, before any query.
TEST(WindowsSecurityCenterServiceTest, WaitEndsAtItsDeadline)
{
    for (const int seconds : {3, 0}) {
        auto starting = std::make_shared<ScriptedService>();
        starting->answers = {Result<ServiceStatus>(ServiceStatus{ServiceState::Starting, 0, 0})};
        PausesOnly clock;
        WindowsSecurityCenterService service(starting);
        service.SetPacing(clock.Pace());
        EXPECT_EQ(service.WaitForService(std::chrono::seconds(seconds)).ErrorCode(),
                  static_cast<std::uint32_t>(ERROR_TIMEOUT));
        EXPECT_EQ(starting->queries, seconds) << "at 0, 1 and 2 seconds; at 3 the time is up";
        EXPECT_EQ(clock.pauses, std::vector<Ticks>(seconds, std::chrono::seconds(1)));
    }
}

TEST(WindowsSecurityCenterServiceTest, ServiceWaitStopsOnTheStopEvent)
{
    auto stopped = std::make_shared<ScriptedService>();
    stopped->answers = {Result<ServiceStatus>(ServiceStatus{ServiceState::Stopped, 0, 0})};
    const auto stop = Tessaro::WinHandle::Create(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(WindowsSecurityCenterService(stopped).WaitForService(std::chrono::seconds(120), stop->Get()).ErrorCode(),
              0x20060001u)
        << "the code of a stop request";
    EXPECT_EQ(stopped->queries, 1);
}

}  // namespace
