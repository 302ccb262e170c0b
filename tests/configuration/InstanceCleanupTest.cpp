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

// Makes `path` (below HKLM) a registry link to the key whose native name is `target`; the link
// lives until it is deleted as a link or the registry is unloaded.
::testing::AssertionResult CreateRegistryLink(const std::wstring& path, const std::wstring& target)
{
    HKEY created = nullptr;
    if (const auto code =
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &created, nullptr);
        code != ERROR_SUCCESS) {
        return ::testing::AssertionFailure() << "creating the link failed with " << code;
    }
    const Tessaro::Vantrel::Common::Utilities::KeyHandle link(created);
    if (const auto code =
            RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                           static_cast<DWORD>(target.size() * sizeof(wchar_t)));
        code != ERROR_SUCCESS) {
        return ::testing::AssertionFailure() << "naming the link's target failed with " << code;
    }
    return ::testing::AssertionSuccess();
}

bool LinkExists(const std::wstring& path)
{
    HKEY opened = nullptr;
    const bool exists =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &opened) == ERROR_SUCCESS;
    const Tessaro::Vantrel::Common::Utilities::KeyHandle link(opened);
    return exists;
}

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
    EXPECT_TRUE(capture.Contains("Failed to remove the instance key \"abc\" (Error: invalid stol argument)"));
    EXPECT_TRUE(
        capture.Contains("Failed to remove the instance key \"99999999999\" (Error: stol argument out of range)"));
    EXPECT_EQ(capture.Messages().size(), 2u);
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
    ASSERT_TRUE(CreateRegistryLink(linkPath, settings.Key()->GetFullName().Value() + L"\\target"));
    ASSERT_EQ(
        settings.Child(L"Instance\\" + std::to_wstring(ended.Id()))->GetString(L"precious", std::wstring()).Value(),
        L"kept")
        << "the link leads to the target";

    Configuration configuration;
    configuration.ParseCommandLine("/REGISTER", settings.Key(), nullptr);

    EXPECT_FALSE(LinkExists(linkPath)) << "the link itself is gone";
    EXPECT_EQ(settings.Child(L"target")->GetString(L"precious", std::wstring()).Value(), L"kept");
    EXPECT_TRUE(settings.Child(L"target\\child")->Exists());

    // A stale link whose target is gone is removed too: followed, it would look missing and stay.
    ASSERT_TRUE(CreateRegistryLink(linkPath, settings.Key()->GetFullName().Value() + L"\\gone"));
    configuration.ParseCommandLine("/REGISTER", settings.Key(), nullptr);
    EXPECT_FALSE(LinkExists(linkPath)) << "the dangling link is gone";
}

// "Instance" itself a link to another key: nothing is deleted wherever it points, even by a run
// whose command line is refused, and the run ends as it would have.
TEST(InstanceCleanupTest, InstanceKeysBehindALinkAreLeftAlone)
{
    const ScratchRegistryKey settings;
    // Process ids are multiples of four: these names are stale instance keys wherever they are.
    ASSERT_EQ(settings.Child(L"elsewhere\\4242\\deep")->CreateRecursively(), 0u);
    ASSERT_EQ(settings.Child(L"elsewhere\\1394ohci")->CreateRecursively(), 0u);
    const std::wstring instancePath = settings.Path() + L"\\Instance";
    ASSERT_TRUE(CreateRegistryLink(instancePath, settings.Key()->GetFullName().Value() + L"\\elsewhere"));
    ASSERT_TRUE(settings.Child(L"Instance\\4242")->Exists()) << "the link leads to the other key";

    const LogCapture capture;
    Configuration configuration;
    EXPECT_EQ(configuration.ParseCommandLine("/FOO", settings.Key(), nullptr),
              static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));

    EXPECT_TRUE(settings.Child(L"elsewhere\\4242\\deep")->Exists());
    EXPECT_TRUE(settings.Child(L"elsewhere\\1394ohci")->Exists());
    EXPECT_TRUE(
        capture.Contains("The instance keys are not cleaned up: \"Instance\" is a registry link and is not followed"));
    EXPECT_EQ(settings.Child(L"Instance")->DeleteTree(), 0u);
    EXPECT_FALSE(LinkExists(instancePath));
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
