#include "configuration/Configuration.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/ScratchRegistryKey.h"
#include "common/RegistryKey.h"

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

// An instance key that is a registry link to another key: the link goes, the key it names stays
// whole, whatever key of the machine that is.
TEST(InstanceCleanupTest, StaleLinkIsRemovedAsALinkAndItsTargetIsKept)
{
    const ScratchRegistryKey settings;
    ASSERT_EQ(settings.Child(L"target\\child")->CreateRecursively(), 0u);
    ASSERT_EQ(settings.Child(L"target")->SetString(L"precious", L"kept"), 0u);
    ChildProcess ended(L"logwriter.exe", L"NUL 0 0");
    ended.WaitForExit();
    ASSERT_EQ(settings.Child(L"Instance")->CreateRecursively(), 0u);

    const std::wstring linkPath = settings.Path() + L"\\Instance\\" + std::to_wstring(ended.Id());
    HKEY created = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, linkPath.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &created, nullptr),
        ERROR_SUCCESS);
    const Tessaro::Vantrel::Common::Utilities::KeyHandle link(created);
    const auto target = settings.Key()->GetFullName().Value() + L"\\target";
    ASSERT_EQ(
        RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                       static_cast<DWORD>(target.size() * sizeof(wchar_t))),
        ERROR_SUCCESS);
    ASSERT_EQ(
        settings.Child(L"Instance\\" + std::to_wstring(ended.Id()))->GetString(L"precious", std::wstring()).Value(),
        L"kept")
        << "the link leads to the target";

    Configuration configuration;
    configuration.ParseCommandLine("/REGISTER", settings.Key(), nullptr);

    HKEY stillThere = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, linkPath.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &stillThere),
              ERROR_FILE_NOT_FOUND)
        << "the link itself is gone";
    EXPECT_EQ(settings.Child(L"target")->GetString(L"precious", std::wstring()).Value(), L"kept");
    EXPECT_TRUE(settings.Child(L"target\\child")->Exists());
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
