#include "agent/AgentEntry.h"
#include "agent/WindowsSecurityCenterAgent.h"
#include "security_center/WindowsSecurityCenterService.h"
#include "support/AgentLog.h"
#include "support/LogCapture.h"
#include "support/Platform.h"
#include "support/ProcessToken.h"
#include "support/ScratchFolder.h"
#include "support/SecurityCenterDoubles.h"

#include <gtest/gtest.h>
#include <windows.h>
// sddl.h needs the declarations of windows.h first.
#include <sddl.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::Testing::ScriptedService;
using Tessaro::Vantrel::Common::Result;
using Tessaro::Vantrel::Common::Utilities::FileInfo;
using Tessaro::Vantrel::Common::Utilities::ServiceStatus;

// On Windows an elevated administrator may not create files in SystemTemp (only SYSTEM may). Wine
// keeps no access lists, so here the refusal is a folder where the log's companion would be: the
// system refuses to open a folder as a file with the same error, access denied.
TEST(WindowsSecurityCenterAgentTest, LogRefusedInTheFirstTemporaryFolderIsKeptInTheSecond)
{
    const Tessaro::Testing::ScratchFolder windows;
    const auto systemTemp = windows.Path() / "SystemTemp";
    const auto temp = windows.Path() / "Temp";
    std::filesystem::create_directories(systemTemp);

    {
        const auto usual = WindowsSecurityCenterAgent::OpenLog(windows.Path(), L"agent.log");
        EXPECT_EQ(usual.file.Utf8(), FileInfo((systemTemp / "agent.log").native()).Utf8());
        EXPECT_TRUE(usual.refusedFolder.IsEmpty());
    }
    std::filesystem::remove(systemTemp / "agent.lock");
    std::filesystem::create_directories(systemTemp / "agent.lock");
    auto refused = WindowsSecurityCenterAgent::OpenLog(windows.Path(), L"agent.log");
    EXPECT_EQ(refused.file.Utf8(), FileInfo((temp / "agent.log").native()).Utf8());
    EXPECT_EQ(refused.refusedFolder.Utf8(), FileInfo(systemTemp.native()).Utf8());
    refused.writer->Write("kept\r\n");
    std::string line;
    std::getline(std::ifstream(temp / "agent.log"), line);
    EXPECT_EQ(line, "kept");
}

// Where ordinary users may create files (Temp), the log may be theirs already: a second name of
// their file (a hard link; a file that they own is refused the same way, which Wine cannot show).
// A run above ordinary users then logs in the Windows folder's "Logs", when only the
// administrators and the run may fill it; an ordinary user's run goes without a log, as before.
TEST(WindowsSecurityCenterAgentTest, RunAboveUsersWhoseLogIsPlantedLogsWhereOnlyAdministratorsWrite)
{
    const Tessaro::Testing::ScratchFolder windows;
    const auto systemTemp = windows.Path() / "SystemTemp";
    const auto temp = windows.Path() / "Temp";
    const auto logs = windows.Path() / "Logs";
    std::filesystem::create_directories(systemTemp / "agent.lock");  // refused for access
    std::filesystem::create_directories(temp);
    std::filesystem::create_directories(logs);
    Tessaro::Testing::WriteText(windows.Path() / "theirs.log", "theirs\r\n");
    ASSERT_TRUE(CreateHardLinkW((temp / "agent.log").c_str(), (windows.Path() / "theirs.log").c_str(), nullptr));
    const auto& current = Tessaro::RunAccount::Current();
    ASSERT_TRUE(current.IsAboveOrdinaryUsers()) << "the tests run elevated or as SYSTEM";

    auto kept = WindowsSecurityCenterAgent::OpenLog(windows.Path(), L"agent.log", current);
    EXPECT_EQ(kept.file.Utf8(), FileInfo((logs / "agent.log").native()).Utf8());
    EXPECT_EQ(kept.refusedFolder.Utf8(), FileInfo(temp.native()).Utf8());
    kept.writer->Write("kept\r\n");
    EXPECT_EQ(Tessaro::Testing::FileText(logs / "agent.log"), "kept\r\n");
    EXPECT_EQ(Tessaro::Testing::FileText(windows.Path() / "theirs.log"), "theirs\r\n");
    kept.writer.reset();

    const Tessaro::RunAccount ordinary(Tessaro::Testing::SidBytes(L"S-1-5-21-1111-2222-3333-1001"),
                                       Tessaro::Testing::SidBytes(L"S-1-5-21-1111-2222-3333-1001"), false);
    // Nor a "Logs" that somebody the run does not trust owns (Wine gives every file the token's user).
    const Tessaro::RunAccount system(Tessaro::Testing::SidBytes(L"S-1-5-18"), Tessaro::Testing::SidBytes(L"S-1-5-18"),
                                     true);
    std::filesystem::create_directories(systemTemp / "agent3.lock");
    ASSERT_TRUE(CreateHardLinkW((temp / "agent3.log").c_str(), (windows.Path() / "theirs.log").c_str(), nullptr));
    const auto foreignLogs = WindowsSecurityCenterAgent::OpenLog(windows.Path(), L"agent3.log", system);
    if (Tessaro::Testing::RunningUnderWine()) {
        EXPECT_FALSE(foreignLogs.writer->IsUsable());
        EXPECT_FALSE(std::filesystem::exists(logs / "agent3.log"));
    }

    std::filesystem::create_directories(systemTemp / "agent2.lock");
    ASSERT_TRUE(CreateHardLinkW((temp / "agent2.log").c_str(), (windows.Path() / "theirs.log").c_str(), nullptr));
    const auto dropped = WindowsSecurityCenterAgent::OpenLog(windows.Path(), L"agent2.log", ordinary);
    EXPECT_FALSE(dropped.writer->IsUsable());
    EXPECT_FALSE(std::filesystem::exists(logs / "agent2.log"));

    // Only a refusal for access gives way to the next temporary folder: not a log planted in the first.
    ASSERT_TRUE(CreateHardLinkW((systemTemp / "agent4.log").c_str(), (windows.Path() / "theirs.log").c_str(), nullptr));
    EXPECT_FALSE(WindowsSecurityCenterAgent::OpenLog(windows.Path(), L"agent4.log", ordinary).writer->IsUsable());
    EXPECT_FALSE(std::filesystem::exists(temp / "agent4.log"));

    // A Windows folder that gives no temporary folder at all leaves a writer that drops every line,
    // and a line that says why (267: the "folder" is a file).
    const Tessaro::Testing::LogCapture capture;
    const auto none = WindowsSecurityCenterAgent::OpenLog(windows.Path() / "theirs.log", L"agent5.log", ordinary);
    ASSERT_NE(none.writer, nullptr);
    EXPECT_FALSE(none.writer->IsUsable());
    ASSERT_FALSE(capture.Messages().empty());
    EXPECT_EQ(capture.Messages().back(), "Failed to get the log file directory (Temp: 267)");
}

// On Windows SystemTemp is SYSTEM's alone, where the system made it (the updates since March 2025
// do): any other account's log goes to Temp. Where it is missing, the run makes it and may use it;
// Wine keeps no access lists.
TEST(WindowsSecurityCenterAgentTest, SystemTempTakesOnlyTheLogOfSystem)
{
    std::array<wchar_t, MAX_PATH> windows{};
    GetWindowsDirectoryW(windows.data(), static_cast<UINT>(windows.size()));
    const bool madeBySystem =
        GetFileAttributesW((std::wstring(windows.data()) + L"\\SystemTemp").c_str()) != INVALID_FILE_ATTRIBUTES;
    auto opened = WindowsSecurityCenterAgent::OpenLog(windows.data(), L"ravelin_platform_probe.log");
    const bool refusalExpected =
        madeBySystem && !Tessaro::Testing::RunningUnderWine() && !Tessaro::Testing::RunningAsSystem();
    EXPECT_EQ(!opened.refusedFolder.IsEmpty(), refusalExpected) << opened.file.Utf8();
    opened.writer.reset();
    DeleteFileW(opened.file.SystemCallPath().c_str());
    DeleteFileW((opened.file.SystemCallPath().substr(0, opened.file.SystemCallPath().size() - 4) + L".lock").c_str());
}

// A shutdown seen by the service wait ends the whole command with 1115, logged as no failure; an
// exception on the command's path ends it with the barrier's code, logged while the agent's log is
// still up.
TEST(WindowsSecurityCenterAgentTest, ShutdownAndExceptionOnTheCommandPathEndTheCommandWithTheirCodes)
{
    for (const bool shutdown : {true, false}) {
        auto service = std::make_shared<ScriptedService>();
        service->answers = {Result<ServiceStatus>(ERROR_SHUTDOWN_IN_PROGRESS)};
        service->raise = !shutdown;
        const std::string identifier = Tessaro::Testing::UniqueRunIdentifier(shutdown ? "SHUTDOWN" : "RAISE");
        std::uint32_t code = 0;
        {
            WindowsSecurityCenterAgent agent("/UPDATE_WSC=ENABLE /ID=" + identifier,
                                             std::make_shared<WindowsSecurityCenterService>(service));
            code = RunAgent(agent);
        }
        EXPECT_EQ(code, shutdown ? static_cast<std::uint32_t>(ERROR_SHUTDOWN_IN_PROGRESS) : 0xE0060002u);
        const auto messages =
            Tessaro::Testing::Messages(Tessaro::Testing::AgentLogLinesOfRun(identifier, L"unit_tests"));
        const auto has = [&](const std::string& text) {
            return std::find(messages.begin(), messages.end(), text) != messages.end();
        };
        if (shutdown) {
            EXPECT_TRUE(
                has("Skip the wait for the Windows Security Center service as system shutdown got detected "
                    "(Error: 1115)"));
            EXPECT_TRUE(has("Successful triggered the Windows Security Center"));
            EXPECT_FALSE(has("Execute command failed with error: 1115"));
        } else {
            EXPECT_TRUE(has("Exception caught - Agent command: service query raised"));
        }
    }
}

// A thread whose apartment is already single-threaded cannot enter the agent's: the command ends
// before it starts, with COM's answer (RPC_E_CHANGED_MODE, which names no Windows error and so
// stays whole) and a line that says so, and leaves the thread's apartment alone.
TEST(WindowsSecurityCenterAgentTest, ApartmentThatCannotBeEnteredEndsTheCommandWithCOMsAnswer)
{
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    const std::string identifier = Tessaro::Testing::UniqueRunIdentifier("APARTMENT");
    std::uint32_t code = 0;
    {
        WindowsSecurityCenterAgent agent(
            "/UPDATE_WSC=ENABLE /ID=" + identifier,
            std::make_shared<WindowsSecurityCenterService>(std::make_shared<ScriptedService>()));
        code = RunAgent(agent);
    }
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE) << "the thread's apartment is left as it was";
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(code, 0x80010106u);
    const auto messages = Tessaro::Testing::Messages(Tessaro::Testing::AgentLogLinesOfRun(identifier, L"unit_tests"));
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Unable to execute CoInitializeEx"), messages.end());
}

// The process's COM security can be set once: when somebody set it before the remediation tool's
// start, the start ends with COM's answer (RPC_E_TOO_LATE) and a line that says so. Wine's COM
// takes every call, so only Windows shows it.
TEST(WindowsSecurityCenterAgentTest, ComSecuritySetBeforeTheToolsStartEndsTheCommandWithCOMsAnswer)
{
    if (Tessaro::Testing::RunningUnderWine()) {
        GTEST_SKIP() << "Wine's COM security takes every call";
    }
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IDENTIFY,
                                   nullptr, EOAC_NONE, nullptr),
              S_OK);
    const std::string identifier = Tessaro::Testing::UniqueRunIdentifier("SECURITY");
    std::uint32_t code = 0;
    {
        WindowsSecurityCenterAgent agent("/AV /ID=" + identifier, std::make_shared<WindowsSecurityCenterService>(
                                                                      std::make_shared<ScriptedService>()));
        code = RunAgent(agent);
    }
    CoUninitialize();
    EXPECT_EQ(code, 0x80010119u) << "no start is tried";
    const auto messages = Tessaro::Testing::Messages(Tessaro::Testing::AgentLogLinesOfRun(identifier, L"unit_tests"));
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Unable to execute CoInitializeSecurity"), messages.end());
}

}  // namespace
