#include "agent/AgentEntry.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using Tessaro::Ravelin::RunAgentCommand;
using Tessaro::Testing::LogCapture;

TEST(AgentEntryTest, UnrecognisedCommandLineEndsWith87)
{
    for (const char* commandLine : {"", "/FOO", "/UPDATE_WSC=", "/REGISTERED", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(commandLine != nullptr ? commandLine : "(null)");
        EXPECT_EQ(RunAgentCommand(commandLine), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    }
}

// The command line is read before the log exists, so this failure reaches whatever sink was
// installed before the agent started.
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
