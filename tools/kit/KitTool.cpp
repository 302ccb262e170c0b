// ravelin-kit.exe: the Windows test kit's helper, for run-tests.cmd.
//   ravelin-kit run [/roundtrip] [/agent PATH] [/filter PATTERN] [/timeout SECONDS]
//                                    the kit's whole run (KitRun.h), then the report beside the kit:
//                                    report\summary.txt and ravelin-report-<computer>.zip
//   ravelin-kit products NAME        the entry NAME has in Security Center's product list, read over WMI
//                                    as the agent reads it: "absent", or its decoded state and whether
//                                    it is up to date ("On up-to-date", "Snoozed out-of-date", ...)
//   ravelin-kit report FOLDER ZIP    writes FOLDER\summary.txt (the system, the account, the unit
//                                    tests' failures and skips from FOLDER\unit-tests.xml, the round
//                                    trip's verdict from FOLDER\round-trip.txt), then packs every file
//                                    of FOLDER into the archive ZIP
// Ends with 0, or with the failure's code after a line on the error stream.

#include "KitRun.h"

#include "common/OsInfoImpl.h"
#include "common/foundation/StringConversion.h"
#include "security_center/com/ComApartment.h"
#include "security_center/WindowsSecurityCenterProducts.h"
#include "support/Platform.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Kit::ReadText;

int Fail(const std::string& message, int code)
{
    std::fprintf(stderr, "ravelin-kit: %s\n", message.c_str());
    return code;
}

int Products(const std::string& name)
{
    const Tessaro::Ravelin::ComApartment apartment;
    std::uint32_t error = 0;
    const std::string entry = Kit::ProductEntry(name, error);
    if (error != 0) {
        return Fail("Security Center's product list could not be read: " + entry, static_cast<int>(error));
    }
    std::printf("%s\n", entry.c_str());
    return 0;
}

// An attribute of an XML start tag, with its character references resolved.
std::string Attribute(const std::string& tag, const std::string& name)
{
    const auto start = tag.find(" " + name + "=\"");
    if (start == std::string::npos) {
        return {};
    }
    const auto first = start + name.size() + 3;
    const std::string raw = tag.substr(first, tag.find('"', first) - first);
    std::string value;
    for (std::size_t at = 0; at < raw.size(); ++at) {
        const auto end = raw[at] == '&' ? raw.find(';', at) : std::string::npos;
        if (end == std::string::npos) {
            value += raw[at];
            continue;
        }
        const std::string entity = raw.substr(at + 1, end - at - 1);
        if (entity[0] == '#') {
            value += static_cast<char>(
                std::stoul(entity.substr(entity[1] == 'x' ? 2 : 1), nullptr, entity[1] == 'x' ? 16 : 10));
        } else {
            value += entity == "lt"     ? '<'
                     : entity == "gt"   ? '>'
                     : entity == "quot" ? '"'
                     : entity == "apos" ? '\''
                                        : '&';
        }
        at = end;
    }
    return value;
}

// "Suite.Test" and its message, indented, for every failed and every skipped test of the report.
std::string TestResults(const std::string& xml, int& run, int& failed, int& skipped)
{
    std::string failures;
    std::string skips;
    for (auto at = xml.find("<testcase "); at != std::string::npos; at = xml.find("<testcase ", at + 1)) {
        const auto tagEnd = xml.find('>', at);
        const std::string tag = xml.substr(at, tagEnd - at);
        const auto bodyEnd = tag.back() == '/' ? tagEnd : xml.find("</testcase>", tagEnd);
        const std::string body = xml.substr(tagEnd, bodyEnd - tagEnd);
        const std::string name = Attribute(tag, "classname") + "." + Attribute(tag, "name");
        if (Attribute(tag, "status") != "run") {
            continue;  // a disabled test
        }
        ++run;
        const auto indented = [](std::string message) {
            for (auto line = message.find('\n'); line != std::string::npos; line = message.find('\n', line + 1)) {
                message.insert(line + 1, "    ");
            }
            return "    " + message + "\n";
        };
        if (const auto failure = body.find("<failure "); failure != std::string::npos) {
            ++failed;
            failures += "FAILED " + name + "\n" + indented(Attribute(body.substr(failure), "message"));
        } else if (Attribute(tag, "result") == "skipped") {
            ++skipped;
            const auto skip = body.find("<skipped ");
            skips += "SKIPPED " + name + "\n" +
                     indented(skip != std::string::npos ? Attribute(body.substr(skip), "message") : "");
        }
    }
    return failures + skips;
}

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

// The lines of the kit's own log that the summary repeats: what it found on the machine.
std::string KitLines(const std::string& log)
{
    std::string lines;
    std::istringstream text(log);
    for (std::string line; std::getline(text, line);) {
        if (line.rfind("Trusted test roots ", 0) == 0 || line.rfind("Files marked as downloaded: ", 0) == 0) {
            lines += line + "\n";
        }
    }
    return lines;
}

std::string Summary(const fs::path& folder)
{
    std::ostringstream summary;
    Tessaro::OsInfoImpl os;
    summary << "Ravelin Windows test kit report\n"
            << (Tessaro::Testing::RunningUnderWine() ? "Platform: Wine (the simulated Security Center)\n"
                                                     : "Platform: Windows\n")
            << Tessaro::DescribeOperatingSystem(os) << "\n";
    DWORD revision = 0;
    DWORD size = sizeof(revision);
    std::array<wchar_t, 64> release{};
    DWORD releaseSize = sizeof(release);
    const wchar_t* const versionKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    RegGetValueW(HKEY_LOCAL_MACHINE, versionKey, L"UBR", RRF_RT_REG_DWORD, nullptr, &revision, &size);
    RegGetValueW(HKEY_LOCAL_MACHINE, versionKey, L"DisplayVersion", RRF_RT_REG_SZ, nullptr, release.data(),
                 &releaseSize);
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    os.GetVersionInfo(version);
    summary << "Build: " << version.dwBuildNumber << "." << revision
            << (release[0] != L'\0' ? " (" + Tessaro::Utf16ToUtf8(release.data()) + ")" : std::string())
            << "\nAccount: "
            << (Tessaro::Testing::RunningAsSystem()   ? "SYSTEM"
                : Tessaro::Testing::RunningElevated() ? "elevated administrator"
                                                      : "not elevated (the tests that write below HKLM fail)")
            << "\n";

    int run = 0, failed = 0, skipped = 0;
    const std::string xml = ReadText(folder / "unit-tests.xml");
    const std::string results = TestResults(xml, run, failed, skipped);
    summary << (xml.empty()
                    ? std::string("Unit tests: no report (unit-tests.xml is missing: the program did not finish)")
                    : "Unit tests: " + std::to_string(run) + " run, " + std::to_string(failed) + " failed, " +
                          std::to_string(skipped) + " skipped")
            << "\n";
    if (const std::string end = FirstLine(ReadText(folder / "unit-tests-end.txt")); !end.empty()) {
        summary << "Unit test program: " << end << "\n";
    }
    // The runner writes a line a step: "ok <step>: ..." or "MISMATCH <step>: expected ..., seen ...",
    // and at the end whether the settings key was put back.
    const std::string roundTrip = ReadText(folder / "round-trip.txt");
    int steps = 0;
    int mismatched = 0;
    std::string mismatches;
    std::string restored;
    std::istringstream lines(roundTrip);
    for (std::string line; std::getline(lines, line);) {
        line = line.substr(0, line.find('\r'));
        const bool mismatch = line.rfind("MISMATCH ", 0) == 0;
        steps += mismatch || line.rfind("ok ", 0) == 0 ? 1 : 0;
        mismatched += mismatch ? 1 : 0;
        mismatches += mismatch ? "    " + line + "\n" : "";
        restored = line.rfind("Settings put back: ", 0) == 0 ? line : restored;
    }
    summary << (roundTrip.empty() ? std::string("Round trip: not taken (run-tests.cmd /roundtrip takes it)")
                                  : "Round trip: " + std::to_string(steps) + " steps, " +
                                        std::to_string(steps - mismatched) + " as expected (round-trip.txt)")
            << "\n"
            << mismatches << (restored.empty() ? std::string() : restored + "\n")
            << KitLines(ReadText(folder / "kit.txt"))
            << "Whole-process and simulator tests: not in the kit (they need the simulated Security Center and "
               "run under Wine only, in make test)\n\n"
            << results;
    // Windows' own line ends, for any editor it has.
    std::string text;
    for (const char c : summary.str()) {
        text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return text;
}

// CRC-32 as the zip format asks for it (the polynomial 0xEDB88320, reflected).
std::uint32_t Crc32(const std::string& data)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// The zip format's records, little-endian as this machine is: version 1.0 needed, no flags, stored
// (no compression, which every unzip tool and Windows' own Explorer read), dated 1980-01-01 00:00.
#pragma pack(push, 1)
struct LocalHeader {
    std::uint32_t signature = 0x04034B50;
    std::uint16_t version = 10, flags = 0, method = 0, time = 0, date = 0x21;
    std::uint32_t crc = 0, compressedSize = 0, size = 0;
    std::uint16_t nameLength = 0, extraLength = 0;
};
struct DirectoryEntry {
    std::uint32_t signature = 0x02014B50;
    std::uint16_t madeBy = 10, version = 10, flags = 0, method = 0, time = 0, date = 0x21;
    std::uint32_t crc = 0, compressedSize = 0, size = 0;
    std::uint16_t nameLength = 0, extraLength = 0, commentLength = 0, disk = 0, internalAttributes = 0;
    std::uint32_t externalAttributes = 0, offset = 0;
};
struct DirectoryEnd {
    std::uint32_t signature = 0x06054B50;
    std::uint16_t disk = 0, directoryDisk = 0, diskEntries = 0, entries = 0;
    std::uint32_t directorySize = 0, directoryOffset = 0;
    std::uint16_t commentLength = 0;
};
#pragma pack(pop)

template <typename Record>
void Append(std::string& out, const Record& record)
{
    out.append(reinterpret_cast<const char*>(&record), sizeof(record));
}

std::string Zip(const std::vector<std::pair<std::string, std::string>>& files)
{
    std::string archive;
    std::string directory;
    for (const auto& [name, data] : files) {
        LocalHeader header;
        header.crc = Crc32(data);
        header.compressedSize = header.size = static_cast<std::uint32_t>(data.size());
        header.nameLength = static_cast<std::uint16_t>(name.size());
        DirectoryEntry entry;
        entry.crc = header.crc;
        entry.compressedSize = entry.size = header.size;
        entry.nameLength = header.nameLength;
        entry.offset = static_cast<std::uint32_t>(archive.size());
        Append(archive, header);
        archive += name + data;
        Append(directory, entry);
        directory += name;
    }
    DirectoryEnd end;
    end.diskEntries = end.entries = static_cast<std::uint16_t>(files.size());
    end.directorySize = static_cast<std::uint32_t>(directory.size());
    end.directoryOffset = static_cast<std::uint32_t>(archive.size());
    Append(directory, end);
    return archive + directory;
}

int Report(const fs::path& folder, const fs::path& archivePath, bool quiet = false)
{
    {
        std::ofstream summary(folder / "summary.txt", std::ios::binary);
        summary << Summary(folder);
        if (!summary) {
            return Fail("cannot write " + Tessaro::Utf16ToUtf8((folder / "summary.txt").native()), ERROR_WRITE_FAULT);
        }
    }
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files.emplace_back(Tessaro::Utf16ToUtf8(entry.path().filename().native()), ReadText(entry.path()));
        }
    }
    std::ofstream archive(archivePath, std::ios::binary);
    archive << Zip(files);
    if (!archive) {
        return Fail("cannot write " + Tessaro::Utf16ToUtf8(archivePath.native()), ERROR_WRITE_FAULT);
    }
    if (!quiet) {
        std::printf("%s\n", Tessaro::Utf16ToUtf8(archivePath.native()).c_str());
    }
    return 0;
}

constexpr const char* RunUsage = "usage: run-tests.cmd [/roundtrip] [/agent PATH] [/filter PATTERN] [/timeout SECONDS]";

// The kit's run from its own folder (the helper's), whatever that folder is called.
int Run(const std::vector<std::wstring>& arguments)
{
    Kit::RunOptions options;
    for (std::size_t at = 1; at < arguments.size(); ++at) {
        const std::wstring& option = arguments[at];
        const bool hasValue = at + 1 < arguments.size();
        if (_wcsicmp(option.c_str(), L"/roundtrip") == 0) {
            options.roundTrip = true;
        } else if (_wcsicmp(option.c_str(), L"/agent") == 0 && hasValue) {
            options.agent = fs::absolute(arguments[++at]).native();
        } else if (_wcsicmp(option.c_str(), L"/filter") == 0 && hasValue) {
            options.filter = arguments[++at];
        } else if (_wcsicmp(option.c_str(), L"/timeout") == 0 && hasValue) {
            options.timeoutSeconds = static_cast<unsigned>(std::wcstoul(arguments[++at].c_str(), nullptr, 10));
            if (options.timeoutSeconds == 0 || options.timeoutSeconds > 24 * 3600) {
                std::printf("/timeout takes a number of seconds from 1 to 86400. %s\n", RunUsage);
                return 2;
            }
        } else {
            std::printf("Unknown option %s. %s\n", Tessaro::Utf16ToUtf8(option).c_str(), RunUsage);
            return 2;
        }
    }
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    const fs::path kit = fs::path(self).parent_path();
    const fs::path report = kit / L"report";
    std::error_code ignored;
    fs::remove_all(report, ignored);
    fs::create_directories(report);
    Kit::RunKit(kit, report, options);
    std::array<wchar_t, MAX_COMPUTERNAME_LENGTH + 1> computer{};
    DWORD computerSize = static_cast<DWORD>(computer.size());
    GetComputerNameW(computer.data(), &computerSize);
    const fs::path archive = kit / (L"ravelin-report-" + std::wstring(computer.data()) + L".zip");
    if (Report(report, archive, true) != 0) {
        std::printf("The report could not be written.\n");
        return 1;
    }
    std::printf("%s\nThe report to send back: %s\n", ReadText(report / "summary.txt").c_str(),
                Tessaro::Utf16ToUtf8(archive.native()).c_str());
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::vector<std::wstring> arguments(argv + 1, argv + argc);
    try {
        if (!arguments.empty() && arguments[0] == L"run") {
            return Run(arguments);
        }
        if (arguments.size() == 2 && arguments[0] == L"products") {
            return Products(Tessaro::Utf16ToUtf8(arguments[1]));
        }
        if (arguments.size() == 3 && arguments[0] == L"report") {
            return Report(arguments[1], arguments[2]);
        }
    } catch (const std::exception& exception) {
        return Fail(exception.what(), ERROR_INVALID_DATA);
    }
    return Fail("usage: ravelin-kit run [OPTIONS] | ravelin-kit products NAME | ravelin-kit report FOLDER ZIP",
                ERROR_BAD_ARGUMENTS);
}
