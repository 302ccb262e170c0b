#include "configuration/Configuration.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/ScratchRegistryKey.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::Testing::ChildProcess;
using Tessaro::Testing::LogCapture;
using Tessaro::Testing::ScratchRegistryKey;

TEST(InstanceCleanupTest, RemovesTheKeysOfEndedProcessesOnly)
{
    const ScratchRegistryKey settings;
    ChildProcess ended(L"logwriter.exe", L"NUL 0 0");
    ended.WaitForExit();
    ChildProcess running(L"logwriter.exe", L"NUL 0 0", CREATE_SUSPENDED);

    const std::wstring endedName = std::to_wstring(ended.Id());
    const std::wstring runningName = std::to_wstring(running.Id());
    const std::wstring ownName = std::to_wstring(GetCurrentProcessId());
    for (const auto& name : {endedName, runningName, ownName, std::wstring(L"abc"), std::wstring(L"99999999999")}) {
        ASSERT_EQ(settings.Child(L"Instance\\" + name)->CreateRecursively(), 0u);
    }
    ASSERT_EQ(settings.Child(L"Instance\\" + endedName + L"\\nested")->CreateRecursively(), 0u);
    ASSERT_EQ(settings.Child(L"Instance\\" + endedName)->SetQword(L"StoredState", 2), 0u);

    const LogCapture capture;
    Configuration configuration;
    configuration.ParseCommandLine("/REGISTER", settings.Key(), nullptr);

    EXPECT_FALSE(settings.Child(L"Instance\\" + endedName)->Exists()) << "ended process: deleted with its subkeys";
    EXPECT_TRUE(settings.Child(L"Instance\\" + runningName)->Exists());
    EXPECT_TRUE(settings.Child(L"Instance\\" + ownName)->Exists());
    EXPECT_TRUE(settings.Child(L"Instance\\abc")->Exists());
    EXPECT_TRUE(settings.Child(L"Instance\\99999999999")->Exists());
    const auto messages = capture.Messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Failed to remove the instance key \"abc\" (Error: invalid stol argument)"),
              messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Failed to remove the instance key \"99999999999\" (Error: stol argument out of range)"),
              messages.end());
    EXPECT_EQ(messages.size(), 2u);
}

TEST(InstanceCleanupTest, MissingOrEmptyInstanceKeysAreNoFailure)
{
    const ScratchRegistryKey settings;
    const LogCapture capture;
    Configuration configuration;
    EXPECT_EQ(configuration.ParseCommandLine("/REGISTER", settings.Child(L"missing"), nullptr), 0u);
    EXPECT_EQ(configuration.ParseCommandLine("/REGISTER", nullptr, nullptr), 0u);
    ASSERT_EQ(settings.Child(L"Instance")->CreateRecursively(), 0u);
    EXPECT_EQ(configuration.ParseCommandLine("/REGISTER", settings.Key(), nullptr), 0u);
    EXPECT_TRUE(capture.Lines().empty());
}

}  // namespace
