#include "configuration/Configuration.h"
#include "state/StateCommand.h"
#include "support/LogCapture.h"
#include "support/ScratchRegistryKey.h"
#include "common/foundation/ConversionException.h"
#include "support/HostileInput.h"

#include <gtest/gtest.h>

#include <functional>
#include <windows.h>

#include <algorithm>
#include <chrono>

namespace {

using namespace Tessaro::Testing;
using Tessaro::ConversionException;

using namespace Tessaro::Ravelin;
using Tessaro::FromStoredSeconds;
using Tessaro::TimePoint;

struct Parsed {
    std::uint32_t code;
    RunMode runMode;
    ProductState state;
    std::string identifier;
    std::string instance;
};

Parsed Parse(const std::string& commandLine, const ScratchRegistryKey& settings)
{
    Configuration configuration;
    InstallStateCommands(configuration, nullptr);
    const auto code = configuration.ParseCommandLine(commandLine, settings.Key(), nullptr);
    return {code, configuration.GetRunMode(), configuration.GetProductState(), configuration.GetIdentifier(),
            configuration.GetInstance()};
}

TEST(ConfigurationTest, CommandLineChoosesTheCommandInItsOrder)
{
    const ScratchRegistryKey settings;
    struct Case {
        const char* commandLine;
        std::uint32_t code;
        RunMode runMode;
        ProductState state;
    };
    const Case cases[] = {
        {"/remove", 0, RunMode::Remove, ProductState::None},
        {"/REGISTER /REMOVE", 0, RunMode::Remove, ProductState::None},
        {"/AV /REGISTER", 0, RunMode::Register, ProductState::On},
        {"/UPDATE_WSC=snooze", 0, RunMode::UpdateState, ProductState::Snoozed},
        {"/AV /UPDATE_WSC=ENABLE", 0, RunMode::UpdateState, ProductState::On},
        {"/av extra words", 0, RunMode::LaunchRemediation, ProductState::None},
        {"/UPDATE_WSC=SNOOZE.", ERROR_INVALID_PARAMETER, RunMode::UpdateState, ProductState::None},
        {"/UPDATE_WSC=", ERROR_INVALID_PARAMETER, RunMode::UpdateState, ProductState::None},
        {"/REGISTERED", ERROR_INVALID_PARAMETER, RunMode::UpdateState, ProductState::None},
        {"/UPDATE_WSC=bogus", ERROR_INVALID_PARAMETER, RunMode::UpdateState, ProductState::None},
        {"", ERROR_INVALID_PARAMETER, RunMode::UpdateState, ProductState::None},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.commandLine);
        const auto parsed = Parse(testCase.commandLine, settings);
        EXPECT_EQ(parsed.code, testCase.code);
        EXPECT_EQ(parsed.runMode, testCase.runMode);
        EXPECT_EQ(parsed.state, testCase.state);
    }
}

TEST(ConfigurationTest, IdentifierAndInstanceComeFromTheOptions)
{
    const ScratchRegistryKey settings;
    EXPECT_EQ(Parse("/id=\"my id\" /REGISTER", settings).identifier, "MY ID");
    const auto generated = Parse("/REGISTER /ID=", settings).identifier;
    EXPECT_EQ(generated.rfind("Cid_", 0), 0u) << generated;
    EXPECT_EQ(generated.substr(generated.size() - 3), "_WA");

    EXPECT_EQ(Parse("/REGISTER", settings).instance, std::to_string(GetCurrentProcessId()));
    EXPECT_EQ(Parse("/REGISTER /instance=blue", settings).instance, "BLUE");
}

TEST(ConfigurationTest, MissingSettingsKeyGetsTheDefaultDisplayNameOnce)
{
    const ScratchRegistryKey scratch;
    Configuration configuration;
    const TimePoint now = FromStoredSeconds(1'780'315'200);
    configuration.SetClock([now] { return now; });
    configuration.ParseCommandLine("/REGISTER", scratch.Child(L"settings"), nullptr);
    const LogCapture capture;
    EXPECT_EQ(configuration.GetExpirationTime(), now + std::chrono::seconds(157'784'760)) << "five years on";
    EXPECT_EQ(capture.Lines().size(), 1u) << "the first read names the missing key";
    configuration.GetExpirationTime();
    EXPECT_EQ(configuration.GetRegisterStoredState().Value(), 1u) << "registered, as with no stored state";
    EXPECT_EQ(configuration.GetDisplayName(), "");
    const std::wstring path = scratch.Child(L"settings")->GetPath();
    EXPECT_EQ(
        capture.Messages(),
        (std::vector<std::string>{"The settings key \"HKEY_LOCAL_MACHINE\\" + std::string(path.begin(), path.end()) +
                                      "\" was not found: every setting takes its default",
                                  "Haven't found display name in the setting. Going to use the default.",
                                  "Set the configuration value \"DisplayName\" to \"\""}));
    EXPECT_EQ(scratch.Child(L"settings")->GetString(L"DisplayName", L"missing").Value(), L"");

    const LogCapture second;
    EXPECT_EQ(configuration.GetDisplayName(), "");
    EXPECT_EQ(configuration.GetRemediationPath(), "") << "a missing value in an existing key is silent";
    EXPECT_TRUE(second.Lines().empty());

    // A text or an instance's number read first says so as well.
    const std::function<void(Configuration&)> firstReads[] = {
        [](Configuration& first) { EXPECT_EQ(first.GetRemediationPath(), ""); },
        [](Configuration& first) { EXPECT_EQ(first.GetRegisterStoredState().Value(), 1u); }};
    for (const auto& read : firstReads) {
        const ScratchRegistryKey other;
        Configuration first;
        first.ParseCommandLine("/REGISTER", other.Child(L"settings"), nullptr);
        const LogCapture third;
        read(first);
        EXPECT_EQ(third.Count("The settings key \"HKEY_LOCAL_MACHINE\\"), 1u);
    }
}

// A value the product wrote with the wrong type or size is named once per run however often it
// is read; a missing value is no mistake and stays silent.
TEST(ConfigurationTest, ValuesOfTheWrongTypeAreNamedOnce)
{
    const ScratchRegistryKey scratch;
    const auto key = scratch.Child(L"settings");
    Configuration configuration;
    configuration.ParseCommandLine("/REGISTER /INSTANCE=7", key, nullptr);
    ASSERT_EQ(scratch.Child(L"settings\\Instance\\7")->CreateRecursively(), 0u);
    ASSERT_EQ(key->SetDword(L"ExpirationTime", 2'000'000'000), 0u);
    ASSERT_EQ(key->SetValue(L"RegisterTime", REG_QWORD, {1, 2, 3, 4}), 0u);
    ASSERT_EQ(key->SetQword(L"DisplayName", 1), 0u);
    ASSERT_EQ(scratch.Child(L"settings\\Instance\\7")->SetString(L"StoredState", L"2"), 0u);
    const LogCapture wrong;
    for (int read = 0; read < 2; ++read) {
        configuration.GetExpirationTime();
        configuration.GetRegisterTime();
        configuration.GetDisplayName();
        configuration.ReadInstanceNumber("StoredState");
        configuration.ReadNumber("OutOfDateTime");
    }
    const std::string expected = " where REG_QWORD of 8 bytes is expected (Error: ";
    EXPECT_EQ(wrong.Messages(),
              (std::vector<std::string>{
                  "The configuration value \"ExpirationTime\" is REG_DWORD" + expected +
                      "222): using now + 5 years (the product counts as valid) instead",
                  "The configuration value \"RegisterTime\" is REG_QWORD of 4 bytes" + expected +
                      "232): using none (no registration grace) instead",
                  "The configuration value \"DisplayName\" is REG_QWORD where REG_SZ is expected (Error: 222): "
                  "using the empty name (registration ends with 87) instead",
                  "The configuration value \"StoredState\" of the instance \"7\" is REG_SZ" + expected +
                      "222): using the state Security Center shows instead"}));
}

TEST(ConfigurationTest, TimestampsFallBackToTheirDefaults)
{
    const ScratchRegistryKey settings;
    Configuration configuration;
    configuration.ParseCommandLine("/REGISTER", settings.Key(), nullptr);
    auto key = settings.Key();
    ASSERT_EQ(key->SetQword(L"RegisterTime", 0), 0u);
    ASSERT_EQ(key->SetQword(L"ProductInstallationTime", 1'700'000'000), 0u);

    EXPECT_EQ(configuration.GetRegisterTime(), TimePoint{}) << "0 seconds is the epoch, not a missing value";
    EXPECT_EQ(configuration.GetProductInstallationTime().Value(), FromStoredSeconds(1'700'000'000));
    EXPECT_FALSE(configuration.HasLastNearExpirationNotificationTime());
    EXPECT_EQ(configuration.GetLastNearExpirationNotificationTime(), TimePoint{});

    const LogCapture written;
    ASSERT_EQ(
        configuration.SetLastNearExpirationNotificationTime(FromStoredSeconds(86400) + std::chrono::milliseconds(999)),
        0u);
    EXPECT_EQ(key->GetQword(L"LastNearExpirationNotificationTime", 0).Value(), 86400u) << "whole seconds";
    EXPECT_TRUE(written.Contains("Set the configuration value \"LastNearExpirationNotificationTime\" to 86400"));
    EXPECT_EQ(written.Lines().size(), 1u) << "and no failure";
    EXPECT_TRUE(configuration.HasLastNearExpirationNotificationTime());

    key->DeleteValue(L"ProductInstallationTime");
    EXPECT_EQ(configuration.GetProductInstallationTime().ErrorCode(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST(ConfigurationTest, RegisterStoredStateDefaultsOnlyWhenTheKeysAreMissing)
{
    const ScratchRegistryKey settings;
    Configuration configuration;
    configuration.ParseCommandLine("/REGISTER", settings.Key(), nullptr);
    EXPECT_EQ(configuration.GetRegisterStoredState().Value(), 1u) << "no Instance key";

    const std::wstring ownInstance = L"Instance\\" + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(settings.Child(ownInstance)->CreateRecursively(), 0u);
    EXPECT_EQ(configuration.GetRegisterStoredState().ErrorCode(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(settings.Child(ownInstance)->SetQword(L"RegisterStoredState", 3), 0u);
    EXPECT_EQ(configuration.GetRegisterStoredState().Value(), 3u);
}

TEST(ConfigurationTest, WritesWithoutSettingsKeyAndTheReportingExecutable)
{
    Configuration configuration;
    EXPECT_EQ(configuration.WriteString("DisplayName", "x"), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(configuration.WriteNumber("RegisterTime", 1), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(configuration.ReadString("DisplayName").ErrorCode(), static_cast<std::uint32_t>(ERROR_NOT_FOUND));

    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring folder(module);
    folder = folder.substr(0, folder.find_last_of(L'\\') + 1);
    EXPECT_EQ(configuration.GetReportingExecutable().ReceivedPath(), folder + L"ravelin.exe");
}

// Values of any type and size under the names the agent reads, through every typed reader and
// every configuration getter. Each read is what was written or the documented default with its
// documented code: 222 for another type, 232 for too few bytes; a time getter's value is the
// stored time or its default. The string getters may meet text that is not UTF-16.
TEST(ConfigurationTest, SettingsValuesOfAnyTypeAndSizeReadBackOrGiveTheirDefault)
{
    const std::vector<std::wstring> names = {L"DisplayName",
                                             L"RemediationPath",
                                             L"ExpirationTime",
                                             L"TimeNotifyAboutNearExpiration",
                                             L"LastNearExpirationNotificationTime",
                                             L"ProductInstallationTime",
                                             L"RegisterTime",
                                             L"OutOfDateTime",
                                             L"DefinitionsUpdateTime"};
    const DWORD types[] = {REG_NONE,     REG_SZ,    REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN,
                           REG_MULTI_SZ, REG_QWORD, REG_LINK,      0x12345,    REG_SZ,    REG_QWORD};
    const ScratchRegistryKey settings;
    const LogCapture quiet;
    const TimePoint now = FromStoredSeconds(1'780'315'200);
    Configuration configuration;
    configuration.SetClock([now] { return now; });
    Tessaro::Ravelin::InstallStateCommands(configuration, nullptr);
    configuration.ParseCommandLine("/UPDATE_WSC=ENABLE", settings.Key(), nullptr);
    const auto key = settings.Key();
    // What a typed read of `bytes` of `type` answers: the code, and the value when it is 0.
    // A number's value is exactly its size: a longer one is refused before it is read.
    const auto expectedCode = [](DWORD type, std::size_t size, std::initializer_list<DWORD> accepted,
                                 std::size_t exactSize) -> std::uint32_t {
        if (std::find(accepted.begin(), accepted.end(), type) == accepted.end()) {
            return ERROR_BAD_FILE_TYPE;
        }
        if (size > exactSize) {
            return ERROR_MORE_DATA;
        }
        return size < exactSize ? ERROR_NO_DATA : ERROR_SUCCESS;
    };
    const auto littleEndian = [](const std::vector<std::uint8_t>& bytes, std::size_t count) {
        std::uint64_t value = 0;
        for (std::size_t index = 0; index < count; ++index) {
            value |= static_cast<std::uint64_t>(bytes[index]) << (8 * index);
        }
        return value;
    };
    ForEachCase(PropertyCases, [&](HostileInput& input) {
        const std::wstring& name = names[input.Below(static_cast<std::uint32_t>(names.size()))];
        const DWORD type = types[input.Below(static_cast<std::uint32_t>(std::size(types)))];
        const auto bytes = input.Bytes(input.Size());
        ASSERT_EQ(key->SetValue(name, type, bytes), 0u);

        std::uint32_t readType = 0;
        std::vector<std::uint8_t> data;
        EXPECT_EQ(key->GetValue(name, readType, data), 0u);
        EXPECT_EQ(readType, type);
        const auto qword = key->GetQword(name, 7);
        const auto qwordCode = expectedCode(type, bytes.size(), {REG_QWORD}, 8);
        EXPECT_EQ(qword.ErrorCode(), qwordCode);
        EXPECT_EQ(qword.Value(), qwordCode == 0 ? littleEndian(bytes, 8) : 7u);
        const auto dword = key->GetDword(name, 7);
        const auto dwordCode = expectedCode(type, bytes.size(), {REG_DWORD, REG_DWORD_BIG_ENDIAN}, 4);
        EXPECT_EQ(dword.ErrorCode(), dwordCode);
        EXPECT_EQ(dword.Value(), dwordCode == 0 ? littleEndian(bytes, 4) : 7u);
        const auto binary = key->GetBinary(name, {});
        EXPECT_EQ(binary.Value(), type == REG_BINARY ? bytes : std::vector<std::uint8_t>{});
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            EXPECT_EQ(key->GetString(name, L"default").ErrorCode(), static_cast<std::uint32_t>(ERROR_BAD_FILE_TYPE));
        }
        if (type != REG_MULTI_SZ) {
            EXPECT_EQ(key->GetMultiString(name, {}).ErrorCode(), static_cast<std::uint32_t>(ERROR_BAD_FILE_TYPE));
        }
        ASSERT_TRUE(key->GetValues().Succeeded());

        // A stored time is its seconds; anything else gives the getter's default.
        const bool stored = qwordCode == 0;
        const TimePoint storedTime = FromStoredSeconds(static_cast<std::int64_t>(qword.Value()));
        const auto defaulted = [&](const wchar_t* which, TimePoint fallBack) {
            return stored && name == which ? storedTime : fallBack;
        };
        EXPECT_EQ(configuration.GetExpirationTime(),
                  defaulted(L"ExpirationTime", now + std::chrono::seconds(157'784'760)));
        EXPECT_EQ(configuration.GetLastNearExpirationNotificationTime(),
                  defaulted(L"LastNearExpirationNotificationTime", TimePoint{}));
        EXPECT_EQ(configuration.GetRegisterTime(), defaulted(L"RegisterTime", now));
        const auto installation = configuration.GetProductInstallationTime();
        EXPECT_EQ(installation.Succeeded(), stored && name == L"ProductInstallationTime");
        configuration.GetRemainingDaysToExpiration();
        configuration.IsExpired(false);
        configuration.IsUpToDate(false);
        try {
            const std::string displayName = configuration.GetDisplayName();
            if (name != L"DisplayName" || (type != REG_SZ && type != REG_EXPAND_SZ)) {
                EXPECT_EQ(displayName, "");
            }
            configuration.GetRemediationPath();
        } catch (const ConversionException&) {
            // A name that is not UTF-16: the agent's barrier turns it into its exit code.
        }
        ASSERT_EQ(key->RenameValue(name, L"renamed"), 0u);
        ASSERT_EQ(key->DeleteValue(L"renamed"), 0u);
    });
}

}  // namespace
