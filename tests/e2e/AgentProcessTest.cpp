#include "e2e/AgentProcess.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using Tessaro::Testing::RunAgentProcess;
using Tessaro::Testing::RunAgentProcessAnsi;

// What a crash looks like from outside: an NTSTATUS exception code, the C runtime's abort (3),
// or the barrier's codes for exceptions nobody expected.
void ExpectOrderlyExit(std::uint32_t exitCode)
{
    EXPECT_LT(exitCode, 0xC0000000u) << std::hex << exitCode;
    EXPECT_NE(exitCode, 3u);
    EXPECT_NE(exitCode & 0xFFFF0000u, 0xE0060000u) << std::hex << exitCode;
}

TEST(AgentProcessTest, CommandLineOutsideAsciiOrInvalidEndsInAnOrderlyWay)
{
    // No command among them: what is exercised is reading the text, not Security Center.
    ExpectOrderlyExit(RunAgentProcessAnsi("\xFF\xFE /REGISTERX \xC3"));
    ExpectOrderlyExit(RunAgentProcess(std::wstring(L"/ID=") + wchar_t(0xD800) + L" /REMOVED"));
    ExpectOrderlyExit(RunAgentProcess(L"/ID=\u00FC\u4E16 " + std::wstring(5000, L'x')));
}

}  // namespace
