#include "agent/AgentEntry.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

namespace {

using Tessaro::Ravelin::RunAgentCommand;
using Tessaro::Testing::LogCapture;

TEST(AgentEntryTest, UnrecognisedCommandLineEndsWith87)
{
    for (const wchar_t* commandLine : {L"ravelin.exe", L"ravelin.exe /FOO", L"\"C:\\a b\\ravelin.exe\" /UPDATE_WSC=",
                                       L"ravelin.exe /REGISTERED", static_cast<const wchar_t*>(nullptr)}) {
        SCOPED_TRACE(commandLine != nullptr ? std::filesystem::path(commandLine).string() : "(null)");
        EXPECT_EQ(RunAgentCommand(commandLine), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    }
}

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
