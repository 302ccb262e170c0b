// Where the agent reads what others wrote (its command line, the settings key, paths that other
// components report), generated input from a fixed seed: every case must end in a result or in the
// error the code is specified to give, never in a crash, a hang or a trap of the trapping build.

#include "configuration/CommandLine.h"
#include "common/ConversionException.h"
#include "common/FileInfo.h"
#include "common/FileSystem.h"
#include "configuration/Configuration.h"
#include "support/HostileInput.h"
#include "support/LogCapture.h"
#include "support/ScratchRegistryKey.h"
#include "state/StateCommand.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

namespace {

using namespace Tessaro::Testing;
using Tessaro::ConversionException;
using Tessaro::Ravelin::Configuration;
using namespace Tessaro::Vantrel::Common::Utilities;

TEST(HostileInputTest, CommandLinesEndInACodeOrAConversionError)
{
    const std::vector<std::string> words = {"/REGISTER",
                                            "/REMOVE",
                                            "/AV",
                                            "/UPDATE_WSC=",
                                            "/ID=",
                                            "/INSTANCE=",
                                            "SNOOZE",
                                            "ENABLE",
                                            "SET_EXPIRATION_TIME",
                                            "REMOVE_EXPIRATION_TIME",
                                            "SET_OUT_OF_DATE_TIME",
                                            "REMOVE_OUT_OF_DATE_TIME",
                                            "/register",
                                            "/Update_Wsc=",
                                            "/ID=\"",
                                            "/INSTANCE=-1",
                                            "/INSTANCE=99999999999"};
    const ScratchRegistryKey settings;
    const LogCapture quiet;
    int accepted = 0;
    int refused = 0;
    int notUtf8 = 0;
    ForEachCase(PropertyCases, [&](HostileInput& input) {
        const std::string commandLine = input.Text(words, 12);
        try {
            std::string upper = commandLine;
            Tessaro::Ravelin::ToUpper(upper);
            Tessaro::Ravelin::FindSwitch(upper, "/REGISTER");
            Tessaro::Ravelin::GetOptionValue(commandLine, "/ID=");
            Configuration configuration;
            Tessaro::Ravelin::InstallStateCommands(configuration, nullptr);
            const auto code = configuration.ParseCommandLine(commandLine, settings.Key(), nullptr);
            ASSERT_TRUE(code == ERROR_SUCCESS || code == ERROR_INVALID_PARAMETER) << code;
            ++(code == ERROR_SUCCESS ? accepted : refused);
        } catch (const ConversionException&) {
            // Text that is not UTF-8: the agent's barrier turns it into its exit code.
            ++notUtf8;
        }
    });
    // The cases reach every outcome, so none of them is left untried.
    EXPECT_GT(accepted, 0);
    EXPECT_GT(refused, 0);
    EXPECT_GT(notUtf8, 0);
}

// Values of any type and size under the names the agent reads, through every typed reader and
// every configuration getter. The readers answer with a code; the string getters may meet text
// that is not UTF-16.
TEST(HostileInputTest, SettingsValuesOfAnyTypeAndSizeGiveAValueOrACode)
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
    Configuration configuration;
    Tessaro::Ravelin::InstallStateCommands(configuration, nullptr);
    configuration.ParseCommandLine("/UPDATE_WSC=ENABLE", settings.Key(), nullptr);
    const auto key = settings.Key();
    ForEachCase(PropertyCases, [&](HostileInput& input) {
        const std::wstring& name = names[input.Below(static_cast<std::uint32_t>(names.size()))];
        const DWORD type = types[input.Below(static_cast<std::uint32_t>(std::size(types)))];
        ASSERT_EQ(key->SetValue(name, type, input.Bytes(input.Size())), 0u);

        std::uint32_t readType = 0;
        std::vector<std::uint8_t> data;
        EXPECT_EQ(key->GetValue(name, readType, data), 0u);
        EXPECT_EQ(readType, type);
        key->GetString(name, L"");
        key->GetDword(name, 0);
        key->GetQword(name, 0);
        key->GetMultiString(name, {});
        key->GetBinary(name, {});
        ASSERT_TRUE(key->GetValues().Succeeded());

        configuration.GetExpirationTime();
        configuration.GetRemainingDaysToExpiration();
        configuration.IsExpired(false);
        configuration.IsUpToDate(false);
        configuration.GetProductInstallationTime();
        configuration.GetLastNearExpirationNotificationTime();
        try {
            configuration.GetDisplayName();
            configuration.GetRemediationPath();
        } catch (const ConversionException&) {
            // A name that is not UTF-16: the agent's barrier turns it into its exit code.
        }
        ASSERT_EQ(key->RenameValue(name, L"renamed"), 0u);
        ASSERT_EQ(key->DeleteValue(L"renamed"), 0u);
    });
}

// Paths in every form that other components report. Normalising is idempotent, the parent of a
// path is a shorter leading part of it (so climbing ends), and the queries answer or raise the
// error they name.
TEST(HostileInputTest, PathsNormaliseOnceAndClimbToAnEnd)
{
    const std::vector<std::wstring> pieces = {L"\\\\?\\",
                                              L"\\??\\",
                                              L"\\\\.\\",
                                              L"\\Device\\",
                                              L"\\Device\\Mup",
                                              L"\\SystemRoot\\",
                                              L"%SystemRoot%",
                                              L"%NOPE%",
                                              L"C:",
                                              L"c:\\",
                                              L"?:",
                                              L"//",
                                              L"UNC\\",
                                              L"Volume{",
                                              L"GLOBALROOT\\",
                                              L"windows",
                                              L"system32",
                                              L"HarddiskVolume1"};
    ForEachCase(PropertyCases, [&](HostileInput& input) {
        const std::wstring text = input.WideText(pieces, 10);

        const std::wstring normalized = FileInfo::NormalizePath(text);
        EXPECT_EQ(FileInfo::NormalizePath(normalized), normalized);

        std::filesystem::path climbing(normalized);
        while (!climbing.empty()) {
            const auto parent = ParentFolder(climbing);
            ASSERT_LT(parent.native().size(), climbing.native().size());
            ASSERT_EQ(climbing.native().compare(0, parent.native().size(), parent.native()), 0);
            climbing = parent;
        }

        try {
            const FileInfo file(text);
            file.NativePath();
            file.Utf8();
            file.ParentUtf8();
            file.Exists();
        } catch (const ConversionException&) {
            // A name that is not UTF-16 and has no short form: specified to raise.
        }
        std::error_code error;
        QueryFileStatus(normalized, error);
    });
}

}  // namespace
