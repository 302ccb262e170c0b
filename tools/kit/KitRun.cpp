#include "KitRun.h"

#include "common/RegistryKey.h"
#include "common/foundation/StringConversion.h"
#include "security_center/WindowsSecurityCenterProducts.h"
#include "security_center/com/ComApartment.h"

#include <windows.h>

// The certificate store declarations need those of windows.h first.
#include <wincrypt.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace Kit {

namespace fs = std::filesystem;
using Tessaro::Vantrel::Common::Utilities::RegistryKey;
using Tessaro::Vantrel::Common::Utilities::RegistryValue;

namespace {

// The subject of the throwaway root that the verified loader's tests trust for their own run.
constexpr const wchar_t* TestRootSubject = L"Ravelin Test Root";
constexpr const wchar_t* SettingsKey =
    L"SYSTEM\\CurrentControlSet\\Services\\torq1\\Settings\\integration\\security_center";
// How long the agent may take for one step: its worst case is the wait of up to 120 seconds for
// Security Center and a registration of ten attempts of ten calls (about 55 seconds).
constexpr DWORD AgentTimeoutMilliseconds = 300 * 1000;
// How long a step waits for Security Center's list to show what the step asked for.
constexpr int StepWaitSeconds = 60;

void WriteText(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

void Say(const std::string& text)
{
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// Removes every certificate of the test root from the machine's trusted roots; says how many.
std::string RemoveTestRoots()
{
    const HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        return "could not be checked (the machine's root store did not open: error " + std::to_string(GetLastError()) +
               ")";
    }
    int removed = 0;
    int failed = 0;
    for (;;) {
        PCCERT_CONTEXT found =
            CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, TestRootSubject, nullptr);
        if (found == nullptr) {
            break;
        }
        // Deleting frees the context, found or not.
        if (CertDeleteCertificateFromStore(found)) {
            ++removed;
        } else {
            ++failed;
            break;
        }
    }
    CertCloseStore(store, 0);
    return std::to_string(removed) + " removed" + (failed > 0 ? ", one could not be removed" : "");
}

struct ProgramEnd {
    bool started = false;
    DWORD startError = 0;
    bool timedOut = false;
    DWORD exitCode = 0;
};

// Runs the command line with its output into `output` (or nowhere), in a job that ends with
// everything the program started, and waits up to `timeout` milliseconds; a program still running
// then is ended.
ProgramEnd RunProgram(std::wstring commandLine, HANDLE output, DWORD timeout)
{
    ProgramEnd end;
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        // An unhandled exception ends the process at once, with no dialog that waits for somebody.
        limits.BasicLimitInformation.LimitFlags =
            JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (output != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, output != nullptr, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &process)) {
        end.startError = GetLastError();
        if (job != nullptr) {
            CloseHandle(job);
        }
        return end;
    }
    end.started = true;
    // Where the kit itself runs in a job that takes no other, the program is ended alone.
    const bool inJob = job != nullptr && AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    if (WaitForSingleObject(process.hProcess, timeout) == WAIT_TIMEOUT) {
        end.timedOut = true;
        if (inJob) {
            TerminateJobObject(job, ERROR_TIMEOUT);
        }
        TerminateProcess(process.hProcess, ERROR_TIMEOUT);
        WaitForSingleObject(process.hProcess, 10000);
    }
    GetExitCodeProcess(process.hProcess, &end.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (job != nullptr) {
        CloseHandle(job);
    }
    return end;
}

std::string Hex(DWORD value)
{
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "0x%08lX", static_cast<unsigned long>(value));
    return text.data();
}

std::string Quoted(const std::wstring& text)
{
    return "\"" + Tessaro::Utf16ToUtf8(text) + "\"";
}

// Runs the unit test program and writes unit-tests.txt (its output), unit-tests.xml (its report,
// when it finished) and unit-tests-end.txt (how it ended, and the test it ended in).
void RunUnitTests(const fs::path& kit, const fs::path& report, const RunOptions& options, std::string& log)
{
    const fs::path outputPath = report / "unit-tests.txt";
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    const HANDLE output = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        log += "unit-tests.txt could not be created (error " + std::to_string(GetLastError()) + ")\n";
        return;
    }
    const std::wstring commandLine = L"\"" + (kit / L"unit_tests.exe").native() + L"\" \"--gtest_output=xml:" +
                                     (report / L"unit-tests.xml").native() + L"\" \"--gtest_filter=" + options.filter +
                                     L"\"";
    Say("Running the unit tests (their output: " + Tessaro::Utf16ToUtf8(outputPath.native()) + ", at most " +
        std::to_string(options.timeoutSeconds) + " s)...");
    const auto started = std::chrono::steady_clock::now();
    const ProgramEnd end = RunProgram(commandLine, output, options.timeoutSeconds * 1000);
    CloseHandle(output);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
    std::string text;
    if (!end.started) {
        text = "not started (error " + std::to_string(end.startError) + ")";
    } else {
        const std::string running = UnfinishedTest(ReadText(outputPath));
        const std::string in = running.empty() ? std::string() : " while running " + running;
        if (end.timedOut) {
            text = "did not end within " + std::to_string(options.timeoutSeconds) + " s and was ended" + in;
        } else if (end.exitCode == 0 && (!running.empty() || !fs::exists(report / "unit-tests.xml"))) {
            // A debugger the machine starts for a crash (AeDebug) may end the program so.
            text = "ended with 0 before it finished, without its report" + in;
        } else if (end.exitCode == 0) {
            text = "ended with 0 (every test passed or was skipped)";
        } else if (end.exitCode == 1) {
            text = "ended with 1 (tests failed)";
        } else {
            text = "crashed with exit code " + Hex(end.exitCode) + " (" + std::to_string(end.exitCode) + ")" + in;
        }
    }
    log += "unit tests: " + text + " after " + std::to_string(seconds) + " s\n";
    WriteText(report / "unit-tests-end.txt", text + "\n");
}

struct Step {
    const char* name;
    const wchar_t* arguments;
    const char* expected;
    // A value set before the step (a REG_QWORD time in 2001) or removed (`set` false), if any.
    const wchar_t* value;
    bool set;
};

// Each step of the round trip: the agent's command and the entry Security Center should then show.
const Step RoundTripSteps[] = {
    {"register", L"/REGISTER", "On up-to-date", nullptr, false},
    {"snooze", L"/UPDATE_WSC=SNOOZE", "Snoozed up-to-date", nullptr, false},
    {"enable", L"/UPDATE_WSC=ENABLE", "On up-to-date", nullptr, false},
    {"expiration time in 2001", L"/UPDATE_WSC=SET_EXPIRATION_TIME", "Expired up-to-date", L"ExpirationTime", true},
    // Security Center shows the product expired, which the time word reports as snoozed.
    {"expiration time removed", L"/UPDATE_WSC=REMOVE_EXPIRATION_TIME", "Snoozed up-to-date", L"ExpirationTime", false},
    {"out-of-date time in 2001", L"/UPDATE_WSC=SET_OUT_OF_DATE_TIME", "Snoozed out-of-date", L"OutOfDateTime", true},
    {"out-of-date time removed", L"/UPDATE_WSC=REMOVE_OUT_OF_DATE_TIME", "Snoozed up-to-date", L"OutOfDateTime", false},
    {"remove", L"/REMOVE", "absent", nullptr, false},
};

std::string ValueText(const RegistryValue& value)
{
    std::string text = Tessaro::Utf16ToUtf8(value.name) + " (type " + std::to_string(value.type) + "):";
    for (const auto byte : value.data) {
        std::array<char, 4> hex{};
        std::snprintf(hex.data(), hex.size(), " %02X", byte);
        text += hex.data();
    }
    return text + "\n";
}

std::vector<RegistryValue> SortedValues(RegistryKey& key)
{
    auto values = key.GetValues().Value();
    std::sort(values.begin(), values.end(), [](const auto& left, const auto& right) { return left.name < right.name; });
    return values;
}

bool SameValues(const std::vector<RegistryValue>& left, const std::vector<RegistryValue>& right)
{
    return std::equal(left.begin(), left.end(), right.begin(), right.end(), [](const auto& one, const auto& other) {
        return one.name == other.name && one.type == other.type && one.data == other.data;
    });
}

// Puts the settings key back as it was: the values it held, with their types and bytes, and none
// other. Says what was done and whether the key now reads as before.
std::string RestoreSettings(bool existed, const std::vector<RegistryValue>& saved)
{
    RegistryKey key(HKEY_LOCAL_MACHINE, SettingsKey);
    if (!existed) {
        const auto code = key.DeleteTree();
        return code == 0
                   ? "yes (the key did not exist before the round trip and was deleted)"
                   : "NO: the key did not exist before and could not be deleted (error " + std::to_string(code) + ")";
    }
    std::string failures;
    for (const auto& value : SortedValues(key)) {
        const bool kept =
            std::any_of(saved.begin(), saved.end(), [&](const auto& one) { return one.name == value.name; });
        if (const auto code = kept ? 0u : key.DeleteValue(value.name); code != 0) {
            failures += " deleting " + Tessaro::Utf16ToUtf8(value.name) + " failed (" + std::to_string(code) + ");";
        }
    }
    for (const auto& value : saved) {
        if (const auto code = key.SetValue(value.name, value.type, value.data); code != 0) {
            failures += " writing " + Tessaro::Utf16ToUtf8(value.name) + " failed (" + std::to_string(code) + ");";
        }
    }
    RegistryKey reread(HKEY_LOCAL_MACHINE, SettingsKey);
    if (!SameValues(SortedValues(reread), saved)) {
        return "NO: the key does not hold what it held before (settings-before.txt has it);" + failures;
    }
    return "yes (" + std::to_string(saved.size()) + (saved.size() == 1 ? " value" : " values") + " as before)" +
           (failures.empty() ? std::string() : ", though" + failures);
}

void RunRoundTrip(const fs::path& kit, const fs::path& report, const RunOptions& options, std::string& log)
{
    const std::wstring agent = options.agent.empty() ? (kit / L"ravelin.exe").native() : options.agent;
    std::string trip = "Round trip of " + Quoted(agent);
    RegistryKey key(HKEY_LOCAL_MACHINE, SettingsKey);
    const bool existed = key.Exists();
    const auto saved = existed ? SortedValues(key) : std::vector<RegistryValue>{};
    std::string savedText;
    for (const auto& value : saved) {
        savedText += ValueText(value);
    }
    WriteText(report / "settings-before.txt",
              existed ? savedText : std::string("(the key did not exist before the round trip)\n"));

    if (!existed) {
        key.CreateRecursively();
    }
    auto name = key.GetString(L"DisplayName", std::wstring());
    std::string displayName = Tessaro::Utf16ToUtf8(name.Value());
    if (!name.Succeeded() || displayName.empty()) {
        displayName = "Ravelin test kit";
        key.SetString(L"DisplayName", L"Ravelin test kit");
    }
    trip += " as \"" + displayName + "\"\n";
    // The times the product keeps: none at the start, so that every step's answer is known.
    for (const wchar_t* time :
         {L"ExpirationTime", L"OutOfDateTime", L"DefinitionsUpdateTime", L"RegisterTime", L"ProductInstallationTime"}) {
        key.DeleteValue(time);
    }
    Say("Running the Security Center round trip (" + Tessaro::Utf16ToUtf8((report / L"round-trip.txt").native()) +
        ")...");
    for (const auto& step : RoundTripSteps) {
        if (step.value != nullptr) {
            if (step.set) {
                key.SetQword(step.value, 1000000000);
            } else {
                key.DeleteValue(step.value);
            }
        }
        const ProgramEnd end = RunProgram(L"\"" + agent + L"\" " + step.arguments, nullptr, AgentTimeoutMilliseconds);
        const std::string command = "ravelin.exe " + Tessaro::Utf16ToUtf8(step.arguments);
        std::string ended;
        if (!end.started) {
            ended = "could not be started (error " + std::to_string(end.startError) + ")";
        } else if (end.timedOut) {
            ended = "did not end within " + std::to_string(AgentTimeoutMilliseconds / 1000) + " s";
        } else {
            ended = "ended with " + std::to_string(end.exitCode);
        }
        // Security Center takes its time to show a change: the list is read until it shows what the
        // step asked for, for up to a minute.
        std::string seen = "(nothing)";
        int waited = 0;
        for (;; ++waited) {
            std::uint32_t error = 0;
            seen = ProductEntry(displayName, error);
            if (seen == step.expected || waited >= StepWaitSeconds) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        const bool ok = end.started && !end.timedOut && end.exitCode == 0 && seen == step.expected;
        trip += (ok ? "ok " : "MISMATCH ") + std::string(step.name) + ": " + command + " " + ended +
                (ok ? "; expected and seen: " + seen
                    : "; expected 0 and " + std::string(step.expected) + ", seen: " + seen) +
                " (after " + std::to_string(waited) + " s)\n";
    }
    const std::string restored = RestoreSettings(existed, saved);
    trip += "Settings put back: " + restored + "\n";
    log += "round trip: settings put back: " + restored + "\n";
    WriteText(report / "round-trip.txt", trip);
}

// Whether the file carries the mark Windows gives downloaded files (its Zone.Identifier stream).
bool CarriesDownloadMark(const fs::path& file)
{
    return GetFileAttributesW((file.native() + L":Zone.Identifier").c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

std::string ProductEntry(const std::string& name, std::uint32_t& error)
{
    const auto listed = Tessaro::Ravelin::WindowsSecurityCenterProducts::ListProducts();
    error = listed.ErrorCode();
    if (!listed.Succeeded()) {
        return "(the product list could not be read: " + listed.Message() + ")";
    }
    for (const auto& product : listed.Value()) {
        if (product.name == name) {
            return product.stateText + (product.upToDate ? " up-to-date" : " out-of-date");
        }
    }
    return "absent";
}

std::string ReadText(const fs::path& path)
{
    std::stringstream text;
    if (std::ifstream file{path, std::ios::binary}) {
        text << file.rdbuf();
    }
    return text.str();
}

std::string UnfinishedTest(const std::string& output)
{
    std::string running;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        line = line.substr(0, line.find('\r'));
        if (line.rfind("[ RUN      ] ", 0) == 0) {
            running = line.substr(13);
        } else if (!running.empty() &&
                   (line.rfind("[       OK ] " + running, 0) == 0 || line.rfind("[  FAILED  ] " + running, 0) == 0 ||
                    line.rfind("[  SKIPPED ] " + running, 0) == 0)) {
            running.clear();
        }
    }
    return running;
}

void RunKit(const fs::path& kit, const fs::path& report, const RunOptions& options)
{
    // No dialog for a crash or a missing drive waits for somebody: the unit test program and every
    // program it starts inherit this.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    const Tessaro::Ravelin::ComApartment apartment;
    std::string log = "Kit folder: " + Tessaro::Utf16ToUtf8(kit.native()) + "\n";
    int marked = 0;
    for (const auto& entry : fs::directory_iterator(kit)) {
        marked += entry.is_regular_file() && CarriesDownloadMark(entry.path()) ? 1 : 0;
    }
    log += "Files marked as downloaded: " + std::to_string(marked) + "\n";
    log += "Trusted test roots before the run: " + RemoveTestRoots() + "\n";
    RunUnitTests(kit, report, options, log);
    if (options.roundTrip) {
        RunRoundTrip(kit, report, options, log);
    }
    log += "Trusted test roots after the run: " + RemoveTestRoots() + "\n";
    WriteText(report / "kit.txt", log);
}

}  // namespace Kit
