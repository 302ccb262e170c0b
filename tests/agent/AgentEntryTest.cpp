#include "agent/AgentEntry.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using Tessaro::Ravelin::RunAgentCommand;
using Tessaro::Testing::LogCapture;

TEST(AgentEntryTest, UnrecognisedCommandLineEndsWith87AndSaysWhy)
{
    for (const char* commandLine : {"", "/FOO", "/UPDATE_WSC=", "/REGISTERED"}) {
        SCOPED_TRACE(commandLine);
        const LogCapture capture;
        EXPECT_EQ(RunAgentCommand(commandLine), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(capture.Messages(), (std::vector<std::string>{"The given commandline parameters are invalid",
                                                                "Initialize failed with error: 87"}));
    }
    EXPECT_EQ(RunAgentCommand(nullptr), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
}

TEST(AgentEntryTest, InvalidUtf8CommandLineEndsAsTheBarriersCodeNotACrash)
{
    const LogCapture capture;
    EXPECT_EQ(RunAgentCommand("\xFF\xFE /REGISTER"), static_cast<std::uint32_t>(ERROR_NO_UNICODE_TRANSLATION));
    ASSERT_EQ(capture.Messages().size(), 1u);
    EXPECT_EQ(
        capture.Messages()[0].rfind("System error exception caught - Agent command: MultiByteToWideChar error", 0), 0u)
        << capture.Messages()[0];
}

}  // namespace
