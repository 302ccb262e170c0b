#include "configuration/CommandLine.h"
#include "common/foundation/ConversionException.h"
#include "configuration/Configuration.h"
#include "state/StateCommand.h"
#include "support/HostileInput.h"
#include "support/LogCapture.h"
#include "support/ScratchRegistryKey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <windows.h>

#include <filesystem>
#include <string>

namespace {

using Tessaro::Ravelin::Configuration;
using Tessaro::Ravelin::RunMode;

using Tessaro::ConversionException;

using namespace Tessaro::Testing;

using Tessaro::Ravelin::ArgumentsAfterProgramName;
using Tessaro::Ravelin::GetOptionValue;

// The program name as the system's parser reads it: quotes group without being escapable, a blank
// or tab outside them ends the name, and the blanks after it are no part of the arguments.
TEST(CommandLineTest, ProgramNameIsSkippedAsTheSystemReadsIt)
{
    const struct {
        const wchar_t* commandLine;
        const wchar_t* arguments;
    } cases[] = {
        {L"\"C:\\Program Files\\Vendor\\ravelin.exe\" /REGISTER /ID=\"a b\"", L"/REGISTER /ID=\"a b\""},
        {L"C:\\Vendor\\ravelin.exe /AV /quiet", L"/AV /quiet"},
        {L"ravelin.exe \t   /UPDATE_WSC=ENABLE ", L"/UPDATE_WSC=ENABLE "},
        {L"C:\\Pro\"gram Fi\"les\\ravelin.exe /REMOVE", L"/REMOVE"},
        {L"\"C:\\a b\\ravelin.exe\"/REGISTER", L""},
        {L"\"C:\\unterminated quote\\ravelin.exe /REGISTER", L""},
        {L"\"C:\\a\\\" /REGISTER", L"/REGISTER"},
        {L"ravelin.exe", L""},
        {L"", L""},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(ArgumentsAfterProgramName(testCase.commandLine), testCase.arguments)
            << std::filesystem::path(testCase.commandLine).string();
    }
}

TEST(CommandLineTest, OptionValuesAreUpperCasedAndMayBeQuoted)
{
    EXPECT_EQ(GetOptionValue("/REGISTER /id=abc", "/ID="), "ABC");
    EXPECT_EQ(GetOptionValue("/id=\"my id\" /REGISTER", "/ID="), "MY ID");
    EXPECT_EQ(GetOptionValue("/id=\"open quote runs on", "/ID="), "OPEN QUOTE RUNS ON");
    EXPECT_EQ(GetOptionValue("/id=a\"b c", "/ID="), "A\"B");
    EXPECT_EQ(GetOptionValue("/id= x", "/ID="), "");
    EXPECT_EQ(GetOptionValue("/id=first /id=second", "/ID="), "FIRST");
    EXPECT_EQ(GetOptionValue("", "/ID="), "");
}

TEST(CommandLineTest, CommandLinesEndInACodeOrAConversionError)
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
        // The command and its code, as a run reads them from the line.
        const auto parse = [&](const std::string& line) {
            Configuration configuration;
            Tessaro::Ravelin::InstallStateCommands(configuration, nullptr);
            const auto code = configuration.ParseCommandLine(line, settings.Key(), nullptr);
            return std::make_pair(code, configuration.GetRunMode());
        };
        try {
            const auto [code, mode] = parse(commandLine);
            ASSERT_TRUE(code == ERROR_SUCCESS || code == ERROR_INVALID_PARAMETER) << code;
            ++(code == ERROR_SUCCESS ? accepted : refused);
            // Words are matched without regard to case, and option values are taken in upper case:
            // the line in lower case means the same.
            std::string lower = commandLine;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
            EXPECT_EQ(parse(lower), std::make_pair(code, mode)) << commandLine;
            // "/REMOVE" wins over every other command, wherever they stand.
            EXPECT_EQ(parse("/REMOVE " + commandLine), std::make_pair(std::uint32_t{ERROR_SUCCESS}, RunMode::Remove))
                << commandLine;
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

}  // namespace
