#include "agent/AgentEntry.h"
#include "agent/WindowsSecurityCenterAgent.h"
#include "security_center/WindowsSecurityCenterService.h"
#include "support/AgentLog.h"
#include "support/SecurityCenterDoubles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::Testing::ScriptedService;
using Tessaro::Vantrel::Common::Result;
using Tessaro::Vantrel::Common::Utilities::ServiceStatus;

// A shutdown seen by the service wait ends the whole command with 1115, logged as no failure.
TEST(WindowsSecurityCenterAgentTest, ShutdownEndsTheCommandWith1115WithoutTheFailureLine)
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
TEST(WindowsSecurityCenterAgentTest, ExceptionOnTheCommandPathIsLoggedInTheAgentsLog)
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

}  // namespace
