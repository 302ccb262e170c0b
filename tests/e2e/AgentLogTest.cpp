#include "support/AgentLog.h"
#include "e2e/AgentProcess.h"
#include "support/ChildProcess.h"
#include "support/ScratchFolder.h"
#include "common/foundation/StringConversion.h"
#include "common/foundation/WinHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>

namespace {

using namespace Tessaro::Testing;

const std::string Separator(92, '#');

std::wstring TestProgramPath()
{
    std::wstring path(MAX_PATH * 4, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// The command line, and with it the identifier, is read upper-cased.
std::string Upper(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// The identifier carries characters beyond ASCII (without letter case): the command line arrives
// whole, as the wide text the system keeps, whatever the ANSI code page of the machine.
// The version the system reports of itself (its version record, which no manifest changes): the
// platform's, which the banner repeats. Wine 8 reports 10.0.18362, Wine 10 10.0.19043.
std::string SystemVersion()
{
    using Query = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (query == nullptr || query(&info) != 0) {
        return "(RtlGetVersion failed)";
    }
    return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
           std::to_string(info.dwBuildNumber);
}

TEST(AgentLogTest, BannerAndRefusalOfAnInvalidCommandLineReachTheLogFile)
{
    const std::string identifier = UniqueRunIdentifier("banner") + "-\u65E5\u672C\u0132";
    const std::wstring arguments = L"/FOO /ID=" + Tessaro::Utf8ToUtf16(identifier);
    ASSERT_EQ(RunAgentProcess(arguments), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));

    const std::string upper = Upper(identifier);
    const auto lines = AgentLogLinesOfRun(upper);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0].message, Separator);
    EXPECT_EQ(lines[1].message.rfind("Agent command " + upper + " started with pid: ", 0), 0u);
    EXPECT_EQ(lines[2].message, "Command line: /FOO /ID=" + identifier);
    const std::wstring testProgram = TestProgramPath();
    EXPECT_EQ(lines[3].message, "Called from parent pid: " + std::to_string(GetCurrentProcessId()) +
                                    " and path: \\\\?\\" + std::string(testProgram.begin(), testProgram.end()));
    EXPECT_EQ(lines[4].message, "Operating system: " + SystemVersion() + " - Workstation - 64bit");
    EXPECT_EQ(lines[5].message, Separator);
    for (int banner = 0; banner < 6; ++banner) {
        EXPECT_EQ(lines[banner].level, "INFO");
        EXPECT_EQ(lines[banner].componentName, "SecurityCenter");
    }
    EXPECT_EQ(lines[6].level, "ERROR");
    EXPECT_EQ(lines[6].componentName, "SecurityCenter");
    EXPECT_EQ(lines[6].message, "The given commandline parameters are invalid");
    EXPECT_EQ(lines[7].level, "ERROR");
    EXPECT_EQ(lines[7].componentName, "") << "component 0 has no bracket";
    EXPECT_EQ(lines[7].message, "Initialize failed with error: 87");
}

// A log the run may not use in SystemTemp (here its lock companion's name is taken by a folder,
// which the system refuses as it refuses an administrator's file there on Windows) is kept in Temp,
// and its first line says where the usual one is.
TEST(AgentLogTest, LogRefusedInSystemTempIsKeptInTempAndSaysSo)
{
    const ScratchFolder folder;
    const auto agent = folder.Path() / L"refusedlog.exe";
    ASSERT_TRUE(CopyFileW(AgentExecutablePath().c_str(), agent.c_str(), TRUE));
    const std::filesystem::path usual = AgentLogPath(L"refusedlog");
    const auto lock = std::filesystem::path(usual).replace_extension(L".lock");
    std::filesystem::create_directories(lock);
    const auto kept = usual.parent_path().parent_path() / L"Temp" / usual.filename();
    std::filesystem::remove(kept);

    EXPECT_EQ(RunAgentProcess(L"/FOO", agent.native()), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    const auto messages = AllAgentLogMessages(L"refusedlog");
    std::filesystem::remove(lock);
    std::filesystem::remove(kept);
    std::filesystem::remove(std::filesystem::path(kept).replace_extension(L".lock"));
    // Lines logged before the log opened (a clean-up warning) come first, in their order; the
    // line comes before the run's banner.
    const std::string keptHere =
        "The log of this run is kept here: the log in \\\\?\\" + usual.parent_path().string() + " could not be used";
    const auto isBanner = [](const std::string& message) { return message.rfind("Agent command ", 0) == 0; };
    const auto line = std::find(messages.begin(), messages.end(), keptHere);
    ASSERT_NE(line, messages.end());
    const auto banner = std::find_if(messages.begin(), messages.end(), isBanner);
    EXPECT_LT(line, banner);
}

// A parent that has ended before the banner is still named by its id, and by the image name the
// system may still keep for it (Wine does while a handle to it is open), never by another's.
TEST(AgentLogTest, ParentThatHasEndedIsNamedWithAnUnknownPath)
{
    const std::string identifier = UniqueRunIdentifier("orphan");
    ChildProcess launcher(L"orphaninglauncher.exe", std::to_wstring(GetCurrentProcessId()) + L" \"" +
                                                        AgentExecutablePath() + L"\" /FOO /ID=" + Wide(identifier));
    const Tessaro::WinHandle thread(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(launcher.WaitForExit())));
    ASSERT_TRUE(thread.IsValid());
    ResumeThread(thread.Get());
    std::vector<AgentLogLine> lines;
    for (int waited = 0; waited < 100 && lines.size() < 8; ++waited) {
        Sleep(100);
        lines = AgentLogLinesOfRun(Upper(identifier));
    }
    ASSERT_EQ(lines.size(), 8u);
    const std::string named = "Called from parent pid: " + std::to_string(launcher.Id()) + " and path: ";
    ASSERT_EQ(lines[3].message.rfind(named, 0), 0u) << lines[3].message;
    const std::string path = lines[3].message.substr(named.size());
    EXPECT_TRUE(path == "<unknown>" || path.ends_with("\\orphaninglauncher.exe")) << path;
}

}  // namespace
