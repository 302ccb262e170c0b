#include "agent/AgentEntry.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using Tessaro::Ravelin::RunAgentCommand;
using Tessaro::Testing::LogCapture;

// The command line is read before the log exists, so this failure reaches whatever sink was
// installed before the agent started.
TEST(AgentEntryTest, InvalidUtf16CommandLineEndsAsTheBarriersCodeNotACrash)
{
    const LogCapture capture;
    const std::wstring commandLine = std::wstring(L"ravelin.exe /ID=") + wchar_t(0xD800) + L" /REGISTER";
    EXPECT_EQ(RunAgentCommand(commandLine.c_str()), static_cast<std::uint32_t>(ERROR_NO_UNICODE_TRANSLATION));
    ASSERT_EQ(capture.Messages().size(), 1u);
    EXPECT_EQ(
        capture.Messages()[0].rfind("System error exception caught - Agent command: WideCharToMultiByte error", 0), 0u)
        << capture.Messages()[0];
}

}  // namespace
