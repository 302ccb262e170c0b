#include "common/ServiceUtilities.h"
#include "support/SimulatorFixture.h"

#include <chrono>

namespace {

using Tessaro::Simulator::ServiceMode;
using Tessaro::Simulator::SimulatorState;
using Tessaro::Vantrel::Common::Utilities::ServiceState;
using Tessaro::Vantrel::Common::Utilities::ServiceUtilities;

class ServiceWaitTest : public Tessaro::Testing::SimulatorFixture {};

TEST_F(ServiceWaitTest, ServiceUtilitiesWidenTheirHandlesAndMapStates)
{
    ServiceUtilities utilities("wscsvc");
    const auto stopped = utilities.QueryStatus();
    ASSERT_TRUE(stopped.Succeeded()) << stopped.Message();
    EXPECT_EQ(stopped.Value().state, ServiceState::Stopped);
    EXPECT_EQ(utilities.ServiceAccess(), static_cast<std::uint32_t>(SERVICE_QUERY_STATUS));

    EXPECT_EQ(utilities.StartAndWait(std::chrono::seconds(10)), 0u);
    EXPECT_EQ(utilities.ServiceAccess(), static_cast<std::uint32_t>(SERVICE_QUERY_STATUS | GENERIC_EXECUTE));
    // A start the control manager refuses ends the wait at once, with its refusal.
    EXPECT_EQ(utilities.StartAndWait(std::chrono::seconds(10)),
              static_cast<std::uint32_t>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_EQ(utilities.ManagerAccess(), static_cast<std::uint32_t>(SC_MANAGER_CONNECT));
    EXPECT_EQ(utilities.StopAndWait(std::chrono::seconds(10)), 0u);

    // Every state the control manager reports for a started service, as the real service reports
    // it: the pending states of a start and a stop are waited through, the others are no state of
    // their own.
    const struct {
        ServiceMode mode;
        DWORD reported;
        Tessaro::Vantrel::Common::Utilities::ServiceState state;
    } states[] = {{ServiceMode::StartPending, SERVICE_START_PENDING, ServiceState::Starting},
                  {ServiceMode::Running, SERVICE_RUNNING, ServiceState::Running},
                  {ServiceMode::StopPending, SERVICE_STOP_PENDING, ServiceState::Stopping},
                  {ServiceMode::Paused, SERVICE_PAUSED, ServiceState::Unknown},
                  {ServiceMode::PausePending, SERVICE_PAUSE_PENDING, ServiceState::Unknown},
                  {ServiceMode::ContinuePending, SERVICE_CONTINUE_PENDING, ServiceState::Unknown}};
    SimulatorState::SetServiceMode(ServiceMode::StartPending);
    ASSERT_EQ(utilities.Start(), 0u);
    for (const auto& expected : states) {
        SimulatorState::SetServiceMode(expected.mode);
        ASSERT_TRUE(WaitForServiceState(expected.reported, 5000)) << expected.reported;
        EXPECT_EQ(utilities.QueryStatus().Value().state, expected.state) << expected.reported;
    }

    // The start type reads as the service control manager's number, its last one (disabled) too.
    for (const DWORD type : {SERVICE_DISABLED, SERVICE_DEMAND_START}) {
        EXPECT_EQ(utilities.SetStartType(type), 0u);
        EXPECT_EQ(static_cast<DWORD>(utilities.QueryStartType().Value()), type);
    }
    EXPECT_EQ(utilities.ManagerAccess(), static_cast<std::uint32_t>(SC_MANAGER_ALL_ACCESS));
}

// A start that stays pending is waited through to the deadline, then 1460. The deadline is
// checked before the state: with no time at all the answer is 1460, even once the service has
// reached the state asked for.
TEST_F(ServiceWaitTest, DeadlineEndsTheWaitWith1460)
{
    ServiceUtilities utilities("wscsvc");
    SimulatorState::SetServiceMode(ServiceMode::StartPending);
    EXPECT_EQ(utilities.StartAndWait(std::chrono::seconds(1)), static_cast<std::uint32_t>(ERROR_TIMEOUT));
    SimulatorState::SetServiceMode(ServiceMode::Running);
    ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 5000));
    EXPECT_EQ(utilities.StopAndWait(std::chrono::seconds(10)), 0u);

    EXPECT_EQ(utilities.StartAndWait(std::chrono::seconds(0)), static_cast<std::uint32_t>(ERROR_TIMEOUT));
    ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 5000));
    EXPECT_EQ(utilities.StopAndWait(std::chrono::seconds(0)), static_cast<std::uint32_t>(ERROR_TIMEOUT));
    EXPECT_TRUE(WaitForServiceState(SERVICE_STOPPED, 5000));
}

// A service that ends on its own while it starts (its start failed) ends the wait in a state
// other than the one asked for: 5023, and the status names the service's own error.
TEST_F(ServiceWaitTest, StartThatFailsEndsTheWaitWith5023)
{
    ServiceUtilities utilities("wscsvc");
    SimulatorState::SetServiceMode(ServiceMode::Stopped);
    EXPECT_EQ(utilities.StartAndWait(std::chrono::seconds(10)), static_cast<std::uint32_t>(ERROR_INVALID_STATE));
    const auto failed = utilities.QueryStatus();
    ASSERT_TRUE(failed.Succeeded()) << failed.Message();
    EXPECT_EQ(failed.Value().state, ServiceState::Stopped);
    EXPECT_EQ(failed.Value().win32ExitCode, static_cast<std::uint32_t>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(failed.Value().serviceSpecificExitCode, 42u) << "the simulated service's own code";
}

TEST_F(ServiceWaitTest, MissingOrUnnamedServices)
{
    const auto missing = ServiceUtilities("ravelin-no-such-service").QueryStatus();
    ASSERT_TRUE(missing.Succeeded());
    EXPECT_EQ(static_cast<std::uint32_t>(missing.Value().state), 255u) << "NotInstalled, as documented";
    EXPECT_EQ(missing.Value().win32ExitCode, 0u) << "no exit code of a service that is not there";
    EXPECT_EQ(missing.Value().serviceSpecificExitCode, 0u);
    EXPECT_EQ(ServiceUtilities("ravelin-no-such-service").StopAndWait(std::chrono::seconds(1)),
              static_cast<std::uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));

    ServiceUtilities unnamed("");
    EXPECT_EQ(unnamed.QueryStatus().ErrorCode(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(unnamed.Start(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(unnamed.SetStartType(SERVICE_DEMAND_START), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(unnamed.ManagerAccess(), 0u) << "the service control manager was never asked";
}

}  // namespace
