#include "common/OsInfoImpl.h"
#include "support/ChildProcess.h"
#include "support/Platform.h"

#include <gtest/gtest.h>

#include <array>
#include <cwchar>
#include <filesystem>
#include <system_error>

namespace {

using Tessaro::Architecture;
using Tessaro::DescribeOperatingSystem;
using Tessaro::OsInfoImpl;

// Replaces single answers; everything derived from them goes through the real implementation.
class FakeOsInfo : public OsInfoImpl {
public:
    DWORD major = 10;
    DWORD minor = 0;
    DWORD build = 19045;
    bool workstationType = true;
    bool rdsh = false;
    Architecture system = Architecture::X64;
    Architecture process = Architecture::X64;

    void GetVersionInfo(OSVERSIONINFOEXW& record) override
    {
        record = {};
        record.dwOSVersionInfoSize = sizeof(record);
        record.dwMajorVersion = major;
        record.dwBuildNumber = build;
    }
    bool IsVersionOrGreater(std::uint16_t wantedMajor, std::uint16_t wantedMinor, std::uint16_t) override
    {
        return major > wantedMajor || (major == wantedMajor && minor >= wantedMinor);
    }
    bool IsServerRdsh() override { return rdsh; }
    Architecture GetOperatingSystemArchitecture() override { return system; }
    Architecture GetProcessArchitecture() override { return process; }

protected:
    bool HasWorkstationProductType() override { return workstationType; }
};

TEST(OsInfoTest, BuildTestsFollowTheVersionRecord)
{
    FakeOsInfo os;
    const std::pair<DWORD, bool (FakeOsInfo::*)()> tests[] = {
        {16241, &FakeOsInfo::IsBuild16241OrGreater},
        {16353, &FakeOsInfo::IsBuild16353OrGreater},
        {18317, &FakeOsInfo::IsBuild18317OrGreater},
        {26100, &FakeOsInfo::IsBuild26100OrGreater},
    };
    for (const auto& [build, test] : tests) {
        os.build = build - 1;
        EXPECT_FALSE((os.*test)()) << build;
        os.build = build;
        EXPECT_TRUE((os.*test)()) << build;
    }

    os.major = 11;
    os.build = 100;
    EXPECT_TRUE(os.IsBuild16241OrGreater()) << "a major version above 10 passes whatever the build";
    EXPECT_FALSE(os.IsBuild26100OrGreater()) << "except for 26100, which always needs the build";
    os.build = 26100;
    EXPECT_TRUE(os.IsBuild26100OrGreater());

    os.major = 6;
    os.build = 99999;
    EXPECT_FALSE(os.IsBuild16241OrGreater()) << "not Windows 10 at all";
}

// Each release's answers, "or greater", exactly and on a server, for 7, 8, 8.1 and 10, at the first
// version of each and the one before 7.
TEST(OsInfoTest, ReleaseAnswersFollowTheVersion)
{
    struct Case {
        DWORD major;
        DWORD minor;
        std::array<bool, 4> orGreater;
        std::array<bool, 4> exactly;
    };
    const Case cases[] = {
        {6, 0, {false, false, false, false}, {false, false, false, false}},
        {6, 1, {true, false, false, false}, {true, false, false, false}},
        {6, 2, {true, true, false, false}, {false, true, false, false}},
        {6, 3, {true, true, true, false}, {false, false, true, false}},
        {10, 0, {true, true, true, true}, {false, false, false, true}},
    };
    FakeOsInfo os;
    for (const auto& [major, minor, orGreater, exactly] : cases) {
        os.major = major;
        os.minor = minor;
        EXPECT_EQ((std::array<bool, 4>{os.IsWindows7OrGreater(), os.IsWindows8OrGreater(),
                                       os.IsWindows8Point1OrGreater(), os.IsWindows10OrGreater()}),
                  orGreater)
            << major << "." << minor;
        EXPECT_EQ((std::array<bool, 4>{os.IsWindows7(), os.IsWindows8(), os.IsWindows8Point1(), os.IsWindows10()}),
                  exactly)
            << major << "." << minor;
        // The server answers are the exact ones on a server and never true on a workstation.
        for (const bool server : {false, true}) {
            os.workstationType = !server;
            EXPECT_EQ((std::array<bool, 4>{os.IsServerOnWindows7(), os.IsServerOnWindows8(),
                                           os.IsServerOnWindows8Point1(), os.IsServerOnWindows10OrGreater()}),
                      (server ? exactly : std::array<bool, 4>{}))
                << major << "." << minor << (server ? " server" : " workstation");
        }
    }
}

TEST(OsInfoTest, MultiSessionServerCountsAsWorkstation)
{
    FakeOsInfo os;
    os.workstationType = false;
    EXPECT_TRUE(os.IsServer());
    EXPECT_FALSE(os.IsWorkstation());
    EXPECT_TRUE(os.IsServerOnWindows10OrGreater());
    os.rdsh = true;
    EXPECT_FALSE(os.IsServer());
    EXPECT_TRUE(os.IsWorkstation());
    EXPECT_EQ(DescribeOperatingSystem(os), "Operating system: 10.0.19045 - Workstation - 64bit");
    EXPECT_EQ(os.GetVersionString(), "10.0.19045");
}

TEST(OsInfoTest, ArchitectureOfTheSystemNotOfTheProcessDecidesBitness)
{
    FakeOsInfo os;
    os.system = Architecture::X64;
    os.process = Architecture::X86;
    EXPECT_TRUE(os.Is64BitOperatingSystem());
    EXPECT_FALSE(os.Is32BitOperatingSystem());
    os.system = Architecture::Arm64;
    EXPECT_TRUE(os.Is64BitOperatingSystem());
    os.system = Architecture::X86;
    os.workstationType = false;
    EXPECT_EQ(DescribeOperatingSystem(os), "Operating system: 10.0.19045 - Server - 32bit");
}

// The description of the real system is checked in the agent's banner.
TEST(OsInfoTest, SystemFoldersOfTheTestPrefix)
{
    OsInfoImpl os;
    const std::filesystem::path system = os.GetSystemDirectoryPath();
    EXPECT_TRUE(std::filesystem::is_directory(system));
    EXPECT_EQ(system.native().substr(system.native().size() - 9), L"\\system32");
    // The 32-bit system folder of a 64-bit Windows: SysWOW64 beside system32.
    const std::filesystem::path wow64 = os.GetSystemWow64DirectoryPath();
    EXPECT_TRUE(std::filesystem::is_directory(wow64));
    EXPECT_EQ(_wcsicmp(wow64.filename().c_str(), L"SysWOW64"), 0) << wow64;
    EXPECT_EQ(wow64.parent_path(), system.parent_path());
    // The machine's application data folder, which Windows also gives every process as %ProgramData%.
    wchar_t programData[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
    const std::u8string expected = std::filesystem::path(programData).u8string();
    EXPECT_EQ(os.GetCommonAppDataPath(), std::string(expected.begin(), expected.end()));
}

// A multi-session Windows is told by the edition the registry names, which only a test prefix lets
// a test write: the name compares whole, a long one is read in full, and a missing one is an error,
// not a guess.
TEST(OsInfoTest, ProcessIsA64BitProgram)
{
    EXPECT_EQ(OsInfoImpl().GetProcessArchitecture(), Architecture::X64);
}

TEST(OsInfoTest, MultiSessionIsToldByTheEditionInTheRegistry)
{
    if (!Tessaro::Testing::RunningUnderWine()) {
        GTEST_SKIP() << "it writes the system's edition";
    }
    const auto setEdition = [](const std::wstring& edition) {
        return RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"EditionID",
                               REG_SZ, edition.c_str(), static_cast<DWORD>((edition.size() + 1) * sizeof(wchar_t)));
    };
    OsInfoImpl os;
    const std::wstring longName(100, L'S');
    const std::pair<const wchar_t*, bool> editions[] = {
        {L"ServerRdsh", true},
        {L"ServerRdshCore", false},
        {L"Server", false},
        {longName.c_str(), false},
    };
    for (const auto& [edition, multiSession] : editions) {
        ASSERT_EQ(setEdition(edition), ERROR_SUCCESS);
        EXPECT_EQ(os.IsServerRdsh(), multiSession) << std::wcslen(edition);
    }
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"EditionID"),
              ERROR_SUCCESS);
    try {
        os.IsServerRdsh();
        ADD_FAILURE() << "a missing edition was answered";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ERROR_FILE_NOT_FOUND);
    }
}

TEST(OsInfoTest, FileVersionComesFromTheVersionResource)
{
    OsInfoImpl os;
    const std::filesystem::path folder(Tessaro::Testing::TestProgramFolder());
    // Every program of the build carries the project's one version: the agent's is this program's.
    const auto versionOf = [&os](const std::filesystem::path& file) {
        std::uint32_t major = 0, minor = 9, build = 9, revision = 9;
        os.GetFileVersion(file.string(), major, minor, build, revision);
        return std::vector<std::uint32_t>({major, minor, build, revision});
    };
    const auto own = versionOf(folder / "unit_tests.exe");
    EXPECT_NE(own, std::vector<std::uint32_t>({0, 9, 9, 9})) << "the version was read";
    EXPECT_EQ(versionOf(folder / "ravelin.exe"), own);
    std::uint32_t major = 0, minor = 0, build = 0, revision = 0;

    try {
        // The test library is the one program of the build without a version resource.
        os.GetFileVersion((folder / "signedprobe.dll").string(), major, minor, build, revision);
        ADD_FAILURE() << "a file without version resource was accepted";
    } catch (const std::system_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("GetFileVersionInfo failed", 0), 0u);
        EXPECT_EQ(error.code().value(), 1812) << "the file has no resources at all";
    }
}

}  // namespace
