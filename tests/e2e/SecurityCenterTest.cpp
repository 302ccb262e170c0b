#include "SimulatorState.h"
#include "diagnostics/HResultConversion.h"
#include "common/ServiceUtilities.h"
#include "e2e/AgentProcess.h"
#include "support/SimulatorFixture.h"
#include "support/AgentLog.h"
#include "support/ChildProcess.h"
#include "support/ProcessToken.h"
#include "support/ScratchFolder.h"
#include "support/ScratchRegistryKey.h"
#include "common/RegistryKey.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace Tessaro::Testing {
extern const char* const IntegrationGuide;
}  // namespace Tessaro::Testing

namespace {

using namespace Tessaro::Testing;
using Tessaro::Simulator::Product;
using Tessaro::Simulator::SimulatorState;
using Tessaro::Vantrel::Common::Utilities::RegistryKey;

constexpr const wchar_t* SettingsKey =
    L"SYSTEM\\CurrentControlSet\\Services\\torq1\\Settings\\integration\\security_center";
constexpr const wchar_t* DisplayName = L"E2E Antivirus";
constexpr std::uint32_t EFail = 0x80004005;

// ravelin.exe against the simulated Security Center, with its settings key written fresh.
class SecurityCenterTest : public SimulatorFixture {
protected:
    void SetUp() override
    {
        SimulatorFixture::SetUp();
        // A link a failed test left behind goes as the link: the tree deletion would follow it.
        DeleteRegistryLink(std::wstring(SettingsKey) + L"\\Instance");
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, SettingsKey);
        SetString(L"DisplayName", DisplayName);
        ASSERT_TRUE(StartSimulatedService());
        ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 5000));
    }

    // What a test wrote goes with it: the tests of other suites that run the agent read this key
    // too, and an instance key left here would add its clean-up warning to their runs' first lines.
    void TearDown() override
    {
        DeleteRegistryLink(std::wstring(SettingsKey) + L"\\Instance");
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, SettingsKey);
        SimulatorFixture::TearDown();
    }

    static void SetString(const wchar_t* name, const std::wstring& value)
    {
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, SettingsKey, name, REG_SZ, value.c_str(),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }

    static void SetSeconds(const wchar_t* key, const wchar_t* name, std::int64_t seconds)
    {
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, name, REG_QWORD, &seconds, sizeof(seconds)), ERROR_SUCCESS);
    }

    // Runs the agent (or a copy of it under another name) with a fresh identifier and keeps the
    // messages of that run.
    std::uint32_t Run(const std::string& arguments, const std::filesystem::path& executable = AgentExecutablePath())
    {
        const std::string identifier = UniqueRunIdentifier("E2E");
        const std::string commandLine = arguments + " /ID=" + identifier;
        const std::uint32_t code = RunAgentProcess(std::wstring(commandLine.begin(), commandLine.end()), executable);
        const auto lines = AgentLogLinesOfRun(identifier, executable.stem().wstring());
        messages = Messages(lines);
        errors.clear();
        for (const auto& line : lines) {
            if (line.level == "ERROR") {
                errors.push_back(line.message);
            }
        }
        return code;
    }

    std::size_t Logged(const std::string& prefix) const
    {
        return static_cast<std::size_t>(
            std::count_if(messages.begin(), messages.end(),
                          [&](const std::string& message) { return message.rfind(prefix, 0) == 0; }));
    }

    static std::optional<Product> OwnProduct()
    {
        for (const auto& product : SimulatorState::Products()) {
            if (product.displayName == DisplayName) {
                return product;
            }
        }
        return std::nullopt;
    }

    // The first line of a file another process writes, once it is there (or nothing after ten seconds).
    static std::string FirstLineOnceWritten(const std::filesystem::path& path)
    {
        std::string line;
        for (int waited = 0; waited < 100 && line.empty(); ++waited) {
            Sleep(100);
            std::getline(std::ifstream(path), line);
        }
        return line;
    }

    std::vector<std::string> messages;
    // The run's lines at level ERROR: a command that does what it should logs none.
    std::vector<std::string> errors;
};

// "Instance" a link, planted where a vendor may let ordinary users write: a run deletes nothing
// behind it, and its warning, logged before the log file is open, reaches the log file.
TEST_F(SecurityCenterTest, LinkPlantedBelowTheSettingsKeyLeadsNoRunElsewhere)
{
    const ScratchRegistryKey victim;
    ChildProcess ended(L"logwriter.exe", L"NUL 0 0");
    ended.WaitForExit();
    const std::wstring stale = std::to_wstring(ended.Id());
    ASSERT_EQ(victim.Child(stale + L"\\deep")->CreateRecursively(), 0u);
    ASSERT_EQ(victim.Key()->SetString(L"precious", L"kept"), 0u);
    const std::wstring instances = std::wstring(SettingsKey) + L"\\Instance";
    ASSERT_TRUE(CreateRegistryLink(instances, victim.Key()->GetFullName().Value()));
    // The key by its native name, whose letter case is the registry's own.
    const std::string warningEnd =
        "\\torq1\\Settings\\integration\\security_center\\Instance\" is a registry link "
        "and is not followed";
    const auto warnings = [&] {
        const auto all = AllAgentLogMessages();
        return std::count_if(all.begin(), all.end(), [&](const std::string& message) {
            return message.rfind("The registry key \"\\REGISTRY\\", 0) == 0 && message.size() > warningEnd.size() &&
                   message.compare(message.size() - warningEnd.size(), warningEnd.size(), warningEnd) == 0;
        });
    };
    const auto before = warnings();
    EXPECT_EQ(Run("/FOO"), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(victim.Child(stale + L"\\deep")->Exists());
    EXPECT_EQ(warnings(), before + 1) << "the warning logged before the log file opened is in it";
    EXPECT_EQ(RegistryKey(HKEY_LOCAL_MACHINE, instances).Delete(), 0u) << "the link goes as the link";
    EXPECT_EQ(victim.Key()->GetString(L"precious", L"").Value(), L"kept");
}

TEST_F(SecurityCenterTest, RegistrationWritesStateAndSubStatesThenStateWordsChangeThem)
{
    ASSERT_EQ(Run("/REGISTER"), 0u);
    EXPECT_EQ(errors, std::vector<std::string>{});
    auto product = OwnProduct();
    ASSERT_TRUE(product.has_value());
    EXPECT_EQ(product->state, 0u) << "on";
    EXPECT_TRUE(product->upToDate);
    EXPECT_EQ(product->protectionSettings, 1u);
    EXPECT_EQ(product->protectionUpdates, 1u);
    EXPECT_EQ(product->currentThreats, 1u);
    EXPECT_EQ(Logged("Going to call Windows security center command via the agent"), 1u);
    EXPECT_EQ(Logged("Agent going to execute the register operation"), 1u);
    EXPECT_EQ(Logged("Agent going to execute the register antivirus operation"), 1u);
    EXPECT_EQ(Logged("Agent going to execute the update antivirus state operation"), 1u);
    EXPECT_EQ(Logged("Write the antivirus state to Windows security center"), 1u);
    EXPECT_EQ(Logged("State to be set in Windows security center: WSC_SECURITY_PRODUCT_STATE_ON (Is up-to-date)"), 1u);
    EXPECT_EQ(Logged("List registered products: E2E Antivirus ("), 2u) << "before and after";
    // The state as Security Center lists it over WMI, read back by the agent.
    EXPECT_EQ(Logged("- Product: E2E Antivirus | UpToDate: true | State: On | "), 1u) << "after";
    EXPECT_EQ(Logged("Successful triggered the Windows Security Center"), 1u);

    ASSERT_EQ(Run("/UPDATE_WSC=SNOOZE"), 0u);
    EXPECT_EQ(errors, std::vector<std::string>{});
    product = OwnProduct();
    EXPECT_EQ(product->state, 2u) << "snoozed";
    EXPECT_EQ(product->protectionSettings, 2u) << "action recommended";
    EXPECT_EQ(CallsOf(L"Register"), 1u) << "an update registers nothing";

    // A time word keeps what Security Center shows; an expiration in the past overrides it.
    SetSeconds(SettingsKey, L"ExpirationTime", 1'000'000'000);
    const auto queriesBefore = CallsOf(L"ExecQuery");
    ASSERT_EQ(Run("/UPDATE_WSC=SET_EXPIRATION_TIME"), 0u);
    EXPECT_EQ(OwnProduct()->state, 3u) << "expired";
    // The state lookup happens while the command line is read, before the log exists: it shows
    // as a third product query besides the two listings.
    EXPECT_EQ(CallsOf(L"ExecQuery"), queriesBefore + 3);
    EXPECT_EQ(Logged("The antivirus state got overridden by the expired state"), 2u) << "state and sub-states";
}

// A removal Security Center refuses is logged once, lists again and ends with its code; "not
// found" counts as removed.
TEST_F(SecurityCenterTest, RemovalUnregistersAndANeverRegisteredProductIsNoFailure)
{
    ASSERT_EQ(Run("/REGISTER"), 0u);
    SimulatorState::ScriptFault(L"Unregister", 1, EFail);
    EXPECT_EQ(Run("/REMOVE"), Tessaro::Vantrel::Common::ConvertHResultToErrorCode(static_cast<HRESULT>(EFail)));
    EXPECT_EQ(Logged("Failed to execute the remove antivirus operation (Error: "), 1u);
    EXPECT_EQ(Logged("List registered products:"), 2u);
    ASSERT_TRUE(OwnProduct().has_value()) << "still registered";

    ASSERT_EQ(Run("/REMOVE"), 0u);
    EXPECT_FALSE(OwnProduct().has_value());
    EXPECT_EQ(Logged("Agent going to execute the remove operation"), 1u);
    EXPECT_EQ(Logged("Agent going to execute the remove antivirus operation"), 1u);
    EXPECT_EQ(Logged("Unregister anti virus state provider"), 2u) << "the call, then its success";
    EXPECT_EQ(Logged("Unregister anti virus state provider successful"), 1u);
    ASSERT_EQ(Run("/remove"), 0u) << "Security Center's \"not found\" counts as removed";
    EXPECT_EQ(Logged("Unregister anti virus state provider successful"), 1u);
}

// An instance stored as not registered skips every update but "on"; one whose stored state cannot
// be read warns, and the update runs.
TEST_F(SecurityCenterTest, PersistentNotRegisteredStateSkipsTheUpdateUnlessOn)
{
    ASSERT_EQ(Run("/REGISTER"), 0u);
    const std::wstring instanceKey = std::wstring(SettingsKey) + L"\\Instance\\E2E";
    ASSERT_EQ(RegistryKey(HKEY_LOCAL_MACHINE, instanceKey).Create(), 0u);
    ASSERT_EQ(Run("/UPDATE_WSC=SNOOZE /INSTANCE=E2E"), 0u);
    EXPECT_EQ(Logged("Agent going to execute the update entry operation"), 1u);
    EXPECT_EQ(Logged("Agent operation executed with unknown registered state (Error: 2)"), 1u);
    EXPECT_EQ(OwnProduct()->state, 2u) << "snoozed: the update ran";

    SetSeconds(instanceKey.c_str(), L"RegisterStoredState", 3);
    const auto updatesBefore = CallsOf(L"UpdateStatus");

    ASSERT_EQ(Run("/UPDATE_WSC=SNOOZE /INSTANCE=E2E"), 0u);
    EXPECT_EQ(Logged("Agent operation executed with registered state 3"), 1u);
    EXPECT_EQ(Logged("Agent operation is getting skipped as it is in persistent not registered state"), 1u);
    EXPECT_EQ(Logged("List registered products:"), 1u) << "no second listing";
    EXPECT_EQ(CallsOf(L"UpdateStatus"), updatesBefore);

    ASSERT_EQ(Run("/UPDATE_WSC=ENABLE /INSTANCE=E2E"), 0u);
    EXPECT_EQ(CallsOf(L"UpdateStatus"), updatesBefore + 1) << "On is written even then";
    EXPECT_EQ(OwnProduct()->state, 0u);
}

// The same instance key planted by an ordinary user (its owner another account) decides nothing for
// the run, which is elevated or SYSTEM: the snooze is written, and a time word reports the state
// Security Center holds, not the one the key stores.
TEST_F(SecurityCenterTest, InstanceKeyPlantedByAUserDecidesNothingForTheRun)
{
    ASSERT_EQ(Run("/REGISTER"), 0u);
    const std::wstring instanceKey = std::wstring(SettingsKey) + L"\\Instance\\E2E";
    ASSERT_EQ(RegistryKey(HKEY_LOCAL_MACHINE, instanceKey).Create(), 0u);
    SetSeconds(instanceKey.c_str(), L"RegisterStoredState", 3);
    SetSeconds(instanceKey.c_str(), L"StoredState", 2);
    SetKeyOwner(instanceKey, L"S-1-5-21-1111-2222-3333-1001");

    const char* const ignored =
        "The instance key \"E2E\" is owned by S-1-5-21-1111-2222-3333-1001, who may not "
        "decide for this run: it is not used";
    ASSERT_EQ(Run("/UPDATE_WSC=SNOOZE /INSTANCE=E2E"), 0u);
    EXPECT_EQ(Logged(ignored), 1u);
    EXPECT_EQ(Logged("Agent operation is getting skipped as it is in persistent not registered state"), 0u);
    EXPECT_EQ(OwnProduct()->state, 2u) << "snoozed: the update ran";

    ASSERT_EQ(Run("/UPDATE_WSC=SET_EXPIRATION_TIME /INSTANCE=E2E"), 0u);
    EXPECT_EQ(OwnProduct()->state, 2u) << "still snoozed, as Security Center holds it; the key says on";
}

// A row of the integration guide's recipes, its cells as the guide writes them.
struct Recipe {
    std::string state, settings, instance, command, shows, protectionSettings, protectionUpdates;
};

std::vector<Recipe> GuideRecipes()
{
    std::istringstream guide(IntegrationGuide);
    std::vector<Recipe> recipes;
    bool inRecipes = false;
    for (std::string line; std::getline(guide, line);) {
        if (line.rfind("## ", 0) == 0) {
            inRecipes = line == "## Reporting each state";
        }
        if (!inRecipes || line.rfind("| ", 0) != 0 || line.rfind("| state |", 0) == 0) {
            continue;
        }
        std::vector<std::string> cells;
        std::istringstream row(line.substr(1));
        for (std::string cell; std::getline(row, cell, '|');) {
            const auto first = cell.find_first_not_of(' ');
            cells.push_back(first == std::string::npos ? ""
                                                       : cell.substr(first, cell.find_last_not_of(' ') - first + 1));
        }
        if (cells.size() == 7) {
            recipes.push_back({cells[0], cells[1], cells[2], cells[3], cells[4], cells[5], cells[6]});
        }
    }
    return recipes;
}

// The text between the first pair of backticks.
std::string InBackticks(const std::string& text)
{
    const auto open = text.find('`');
    return open == std::string::npos ? "" : text.substr(open + 1, text.find('`', open + 1) - open - 1);
}

// Writes "`Name` = now - 1 h; `Other` = 1" as REG_QWORD values: now, or now and a signed distance
// in s, min, h or d (the guide's minus is U+2212), or a number.
void WriteRecipeValues(const std::wstring& key, const std::string& cell, std::int64_t now)
{
    std::istringstream values(cell);
    for (std::string value; std::getline(values, value, ';');) {
        const std::string name = InBackticks(value);
        std::istringstream terms(value.substr(value.find('=') + 1));
        std::string first, sign, unit;
        std::int64_t amount = 0;
        terms >> first >> sign >> amount >> unit;
        const std::map<std::string, std::int64_t> units = {{"s", 1}, {"min", 60}, {"h", 3600}, {"d", 86400}};
        std::int64_t seconds = first == "now" ? now : std::stoll(first);
        if (!sign.empty()) {
            ASSERT_TRUE(units.count(unit) != 0) << value;
            seconds += (sign == "-" || sign == "\xE2\x88\x92" ? -1 : 1) * amount * units.at(unit);
        }
        const std::wstring wideName(name.begin(), name.end());
        ASSERT_EQ(
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), wideName.c_str(), REG_QWORD, &seconds, sizeof(seconds)),
            ERROR_SUCCESS)
            << value;
    }
}

std::uint32_t SubStateOf(const std::string& cell)
{
    const std::map<std::string, std::uint32_t> subStates = {
        {"no action", 1}, {"action recommended", 2}, {"action needed", 3}};
    return subStates.at(cell);
}

// What a vendor's set-up gets wrong and the defaults would hide is named in the log: a time written
// as REG_DWORD (once, however often the run reads it), and an agent installed under another name
// than the ravelin.exe it registers.
TEST_F(SecurityCenterTest, MisconfigurationIsNamedInTheLog)
{
    const DWORD yesterday = static_cast<DWORD>(std::time(nullptr) - 86'400);
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, SettingsKey, L"ExpirationTime", REG_DWORD, &yesterday, 4), 0);
    ASSERT_EQ(Run("/REGISTER"), 0u);
    EXPECT_EQ(Logged("The configuration value \"ExpirationTime\" is REG_DWORD where REG_QWORD of 8 bytes is "
                     "expected (Error: 222): using now + 5 years (the product counts as valid) instead"),
              1u);
    EXPECT_EQ(OwnProduct()->state, 0u) << "on, not expired: the value counts as missing";
    EXPECT_EQ(Logged("The reporting executable"), 0u);

    const ScratchFolder folder;
    const auto renamed = folder.Path() / L"agent2.exe";
    ASSERT_TRUE(CopyFileW(AgentExecutablePath().c_str(), renamed.c_str(), TRUE));
    ASSERT_EQ(Run("/REGISTER", renamed), 0u);
    const std::string registered = "\\\\?\\" + (folder.Path() / "ravelin.exe").string();
    const auto products = SimulatorState::Products();
    EXPECT_TRUE(std::any_of(products.begin(), products.end(), [&](const Product& product) {
        return std::filesystem::path(product.path).string() == registered;
    })) << "registered all the same";
    EXPECT_EQ(Logged("The reporting executable \"" + registered +
                     "\" that is registered does not exist: Security Center cannot start it for remediation "
                     "(install the agent as ravelin.exe)"),
              1u);
}

// Every recipe of the integration guide, run as the guide writes it: from a registered product
// with no notice sent today, the values of its row, then its command; Security Center then shows
// what the row says.
TEST_F(SecurityCenterTest, EveryRecipeOfTheIntegrationGuideShowsWhatItSays)
{
    const auto recipes = GuideRecipes();
    ASSERT_EQ(recipes.size(), 7u) << "the guide's table of recipes as this test reads it";
    const std::map<std::string, std::uint32_t> states = {{"on", 0}, {"off", 1}, {"snoozed", 2}, {"expired", 3}};
    for (const auto& recipe : recipes) {
        SCOPED_TRACE(recipe.state);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, SettingsKey);
        SetString(L"DisplayName", DisplayName);
        ASSERT_EQ(Run("/REGISTER"), 0u);
        ASSERT_EQ(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, SettingsKey, L"LastNearExpirationNotificationTime"), 0);
        const std::int64_t now = std::time(nullptr);
        WriteRecipeValues(SettingsKey, recipe.settings, now);
        WriteRecipeValues(std::wstring(SettingsKey) + L"\\Instance\\main", recipe.instance, now);
        ASSERT_EQ(Run(InBackticks(recipe.command)), 0u);

        const auto product = OwnProduct();
        if (recipe.shows == "not listed") {
            EXPECT_FALSE(product.has_value());
            continue;
        }
        ASSERT_TRUE(product.has_value());
        std::istringstream shows(recipe.shows);
        std::string state, upToDate, notice;
        std::getline(shows, state, ',');
        std::getline(shows >> std::ws, upToDate, ',');
        std::getline(shows >> std::ws, notice);
        EXPECT_EQ(product->state, states.at(state));
        EXPECT_EQ(product->upToDate, upToDate == "up to date") << upToDate;
        if (!notice.empty()) {
            const std::string days = notice.substr(std::string("notice of ").size());
            EXPECT_EQ(product->lastNotification.rfind(std::wstring(days.begin(), days.end()) + L" at ", 0), 0u)
                << notice;
        }
        EXPECT_EQ(product->protectionSettings, SubStateOf(recipe.protectionSettings));
        EXPECT_EQ(product->protectionUpdates, SubStateOf(recipe.protectionUpdates));
        EXPECT_EQ(product->currentThreats, 1u);
    }
}

TEST_F(SecurityCenterTest, EmptyDisplayNameRefusesRegistrationWithoutCallingSecurityCenter)
{
    SetString(L"DisplayName", L"");
    ASSERT_EQ(Run("/REGISTER"), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Logged("Unable to find the display name parameter"), 1u);
    EXPECT_EQ(Logged("Failed to execute the register antivirus operation (Error: 87): "), 1u);
    EXPECT_TRUE(SimulatorState::Journal().empty()) << "neither the status class nor WMI was asked";
}

// Every state of the service is met by the wait's own tests; here, that a command whose wait fails
// ends before it calls Security Center at all.
TEST_F(SecurityCenterTest, ServiceNotInstalledEndsTheCommandBeforeAnyCall)
{
    StopSimulatedService();
    {
        using Tessaro::Vantrel::Common::Utilities::OwnServiceHandle;
        const auto manager = OwnServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        const auto service = OwnServiceHandle(OpenServiceW(static_cast<SC_HANDLE>(manager->Get()), L"wscsvc", DELETE));
        ASSERT_TRUE(DeleteService(static_cast<SC_HANDLE>(service->Get())));
    }
    const auto code = Run("/REGISTER");
    ChildProcess reinstall(L"wscsim.exe", L"install");
    EXPECT_EQ(reinstall.WaitForExit(), 0u);
    EXPECT_EQ(code, static_cast<std::uint32_t>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(Logged("Failed to wait for the Windows Security Center service (Error: 1062)"), 1u);
    EXPECT_EQ(Logged("Failed to trigger the Windows Security Center (Error: 1062)"), 1u);
    EXPECT_TRUE(SimulatorState::Journal().empty());
}

TEST_F(SecurityCenterTest, RemediationToolStartsWithTheQuotedPathAndTheAgentsSwitches)
{
    const std::filesystem::path folder = "C:\\Program Files\\E2E Antivirus";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(std::filesystem::path(TestProgramFolder()) / "remediationtool.exe",
                               folder / "remediationtool.exe", std::filesystem::copy_options::overwrite_existing);
    std::filesystem::remove(folder / "remediation_calls.txt");
    std::filesystem::remove(folder / "remediation_state.txt");
    // The ".." is resolved before the long-path form, after which it would be taken literally.
    SetString(L"RemediationPath", (folder / "sub" / ".." / "remediationtool.exe").wstring());

    ASSERT_EQ(Run("/AV /quiet"), 0u);
    EXPECT_EQ(errors, std::vector<std::string>{});
    EXPECT_EQ(Logged("Going to call antivirus product command via the agent"), 1u);
    EXPECT_EQ(Logged("Successful triggered the product WSC remediation tool"), 1u);
    EXPECT_EQ(Logged("Successful triggered the antivirus product"), 1u);
    const std::string calls = FirstLineOnceWritten(folder / "remediation_calls.txt");
    EXPECT_EQ(calls.rfind("\"\\\\?\\C:\\Program Files\\E2E Antivirus\\remediationtool.exe\" /AV /quiet /ID=E2E-", 0),
              0u)
        << calls;
    EXPECT_EQ(Logged("WSC remediation path: \\\\?\\C:\\Program Files\\E2E Antivirus\\remediationtool.exe /AV /quiet"),
              1u)
        << "the log names the file that was started";
    std::stringstream state;
    state << std::ifstream(folder / "remediation_state.txt").rdbuf();
    // The tool does not inherit the debug privilege the agent used, and starts in its own folder
    // and in a console of its own.
    EXPECT_EQ(state.str(), "disabled\nC:\\Program Files\\E2E Antivirus\n1\n");
    EXPECT_TRUE(SimulatorState::Journal().empty()) << "the launch does not talk to Security Center";

    SetString(L"RemediationPath", L"");
    ASSERT_EQ(Run("/AV"), static_cast<std::uint32_t>(ERROR_NOT_FOUND));
    EXPECT_EQ(Logged("Unable to find the remediation agent path"), 1u);
    EXPECT_EQ(Logged("WSC remediation path:"), 0u);

    // A bare name is the tool of that name in the agent's own folder.
    const auto besideAgent = std::filesystem::path(TestProgramFolder()) / "remediation_calls.txt";
    std::filesystem::remove(besideAgent);
    SetString(L"RemediationPath", L"remediationtool.exe");
    ASSERT_EQ(Run("/AV"), 0u);
    const std::string bare = FirstLineOnceWritten(besideAgent);
    EXPECT_EQ(bare.rfind("\"\\\\?\\" + (besideAgent.parent_path() / "remediationtool.exe\" /AV").string(), 0), 0u)
        << bare;
    std::filesystem::remove(besideAgent);

    // A missing tool ends the run with the system's answer to its open, 2 (after the checks, which
    // take a drive letter in either case).
    SetString(L"RemediationPath", L"c:\\program files\\e2e antivirus\\missing.exe");
    ASSERT_EQ(Run("/AV"), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Logged("Failed to launch the product (Code: 2)"), 1u);
    EXPECT_EQ(Logged("Failed to trigger the antivirus product (Error: 2)"), 1u);
    EXPECT_EQ(Logged("Successful triggered the product WSC remediation tool"), 0u);
    // So does every fixed drive's letter in either case (Wine's Z: is the last letter there is).
    const DWORD drives = GetLogicalDrives();
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const std::wstring root{letter, L':', L'\\'};
        if ((drives & (1u << (letter - L'A'))) == 0 || GetDriveTypeW(root.c_str()) != DRIVE_FIXED) {
            continue;
        }
        for (const wchar_t name : {letter, static_cast<wchar_t>(letter - L'A' + L'a')}) {
            SetString(L"RemediationPath", std::wstring{name} + L":\\missing.exe");
            EXPECT_EQ(Run("/AV"), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND)) << static_cast<char>(name);
            EXPECT_EQ(Logged("Failed to launch the product (Code: 2)"), 1u) << static_cast<char>(name);
        }
    }
    // One that is there and passes the checks but is no program the system can start: its answer.
    std::ofstream(folder / "broken.exe") << "MZ";
    SetString(L"RemediationPath", (folder / "broken.exe").wstring());
    ASSERT_EQ(Run("/AV"), static_cast<std::uint32_t>(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(Logged("WSC remediation path: "), 1u) << "the checks passed";
    EXPECT_EQ(Logged("Failed to launch the product (Code: 193)"), 1u);
}

// The checks apply to the path that is started, after expansion: a relative path with a folder or a
// quote (written or arriving through a variable) starts nothing (87), nor does anything but a file
// on a local fixed drive in drive-letter form (87: a network share, or a path that names the
// network redirector some other way), nor the agent itself under any name (87), nor anything but
// an ".exe" (193: a command script's interpreter would run what the agent's command line forwards).
TEST_F(SecurityCenterTest, RemediationPathThatIsNotALocalProgramStartsNothing)
{
    const std::filesystem::path probe = "C:\\probe";
    std::filesystem::create_directories(probe);
    std::filesystem::remove(probe / "inj.txt");
    std::ofstream(probe / "fix.bat") << "@echo fix\r\n";
    // A second name of the agent's file (on its own volume, as every hard link is).
    const auto otherName = std::filesystem::path(TestProgramFolder()) / "other-name.exe";
    std::filesystem::remove(otherName);
    ASSERT_TRUE(CreateHardLinkW(otherName.c_str(), AgentExecutablePath().c_str(), nullptr));
    ASSERT_TRUE(SetEnvironmentVariableW(L"RAVELIN_TEST_QUOTE", L"\" /evil")) << "the agent inherits it";
    const char* const notFull = "The remediation agent path is not a full path to a file: ";
    const char* const notLocal = "The remediation agent path is not on a local fixed drive: ";
    const char* const notProgram = "The remediation agent path is not a program (.exe): ";
    const char* const itself = "The remediation agent path names the agent itself: ";
    const char* const stream = "The remediation agent path names a stream, not a file: ";
    const struct {
        std::wstring path;
        std::uint32_t code;
        const char* line;
    } cases[] = {
        {L"..\\bin\\remediationtool.exe", ERROR_INVALID_PARAMETER, notFull},
        {L"C:\\Program Files\\E2E Antivirus\\remediationtool.exe\" /evil", ERROR_INVALID_PARAMETER, notFull},
        {L"C:\\Program Files\\E2E Antivirus\\remediationtool.exe%RAVELIN_TEST_QUOTE%", ERROR_INVALID_PARAMETER,
         notFull},
        {L"\\\\server\\share\\remediationtool.exe", ERROR_INVALID_PARAMETER, notLocal},
        {L"\\\\?\\unc\\server\\share\\remediationtool.exe", ERROR_INVALID_PARAMETER, notLocal},
        {L"\\\\?\\GLOBALROOT\\Device\\Mup\\server\\share\\x.exe", ERROR_INVALID_PARAMETER, notLocal},
        {L"\\??\\GLOBALROOT\\Device\\Mup\\server\\share\\x.exe", ERROR_INVALID_PARAMETER, notLocal},
        {L"\\\\?\\GLOBALROOT\\??\\UNC\\server\\share\\x.exe", ERROR_INVALID_PARAMETER, notLocal},
        {L"\\\\?\\GLOBALROOT\\Device\\WebDavRedirector\\server\\x.exe", ERROR_INVALID_PARAMETER, notLocal},
        {L"Q:\\no drive here\\remediationtool.exe", ERROR_INVALID_PARAMETER, notLocal},
        {otherName.wstring(), ERROR_INVALID_PARAMETER, itself},
        {AgentExecutablePath(), ERROR_INVALID_PARAMETER, itself},
        {L"C:\\probe\\fix.bat", ERROR_BAD_EXE_FORMAT, notProgram},
        {L"C:\\probe\\FIX.Cmd. ", ERROR_BAD_EXE_FORMAT, notProgram},
        {L"\\\\?\\C:\\probe\\fix.exe.", ERROR_BAD_EXE_FORMAT, notProgram},
        {L"C:\\probe\\fix.com", ERROR_BAD_EXE_FORMAT, notProgram},
        {L"C:\\probe\\fix.exe.scr", ERROR_BAD_EXE_FORMAT, notProgram},
        {L"C:\\probe\\fixexe", ERROR_BAD_EXE_FORMAT, notProgram},
        {L"C:\\ProgramData:fix.exe", ERROR_INVALID_PARAMETER, stream},
        {L"C:\\probe\\tool.exe:x.exe", ERROR_INVALID_PARAMETER, stream},
        {L"C:\\probe\\no folder\\below\\tool.exe", ERROR_FILE_NOT_FOUND, "Failed to launch the product (Code: 2)"},
    };
    for (const auto& testCase : cases) {
        SetString(L"RemediationPath", testCase.path);
        EXPECT_EQ(Run("/AV & echo INJECTED>C:\\probe\\inj.txt"), testCase.code)
            << std::filesystem::path(testCase.path).string();
        EXPECT_EQ(Logged(testCase.line), 1u) << std::filesystem::path(testCase.path).string();
        EXPECT_EQ(Logged("WSC remediation path:"), 0u);
        EXPECT_EQ(Logged("Execute command failed with error: " + std::to_string(testCase.code)), 1u);
    }
    // A name the file does not go by, its short one where the volume keeps short names, leads to a
    // file whose own name differs.
    const auto longName = probe / "long remediation tool.exe";
    std::filesystem::copy_file(std::filesystem::path(TestProgramFolder()) / "remediationtool.exe", longName,
                               std::filesystem::copy_options::overwrite_existing);
    std::array<wchar_t, MAX_PATH> shortName{};
    ASSERT_NE(GetShortPathNameW(longName.c_str(), shortName.data(), MAX_PATH), 0u);
    if (longName != shortName.data()) {
        SetString(L"RemediationPath", shortName.data());
        EXPECT_EQ(Run("/AV"), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(Logged("The remediation agent path does not lead to the file itself"), 1u);
    }
    // A tool that others than its owner and the administrators may change.
    const auto everybodys = probe / "everybodys.exe";
    std::filesystem::copy_file(std::filesystem::path(TestProgramFolder()) / "remediationtool.exe", everybodys,
                               std::filesystem::copy_options::overwrite_existing);
    Tessaro::Testing::SetAccessList(
        everybodys, L"D:(A;;FA;;;SY)(A;;FA;;;" + Tessaro::Testing::TokenSidText(TokenUser) + L")(A;;0x1301bf;;;WD)");
    SetString(L"RemediationPath", everybodys.wstring());
    EXPECT_EQ(Run("/AV"), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Logged("The remediation agent may be changed by others than the administrators"), 1u);
    SetEnvironmentVariableW(L"RAVELIN_TEST_QUOTE", nullptr);
    std::filesystem::remove(otherName);
    Sleep(500);
    EXPECT_FALSE(std::filesystem::exists(probe / "inj.txt")) << "the forwarded command line was interpreted";
}

}  // namespace
