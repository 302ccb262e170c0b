#include "configuration/Configuration.h"
#include "support/ChildProcess.h"
#include "support/ProcessToken.h"
#include "support/LogCapture.h"
#include "support/ScratchRegistryKey.h"
#include "common/RegistryKey.h"
#include "common/foundation/TrustedWriters.h"

#include "common/foundation/StringConversion.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::TimePoint;
using Tessaro::Utf16ToUtf8;
using Tessaro::Testing::ChildProcess;
using Tessaro::Testing::CreateRegistryLink;
using Tessaro::Testing::DeleteRegistryLink;
using Tessaro::Testing::LogCapture;
using Tessaro::Testing::ScratchRegistryKey;
using Tessaro::Vantrel::Common::Utilities::RegistryKey;

// What a planted link points at: a key with a value and a subkey, whole unless something followed
// the link. Its native name, for the link.
std::wstring PlantVictim(const ScratchRegistryKey& settings)
{
    EXPECT_EQ(settings.Child(L"victim\\deep")->CreateRecursively(), 0u);
    EXPECT_EQ(settings.Child(L"victim")->SetString(L"precious", L"kept"), 0u);
    return settings.Key()->GetFullName().Value() + L"\\victim";
}

bool VictimIsWhole(const ScratchRegistryKey& settings)
{
    return settings.Child(L"victim")->GetString(L"precious", std::wstring()).Value() == L"kept" &&
           settings.Child(L"victim\\deep")->Exists();
}

// The settings key as the agent names it: the scratch key the product's own, opened as itself.
std::shared_ptr<RegistryKey> OwnSettingsKey(const ScratchRegistryKey& scratch)
{
    const auto separator = scratch.Path().find_last_of(L'\\');
    return std::make_shared<RegistryKey>(HKEY_LOCAL_MACHINE, scratch.Path().substr(0, separator),
                                         scratch.Path().substr(separator + 1));
}

bool LinkExists(const std::wstring& path)
{
    HKEY opened = nullptr;
    const bool exists =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &opened) == ERROR_SUCCESS;
    const Tessaro::Vantrel::Common::Utilities::KeyHandle link(opened);
    return exists;
}

// Keys of ended processes and of identifiers that name no process go; the running ones stay, and a
// name that is no number is logged and stays. No settings key, or no or an empty "Instance", is no
// failure and logs nothing.
TEST(InstanceCleanupTest, RemovesTheKeysOfEndedProcessesOnly)
{
    const ScratchRegistryKey settings;
    {
        const LogCapture none;
        Configuration configuration;
        EXPECT_EQ(configuration.ParseCommandLine("/REGISTER", settings.Child(L"missing"), nullptr), 0u);
        EXPECT_EQ(configuration.ParseCommandLine("/REGISTER", nullptr, nullptr), 0u);
        EXPECT_EQ(configuration.ParseCommandLine("/REGISTER", OwnSettingsKey(settings), nullptr), 0u);
        ASSERT_EQ(settings.Child(L"Instance")->CreateRecursively(), 0u);
        EXPECT_EQ(configuration.ParseCommandLine("/REGISTER", OwnSettingsKey(settings), nullptr), 0u);
        EXPECT_TRUE(none.Lines().empty());
    }
    ChildProcess ended(L"logwriter.exe", L"NUL 0 0");
    ended.WaitForExit();
    ChildProcess running(L"logwriter.exe", L"NUL 0 0", CREATE_SUSPENDED);

    const std::wstring endedName = std::to_wstring(ended.Id());
    const std::wstring runningName = std::to_wstring(running.Id());
    const std::wstring ownName = std::to_wstring(GetCurrentProcessId());
    // A process id that names no process (ids are multiples of four; none is this high).
    const std::wstring noProcess = L"2147483644";
    for (const auto& name :
         {endedName, runningName, ownName, noProcess, std::wstring(L"abc"), std::wstring(L"99999999999")}) {
        ASSERT_EQ(settings.Child(L"Instance\\" + name)->CreateRecursively(), 0u);
    }
    ASSERT_EQ(settings.Child(L"Instance\\" + endedName + L"\\nested")->CreateRecursively(), 0u);
    ASSERT_EQ(settings.Child(L"Instance\\" + endedName)->SetQword(L"StoredState", 2), 0u);

    const LogCapture capture;
    Configuration configuration;
    configuration.ParseCommandLine("/REGISTER", OwnSettingsKey(settings), nullptr);

    EXPECT_FALSE(settings.Child(L"Instance\\" + endedName)->Exists()) << "ended process: deleted with its subkeys";
    EXPECT_FALSE(settings.Child(L"Instance\\" + noProcess)->Exists()) << "no such process: deleted";
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
    const std::wstring victim = PlantVictim(settings);
    ChildProcess ended(L"logwriter.exe", L"NUL 0 0");
    ended.WaitForExit();
    ASSERT_EQ(settings.Child(L"Instance")->CreateRecursively(), 0u);

    const std::wstring linkPath = settings.Path() + L"\\Instance\\" + std::to_wstring(ended.Id());
    ASSERT_TRUE(CreateRegistryLink(linkPath, victim));
    ASSERT_EQ(
        settings.Child(L"Instance\\" + std::to_wstring(ended.Id()))->GetString(L"precious", std::wstring()).Value(),
        L"kept")
        << "the link leads to the target";

    const LogCapture capture;
    Configuration configuration;
    configuration.ParseCommandLine("/REGISTER", OwnSettingsKey(settings), nullptr);

    EXPECT_FALSE(LinkExists(linkPath)) << "the link itself is gone";
    EXPECT_EQ(capture.Messages(),
              std::vector<std::string>{"The registry key \"" + Utf16ToUtf8(settings.Key()->GetFullName().Value()) +
                                       "\\Instance\\" + std::to_string(ended.Id()) +
                                       "\" is a registry link and is not followed"});
    EXPECT_TRUE(VictimIsWhole(settings));

    // A stale link whose target is gone is removed too: followed, it would look missing and stay.
    ASSERT_TRUE(CreateRegistryLink(linkPath, settings.Key()->GetFullName().Value() + L"\\gone"));
    configuration.ParseCommandLine("/REGISTER", OwnSettingsKey(settings), nullptr);
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
    EXPECT_EQ(configuration.ParseCommandLine("/FOO", OwnSettingsKey(settings), nullptr),
              static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));

    EXPECT_TRUE(settings.Child(L"elsewhere\\4242\\deep")->Exists());
    EXPECT_TRUE(settings.Child(L"elsewhere\\1394ohci")->Exists());
    EXPECT_TRUE(capture.Contains("The registry key \"" + Utf16ToUtf8(settings.Key()->GetFullName().Value()) +
                                 "\\Instance\" is a registry link and is not followed"));
    EXPECT_EQ(capture.Messages().size(), 1u);
    EXPECT_EQ(settings.Child(L"Instance")->DeleteTree(), 0u);
    EXPECT_FALSE(LinkExists(instancePath));
}

// A link anywhere below a stale instance key goes as the link: the tree is walked from the handle
// of the instance key, and nothing it names is deleted.
TEST(InstanceCleanupTest, LinkBelowAStaleInstanceKeyLeavesItsTargetWhole)
{
    const ScratchRegistryKey settings;
    const std::wstring victim = PlantVictim(settings);
    ChildProcess ended(L"logwriter.exe", L"NUL 0 0");
    ended.WaitForExit();
    const std::wstring instance = L"Instance\\" + std::to_wstring(ended.Id());
    ASSERT_EQ(settings.Child(instance + L"\\plain\\leaf")->CreateRecursively(), 0u);
    ASSERT_TRUE(CreateRegistryLink(settings.Path() + L"\\" + instance + L"\\plain\\child", victim));

    Configuration configuration;
    configuration.ParseCommandLine("/FOO", OwnSettingsKey(settings), nullptr);

    EXPECT_FALSE(settings.Child(instance)->Exists()) << "the stale instance key is gone with its link";
    EXPECT_TRUE(VictimIsWhole(settings));
}

// The settings key, or a key above it that is the product's, a link: the run reads its defaults,
// deletes nothing behind the link, and creates nothing through it, also when it leads nowhere.
TEST(InstanceCleanupTest, SettingsKeyBehindALinkIsNeitherReadNorWrittenNorCleanedUp)
{
    const ScratchRegistryKey scratch;
    ChildProcess ended(L"logwriter.exe", L"NUL 0 0");
    ended.WaitForExit();
    const std::wstring stale = L"planted\\security_center\\Instance\\" + std::to_wstring(ended.Id());
    ASSERT_EQ(scratch.Child(stale)->CreateRecursively(), 0u);
    ASSERT_EQ(scratch.Child(L"planted\\security_center")->SetString(L"DisplayName", L"Planted"), 0u);
    const std::wstring root = scratch.Key()->GetFullName().Value();

    struct Case {
        const wchar_t* link;
        const wchar_t* target;
    };
    for (const auto& [link, target] : {Case{L"integration\\security_center", L"planted\\security_center"},
                                       Case{L"integration", L"planted"}, Case{L"integration", L"nowhere"}}) {
        SCOPED_TRACE(Utf16ToUtf8(std::wstring(link) + L" -> " + target));
        if (std::wstring(link) != L"integration") {
            ASSERT_EQ(scratch.Child(L"integration")->Create(), 0u) << "a plain key above the link";
        }
        ASSERT_TRUE(CreateRegistryLink(scratch.Path() + L"\\" + link, root + L"\\" + target));

        const LogCapture capture;
        Configuration configuration;
        configuration.ParseCommandLine(
            "/FOO", std::make_shared<RegistryKey>(HKEY_LOCAL_MACHINE, scratch.Path(), L"integration\\security_center"),
            nullptr);
        EXPECT_EQ(configuration.GetDisplayName(), "") << "the link's target is not read";
        EXPECT_EQ(configuration.SetLastNearExpirationNotificationTime(TimePoint{}), 681u);

        EXPECT_TRUE(scratch.Child(stale)->Exists()) << "nothing behind the link is cleaned up";
        EXPECT_EQ(scratch.Child(L"planted\\security_center")->GetString(L"DisplayName", L"").Value(), L"Planted");
        EXPECT_FALSE(scratch.Child(L"nowhere")->Exists()) << "nothing is created through a link";
        const auto messages = capture.Messages();
        EXPECT_EQ(std::count(messages.begin(), messages.end(),
                             "The registry key \"" + Utf16ToUtf8(root) + "\\" + Utf16ToUtf8(link) +
                                 "\" is a registry link and is not followed"),
                  1)
            << "one line for the link, however often it is met";
        EXPECT_EQ(std::count(messages.begin(), messages.end(), "Failed to create the security center key (Error 681)"),
                  2);
        DeleteRegistryLink(scratch.Path() + L"\\" + link);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (scratch.Path() + L"\\integration").c_str());
    }
}

// Another thread turns a stale instance key into a link to a key of its choice and back, again and
// again, while the clean-up runs: whatever the clean-up meets, it deletes the key or the link it
// opened, and never what the link names.
TEST(InstanceCleanupTest, KeySwappedForALinkDuringTheCleanUpNeverLeadsItElsewhere)
{
    const ScratchRegistryKey settings;
    const std::wstring victim = PlantVictim(settings);
    ChildProcess ended(L"logwriter.exe", L"NUL 0 0");
    ended.WaitForExit();
    ASSERT_EQ(settings.Child(L"Instance")->Create(), 0u);
    const std::wstring instance = settings.Path() + L"\\Instance\\" + std::to_wstring(ended.Id());

    std::atomic<bool> done{false};
    std::atomic<int> links{0};
    std::thread swapper([&] {
        for (int round = 0; !done; ++round) {
            DeleteRegistryLink(instance);
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, instance.c_str());  // a plain key, never the link
            if (round % 2 == 0) {
                links += CreateRegistryLink(instance, victim) ? 1 : 0;
            } else {
                RegistryKey(HKEY_LOCAL_MACHINE, instance + L"\\child").CreateRecursively();
            }
        }
    });
    // At least 150 runs, and until the other thread has planted the link 50 times (bounded: a
    // thread that never gets to run fails the count below).
    for (int run = 0; run < 5000 && (run < 150 || links < 50); ++run) {
        Configuration configuration;
        configuration.ParseCommandLine("/FOO", OwnSettingsKey(settings), nullptr);
    }
    done = true;
    swapper.join();
    EXPECT_GE(links.load(), 50);
    EXPECT_TRUE(VictimIsWhole(settings));
}

}  // namespace

namespace {

using Tessaro::RunAccount;
using Tessaro::Testing::SidBytes;
using Tessaro::Vantrel::Common::Result;

}  // namespace

// A run above ordinary users reads an instance key only when an administrator or the run's own
// account owns it: one that another user planted reads as missing, with one warning that names it
// and its owner. An ordinary user's run reads it as before.
TEST(InstanceCleanupTest, InstanceKeyOfAnotherOwnerDecidesNothingForARunAboveUsers)
{
    const ScratchRegistryKey settings;
    ASSERT_EQ(settings.Child(L"Instance\\4242")->CreateRecursively(), 0u);
    ASSERT_EQ(settings.Child(L"Instance\\4242")->SetQword(L"StoredState", 3), 0u);
    ASSERT_EQ(settings.Child(L"Instance\\4242")->SetQword(L"RegisterStoredState", 3), 0u);
    constexpr const wchar_t* planter = L"S-1-5-21-1111-2222-3333-1001";
    const auto read = [&](const RunAccount& account, std::vector<std::string>& lines) {
        const LogCapture capture;
        Configuration configuration;
        configuration.SetRunAccount(account);
        configuration.SetProcessJudge([](std::uint32_t) { return Result<bool>(false); });
        configuration.ParseCommandLine("/REGISTER /INSTANCE=4242", OwnSettingsKey(settings), nullptr);
        const auto stored = configuration.ReadInstanceNumber("StoredState");
        const auto registration = configuration.GetRegisterStoredState();
        lines = capture.Messages();
        return std::make_pair(stored.Succeeded() ? static_cast<std::int64_t>(stored.Value())
                                                 : -static_cast<std::int64_t>(stored.ErrorCode()),
                              registration.Value());
    };
    const RunAccount elevated(SidBytes(L"S-1-5-21-1111-2222-3333-1002"), SidBytes(L"S-1-5-32-544"), true);
    const RunAccount system(SidBytes(L"S-1-5-18"), SidBytes(L"S-1-5-18"), false);
    const RunAccount ordinary(SidBytes(L"S-1-5-21-1111-2222-3333-1002"), SidBytes(L"S-1-5-21-1111-2222-3333-1002"),
                              false);
    std::vector<std::string> lines;

    Tessaro::Testing::SetKeyOwner(settings.Path() + L"\\Instance\\4242", L"S-1-5-32-544");
    EXPECT_EQ(read(elevated, lines), std::make_pair(std::int64_t{3}, 3u)) << "the administrators' key";
    EXPECT_TRUE(lines.empty());

    Tessaro::Testing::SetKeyOwner(settings.Path() + L"\\Instance\\4242", planter);
    for (const auto* account : {&elevated, &system}) {
        EXPECT_EQ(read(*account, lines), std::make_pair(-std::int64_t{ERROR_NOT_FOUND}, 1u))
            << "as if the key were missing";
        EXPECT_EQ(lines, std::vector<std::string>{"The instance key \"4242\" is owned by S-1-5-21-1111-2222-3333-1001, "
                                                  "who may not decide for this run: it is not used"});
    }
    EXPECT_EQ(read(ordinary, lines), std::make_pair(std::int64_t{3}, 3u)) << "an ordinary user's run reads it";
    EXPECT_TRUE(lines.empty());
    const RunAccount planterRun(SidBytes(planter), SidBytes(planter), true);
    EXPECT_EQ(read(planterRun, lines), std::make_pair(std::int64_t{3}, 3u)) << "the run's own key";
}

// A key whose process cannot be looked at (the system refuses to open it) may belong to a running
// agent: it stays, and the line says why. A stale key that cannot be deleted is named too, as is a
// name that is not valid UTF-16.
TEST(InstanceCleanupTest, KeysThatCannotBeJudgedOrDeletedStayAndAreNamed)
{
    const ScratchRegistryKey settings;
    ChildProcess guarded(L"logwriter.exe", L"NUL 0 0", CREATE_SUSPENDED);
    Tessaro::Testing::SetAccessList(guarded.Handle(), SE_KERNEL_OBJECT, L"D:(D;;GA;;;WD)");
    const std::wstring guardedName = std::to_wstring(guarded.Id());
    const std::wstring undeletable = L"2147483644";  // names no process: stale
    ASSERT_EQ(settings.Child(L"Instance\\" + guardedName)->CreateRecursively(), 0u);
    ASSERT_EQ(settings.Child(L"Instance\\" + undeletable)->CreateRecursively(), 0u);
    // A name that is not valid UTF-16 is no agent's, whatever number it begins with.
    const std::wstring broken = L"2147483640" + std::wstring(1, wchar_t(0xD800));
    ASSERT_EQ(settings.Child(L"Instance\\" + broken)->CreateRecursively(), 0u);
    HKEY opened = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (settings.Path() + L"\\Instance\\" + undeletable).c_str(), 0, WRITE_DAC,
                            &opened),
              ERROR_SUCCESS);
    const Tessaro::Vantrel::Common::Utilities::KeyHandle key(opened);
    Tessaro::Testing::SetAccessList(opened, SE_REGISTRY_KEY, L"D:(D;;SD;;;WD)(A;;KA;;;WD)");

    const LogCapture capture;
    Configuration configuration;
    configuration.ParseCommandLine("/REGISTER", OwnSettingsKey(settings), nullptr);
    Tessaro::Testing::SetAccessList(opened, SE_REGISTRY_KEY, L"D:(A;;KA;;;WD)");
    TerminateProcess(guarded.Handle(), 0);

    EXPECT_TRUE(settings.Child(L"Instance\\" + guardedName)->Exists());
    EXPECT_TRUE(settings.Child(L"Instance\\" + undeletable)->Exists());
    EXPECT_TRUE(settings.Child(L"Instance\\" + broken)->Exists());
    // In the order the keys are listed, which this test does not decide.
    // The broken name's line ends with the system's text, which differs by platform and language.
    const auto lines = capture.Messages();
    std::set<std::string> messages(lines.begin(), lines.end());
    EXPECT_EQ(std::erase_if(messages,
                            [](const std::string& line) {
                                return line.rfind(
                                           "Failed to remove the instance key \"2147483640\\uD800\" (Error: "
                                           "WideCharToMultiByte error",
                                           0) == 0;
                            }),
              1u);
    EXPECT_EQ(messages, (std::set<std::string>{"Failed to remove the instance key \"2147483644\" (Error: 5)",
                                               "Failed to remove the instance key \"" + Utf16ToUtf8(guardedName) +
                                                   "\" as process cannot be determined (Error: 5)"}));
    EXPECT_EQ(lines.size(), 3u);
}

// Whoever may create instance keys decides how many there are, not how much work a run does: each
// process is judged once however many keys name it, and the warnings stop at ten, with one line
// that counts the rest.
TEST(InstanceCleanupTest, PlantedKeysCostOneJudgementPerProcessAndTenWarnings)
{
    const ScratchRegistryKey settings;
    for (int index = 1; index <= 25; ++index) {
        ASSERT_EQ(settings.Child(L"Instance\\56_" + std::to_wstring(index))->CreateRecursively(), 0u);
    }
    ASSERT_EQ(settings.Child(L"Instance\\60")->CreateRecursively(), 0u);
    ASSERT_EQ(settings.Child(L"Instance\\64x")->CreateRecursively(), 0u);
    std::map<std::uint32_t, int> judged;
    const LogCapture capture;
    Configuration configuration;
    configuration.SetProcessJudge([&judged](std::uint32_t id) {
        ++judged[id];
        return id == 56 ? Result<bool>(false, ERROR_ACCESS_DENIED) : Result<bool>(true);
    });
    configuration.ParseCommandLine("/REGISTER", OwnSettingsKey(settings), nullptr);

    EXPECT_EQ(judged, (std::map<std::uint32_t, int>{{56, 1}, {60, 1}, {64, 1}}));
    EXPECT_FALSE(settings.Child(L"Instance\\60")->Exists());
    EXPECT_FALSE(settings.Child(L"Instance\\64x")->Exists());
    EXPECT_TRUE(settings.Child(L"Instance\\56_7")->Exists());
    const auto& messages = capture.Messages();
    ASSERT_EQ(messages.size(), 11u);
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& message) {
                                return message.rfind("Failed to remove the instance key \"56_", 0) == 0 &&
                                       message.ends_with("\" as process cannot be determined (Error: 5)");
                            }),
              10);
    EXPECT_EQ(messages.back(), "Left out 15 further warnings of the instance key clean-up");

    // Ten warnings exactly leave nothing out.
    for (int index = 11; index <= 25; ++index) {
        ASSERT_EQ(settings.Child(L"Instance\\56_" + std::to_wstring(index))->DeleteTree(), 0u);
    }
    Configuration again;
    again.SetProcessJudge([](std::uint32_t) { return Result<bool>(false, ERROR_ACCESS_DENIED); });
    again.ParseCommandLine("/REGISTER", OwnSettingsKey(settings), nullptr);
    EXPECT_EQ(capture.Messages().size(), 21u);
    EXPECT_EQ(capture.Count("Left out "), 1u) << "the first run's line alone";
}
