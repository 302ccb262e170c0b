#include "e2e/AgentLog.h"
#include "e2e/AgentProcess.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using namespace Tessaro::Testing;

const std::string Separator(92, '#');

TEST(AgentLogTest, BannerAndRefusalOfAnInvalidCommandLineReachTheLogFile)
{
    const std::string identifier = UniqueRunIdentifier("banner");
    const std::wstring arguments = L"/FOO /ID=" + std::wstring(identifier.begin(), identifier.end());
    ASSERT_EQ(RunAgentProcess(arguments), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));

    std::string upper = identifier;
    for (char& c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    const auto lines = AgentLogLinesOfRun(upper);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0].message, Separator);
    EXPECT_EQ(lines[1].message.rfind("Agent command " + upper + " started with pid: ", 0), 0u);
    EXPECT_EQ(lines[2].message, "Command line: /FOO /ID=" + identifier);
    EXPECT_EQ(lines[3].message, Separator);
    for (int banner = 0; banner < 4; ++banner) {
        EXPECT_EQ(lines[banner].level, "INFO");
        EXPECT_EQ(lines[banner].componentName, "SecurityCenter");
    }
    EXPECT_EQ(lines[4].level, "ERROR");
    EXPECT_EQ(lines[4].componentName, "SecurityCenter");
    EXPECT_EQ(lines[4].message, "The given commandline parameters are invalid");
    EXPECT_EQ(lines[5].level, "ERROR");
    EXPECT_EQ(lines[5].componentName, "") << "component 0 has no bracket";
    EXPECT_EQ(lines[5].message, "Initialize failed with error: 87");
}

}  // namespace
