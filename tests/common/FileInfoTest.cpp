#include "common/foundation/ConversionException.h"
#include "common/FileInfo.h"
#include "support/LogCapture.h"
#include "support/ScratchFolder.h"
#include "common/foundation/FileSystem.h"
#include "common/foundation/StringConversion.h"
#include "common/foundation/WinHandle.h"
#include "support/ProcessToken.h"
#include "support/HostileInput.h"
#include "support/Platform.h"

#include <gtest/gtest.h>
#include <windows.h>
// These need the declarations of windows.h first.
#include <aclapi.h>
#include <sddl.h>

#include <array>
#include <fstream>
#include <set>
#include <tuple>
#include <vector>

namespace {

using namespace Tessaro::Vantrel::Common::Utilities;

using namespace Tessaro::Testing;
using Tessaro::ConversionException;

std::wstring SystemRoot()
{
    std::array<wchar_t, MAX_PATH> buffer{};
    return std::wstring(buffer.data(), GetWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size())));
}

TEST(FileInfoTest, NormalisesEveryPathFormIntoTheLongPathForm)
{
    struct Case {
        std::wstring input;
        std::wstring expected;
    };
    std::wstring deep;
    for (int level = 0; level < 400; ++level) {
        deep += L"folder123\\";
    }
    const Case cases[] = {
        {L"C:\\Windows\\x", L"\\\\?\\C:\\Windows\\x"},
        {L"C:/Windows/x\n", L"\\\\?\\C:\\Windows\\x"},
        {L" \tC:\\a\\\\b\\\\\\c\r\n", L"\\\\?\\C:\\a\\b\\c"},
        {L"\\\\server\\\\share\\x", L"\\\\?\\UNC\\server\\share\\x"},
        {L"//server/share", L"\\\\?\\UNC\\server\\share"},
        {L"\\Device\\Mup\\server\\share", L"\\\\?\\UNC\\server\\share"},
        {L"\\Device\\Mup", L"\\\\?\\UNC\\"},
        {L"\\??\\C:\\x", L"\\\\?\\C:\\x"},
        {L"\\\\?\\C:\\x", L"\\\\?\\C:\\x"},
        {L"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
        {L"\\SystemRoot\\system32\\x.dll", L"\\\\?\\" + SystemRoot() + L"\\system32\\x.dll"},
        // Windows reads a bare drive as the current folder of that drive: relative, kept as it came.
        {L"C:", L"C:"},
        {L"?:", L"\\\\?\\?:\\"},
        {L"\\\\.\\PhysicalDrive0", L"\\\\.\\PhysicalDrive0"},
        {L"\\\\.\\C:\\x", L"\\\\.\\C:\\x"},
        {L"relative\\file.txt", L"relative\\file.txt"},
        // After the long-path prefix the system takes "." and ".." literally: they are resolved
        // before it, as are a name's trailing dots; prefixed and device forms stay as they are.
        {L"C:\\Vendor\\bin\\..\\.\\fix.exe.", L"\\\\?\\C:\\Vendor\\fix.exe"},
        {L"C:\\..\\x", L"\\\\?\\C:\\x"},
        {L"\\\\server\\share\\a\\..\\b", L"\\\\?\\UNC\\server\\share\\b"},
        {L"\\\\?\\C:\\a\\..\\b", L"\\\\?\\C:\\a\\..\\b"},
        {L"\\\\.\\C:\\a\\..\\b", L"\\\\.\\C:\\a\\..\\b"},
        // Also in a path 4,000 characters long, far beyond MAX_PATH.
        {L"C:\\" + deep + L"a\\..\\b", L"\\\\?\\C:\\" + deep + L"b"},
        {L" \r\n", L""},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(FileInfo::NormalizePath(input), expected) << std::string(input.begin(), input.end());
    }
    // The kernel's "\SystemRoot\" form takes the folder from the environment the parent passed:
    // blanks around it are no part of the path, which would otherwise not be an absolute one.
    const std::wstring windows = SystemRoot();
    ASSERT_TRUE(SetEnvironmentVariableW(L"SystemRoot", (L" \t" + windows).c_str()));
    const std::wstring blanked = FileInfo::NormalizePath(L"\\SystemRoot\\x.dll");
    SetEnvironmentVariableW(L"SystemRoot", windows.c_str());
    EXPECT_EQ(blanked, L"\\\\?\\" + windows + L"\\x.dll");
}

// The device and the volume GUID names of drive C:, where the platform has them, name the drive.
TEST(FileInfoTest, MapsDeviceAndVolumeGuidPathsToTheirDrive)
{
    std::array<wchar_t, MAX_PATH> device{};
    ASSERT_NE(QueryDosDeviceW(L"C:", device.data(), static_cast<DWORD>(device.size())), 0u);
    const std::wstring deviceName(device.data());
    std::array<wchar_t, 64> volume{};
    const bool hasVolume =
        GetVolumeNameForVolumeMountPointW(L"C:\\", volume.data(), static_cast<DWORD>(volume.size())) != FALSE;
    if (deviceName.rfind(L"\\Device\\", 0) != 0 || !hasVolume) {
        GTEST_SKIP() << "drive C: has no \\Device\\ name or no volume GUID path on this platform";
    }
    EXPECT_EQ(FileInfo::NormalizePath(deviceName + L"\\windows\\x"), L"\\\\?\\C:\\windows\\x");
    EXPECT_EQ(FileInfo::NormalizePath(deviceName), L"\\\\?\\C:\\");
    EXPECT_EQ(FileInfo::NormalizePath(deviceName + L"9\\x"), deviceName + L"9\\x")
        << "a longer device name is another device";
    EXPECT_EQ(FileInfo::NormalizePath(std::wstring(volume.data()) + L"windows"), L"\\\\?\\C:\\windows");
    // Also past a drive before it that has no volume (B:, a folder given a letter).
    const ScratchFolder substituted;
    if (DefineDosDeviceW(0, L"B:", substituted.Path().c_str())) {
        const bool listed = (GetLogicalDrives() & 2u) != 0;
        const std::wstring mapped = FileInfo::NormalizePath(std::wstring(volume.data()) + L"windows");
        DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, L"B:", substituted.Path().c_str());
        EXPECT_TRUE(listed);
        EXPECT_EQ(mapped, L"\\\\?\\C:\\windows");
    }
    // Like every device form, only as the platform writes it: another case stays text.
    const std::wstring otherCase = L"\\\\?\\VOLUME" + std::wstring(volume.data()).substr(10) + L"windows";
    EXPECT_EQ(FileInfo::NormalizePath(otherCase), otherCase);
    // So does every drive's device name, up to Z: (Wine's Z: is the host's root);
    // a device that two letters name maps to the first.
    const DWORD drives = GetLogicalDrives();
    std::set<std::wstring> seen;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const wchar_t drive[] = {letter, L':', L'\0'};
        if (((drives >> (letter - L'A')) & 1u) == 0 || QueryDosDeviceW(drive, device.data(), MAX_PATH) == 0 ||
            std::wstring_view(device.data()).rfind(L"\\Device\\", 0) != 0 || !seen.insert(device.data()).second) {
            continue;
        }
        EXPECT_EQ(FileInfo::NormalizePath(std::wstring(device.data()) + L"\\x"),
                  std::wstring(L"\\\\?\\") + drive + L"\\x");
    }
    // And every drive's volume name, past the drives before it whose volume is another.
    std::size_t volumes = 0;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const wchar_t root[] = {letter, L':', L'\\', L'\0'};
        if (((drives >> (letter - L'A')) & 1u) == 0 ||
            !GetVolumeNameForVolumeMountPointW(root, volume.data(), static_cast<DWORD>(volume.size())) ||
            !seen.insert(volume.data()).second) {
            continue;
        }
        ++volumes;
        EXPECT_EQ(FileInfo::NormalizePath(std::wstring(volume.data()) + L"x"), std::wstring(L"\\\\?\\") + root + L"x");
    }
    EXPECT_GT(volumes, 0u);
}

// A path with a variable and forward slashes, in every form the agent hands on.
TEST(FileInfoTest, DerivesEveryFormOfAPath)
{
    const FileInfo info(L"%SystemRoot%/Temp/\u00FC.log");
    EXPECT_EQ(info.NormalizedPath(), L"\\\\?\\" + SystemRoot() + L"\\Temp\\\u00FC.log");
    EXPECT_EQ(info.NativePath(), L"\\??\\" + SystemRoot() + L"\\Temp\\\u00FC.log");
    const std::wstring wideRoot = SystemRoot();
    const std::string root(wideRoot.begin(), wideRoot.end());
    EXPECT_EQ(info.Utf8(), "\\\\?\\" + root + "\\Temp\\\xC3\xBC.log");
    EXPECT_EQ(info.ParentUtf8(), "\\\\?\\" + root + "\\Temp");

    const FileInfo narrow("C:\\Temp\\\xC3\xBC.log");
    EXPECT_EQ(narrow.NormalizedPath(), L"\\\\?\\C:\\Temp\\\u00FC.log");
    EXPECT_EQ(FileInfo(L"C:\\file.txt").ParentUtf8(), "\\\\?\\C:\\");
    EXPECT_TRUE(FileInfo(static_cast<const wchar_t*>(nullptr)).IsEmpty());

    // A file on a local drive whose name is no valid UTF-16 is named by its short name, which is
    // valid and still reaches it. (Wine makes no file of such a name.)
    const ScratchFolder folder;
    const std::wstring broken = (folder.Path() / (std::wstring(L"broken_") + wchar_t(0xDC00) + L"_name.log")).native();
    const Tessaro::WinHandle created(CreateFileW(broken.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    if (created.IsValid()) {
        const FileInfo shortened(broken);
        EXPECT_NE(GetFileAttributesW(Tessaro::Utf8ToUtf16(shortened.Utf8()).c_str()), INVALID_FILE_ATTRIBUTES)
            << shortened.Utf8();
    } else {
        EXPECT_TRUE(RunningUnderWine()) << "Windows takes any name of UTF-16 units";
    }
}

TEST(FileInfoTest, SamePathIgnoresSlashDirectionButNotLetterCase)
{
    EXPECT_TRUE(
        IsSamePath(FileInfo(L"C:/Program Files/Product/av.exe"), FileInfo(L"C:\\Program Files\\Product\\av.exe")));
    EXPECT_TRUE(IsSamePath(FileInfo(L"\\\\?\\C:\\Product\\av.exe"), FileInfo(L"C:\\Product\\av.exe")));
    EXPECT_TRUE(IsSamePath(FileInfo(L"\\Device\\Mup\\srv\\share\\av.exe"), FileInfo(L"\\\\srv\\share\\av.exe")));
    EXPECT_FALSE(IsSamePath(FileInfo(L"C:\\Product\\AV.exe"), FileInfo(L"C:\\Product\\av.exe")));
    EXPECT_FALSE(IsSamePath(FileInfo(L"C:\\Product\\av.exe"), FileInfo(L"C:\\Product\\av2.exe")));
}

// An access list as the system writes it (with its own names for well-known accounts), from the
// descriptor, which it frees.
std::wstring WrittenBack(PSECURITY_DESCRIPTOR descriptor)
{
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                         nullptr);
    std::wstring result = text != nullptr ? text : L"<unconvertible>";
    LocalFree(text);
    LocalFree(descriptor);
    return result;
}

std::wstring DaclText(const std::filesystem::path& path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        return L"<unreadable>";
    }
    return WrittenBack(descriptor);
}

// What an access list grants, as Windows documents it: whether it is protected from inheritance,
// and its entries (type, the flags that say where they apply, rights, account) without order or
// repetition. The system's text of a list is not its meaning: Windows marks a list set on NTFS as
// auto-inherited (PAI), and an elevated administrator's owner entry repeats the administrators'.
struct Grants {
    bool isProtected = false;
    std::set<std::tuple<int, int, std::uint32_t, std::wstring>> entries;
    bool operator==(const Grants&) const = default;
};

Grants GrantsOf(PSECURITY_DESCRIPTOR descriptor)
{
    Grants grants;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    grants.isProtected = (control & SE_DACL_PROTECTED) != 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) || !present || list == nullptr) {
        return grants;
    }
    for (DWORD index = 0; index < list->AceCount; ++index) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(list, index, reinterpret_cast<void**>(&header)) || header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            grants.entries.emplace(header == nullptr ? -1 : header->AceType, 0, 0, L"<not an allowing entry>");
            continue;
        }
        auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        wchar_t* sid = nullptr;
        ConvertSidToStringSidW(&allowed->SidStart, &sid);
        grants.entries.emplace(header->AceType, header->AceFlags & ~INHERITED_ACE, allowed->Mask,
                               sid != nullptr ? sid : L"<no account>");
        LocalFree(sid);
    }
    return grants;
}

Grants FolderGrants(const std::filesystem::path& path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        return {};
    }
    auto grants = GrantsOf(descriptor);
    LocalFree(descriptor);
    return grants;
}

// Each folder's list grants what it was created with: protected, and the three entries alone. Wine
// keeps no access list of its own on files: it derives one from the Unix mode, where a folder
// without the restricted list grants Everyone (WD) read access.
TEST(FileInfoTest, CreatesEachMissingFolderWithTheProtectedAccessList)
{
    const ScratchFolder folder;
    const auto deepest = folder.Path() / L"one" / L"two" / L"three";
    ASSERT_EQ(FileInfo::CreateDirectoriesWithRestrictedPermissions(deepest), 0u);

    const std::wstring plain = DaclText(folder.Path());
    if (RunningUnderWine()) {
        ASSERT_NE(plain.find(L";;;WD)"), std::wstring::npos) << "a folder created without the list is open to Everyone";
    }
    PSECURITY_DESCRIPTOR asCreated = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(FileInfo::RestrictedFolderAccessList().c_str(),
                                                                     SDDL_REVISION_1, &asCreated, nullptr));
    const Grants created = GrantsOf(asCreated);
    LocalFree(asCreated);
    for (const auto& made : {folder.Path() / L"one", folder.Path() / L"one" / L"two", deepest}) {
        EXPECT_TRUE(std::filesystem::is_directory(made));
        const std::wstring dacl = DaclText(made);
        EXPECT_EQ(dacl.find(L";;;WD)"), std::wstring::npos) << std::string(dacl.begin(), dacl.end());
        EXPECT_NE(dacl.find(L"(A;OICI;FA;;;SY)"), std::wstring::npos) << std::string(dacl.begin(), dacl.end());
        if (!RunningUnderWine()) {
            EXPECT_TRUE(FolderGrants(made) == created) << std::string(dacl.begin(), dacl.end());
        }
    }
    EXPECT_EQ(DaclText(folder.Path()), plain) << "an existing folder keeps its list";
    // What Wine cannot read back, the list the folders are created with says: protected, and the
    // three entries alone.
    EXPECT_EQ(FileInfo::RestrictedFolderAccessList(),
              L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + Tessaro::Testing::TokenSidText(TokenOwner) + L")");
    EXPECT_EQ(FileInfo::CreateDirectoriesWithRestrictedPermissions(deepest), 0u);
    EXPECT_EQ(FileInfo::CreateDirectoriesWithRestrictedPermissions({}),
              static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
}

// SystemTemp is preferred and made again, for the system and administrators alone, when it is
// missing; a file holding its name is left as it is and Temp serves instead; with neither, 267.
TEST(FileInfoTest, TempFolderPrefersSystemTempThenTempAndFailsWith267WhenNeitherCanBeHad)
{
    const ScratchFolder windows;
    const LogCapture capture;
    const auto result = FileInfo::GetTempFolderIn(windows.Path());
    ASSERT_TRUE(result.Succeeded()) << result.Message();
    EXPECT_TRUE(IsSamePath(result.Value(), FileInfo((windows.Path() / L"SystemTemp").native())));
    EXPECT_TRUE(std::filesystem::is_directory(windows.Path() / L"SystemTemp"));
    // Made with the protected list (Wine shows a folder made without it open to Everyone).
    EXPECT_EQ(DaclText(windows.Path() / L"SystemTemp").find(L";;;WD)"), std::wstring::npos);
    ASSERT_EQ(capture.Messages().size(), 1u);
    EXPECT_EQ(capture.Messages()[0].rfind("Recreate temp folder as it was unable to find it: ", 0), 0u);
    EXPECT_TRUE(FileInfo::GetTempFolderIn(windows.Path()).Succeeded());
    EXPECT_EQ(capture.Messages().size(), 1u) << "present now: accepted silently";

    std::filesystem::remove(windows.Path() / L"SystemTemp");
    std::ofstream(windows.Path() / L"SystemTemp") << "not a folder";
    const auto fallback = FileInfo::GetTempFolderIn(windows.Path());
    ASSERT_TRUE(fallback.Succeeded());
    ASSERT_EQ(capture.Messages().size(), 3u) << "Temp was made";
    EXPECT_EQ(capture.Messages()[1].rfind("Temp folder is taken by an entry that is not a folder: ", 0), 0u)
        << capture.Messages()[1];
    EXPECT_TRUE(IsSamePath(fallback.Value(), FileInfo((windows.Path() / L"Temp").native())));

    std::filesystem::remove(windows.Path() / L"Temp");
    std::ofstream(windows.Path() / L"Temp") << "not a folder";
    const auto none = FileInfo::GetTempFolderIn(windows.Path());
    EXPECT_EQ(none.ErrorCode(), static_cast<std::uint32_t>(ERROR_DIRECTORY));
    EXPECT_TRUE(none.Value().IsEmpty());
    // The system's own is the Windows folder's.
    const auto system = FileInfo::GetTempFolder();
    ASSERT_TRUE(system.Succeeded()) << system.Message();
    EXPECT_TRUE(IsSamePath(system.Value(), FileInfo(SystemRoot() + L"\\SystemTemp"))) << system.Value().Utf8();
    // Nor where neither can be made: here a file holds the Windows folder's name.
    EXPECT_EQ(FileInfo::GetTempFolderIn(windows.Path() / L"Temp").ErrorCode(),
              static_cast<std::uint32_t>(ERROR_DIRECTORY));
}

// Paths in every form that other components report. Normalising is idempotent, the parent of a
// path is a shorter leading part of it (so climbing ends), and a file's other forms agree with it
// (or raise the error they name).
TEST(FileInfoTest, PathsNormaliseOnceAndClimbToAnEnd)
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

        // The forms the file's name is given in agree with each other.
        try {
            const FileInfo file(text);
            if (file.NormalizedPath().rfind(L"\\\\?\\", 0) == 0) {
                EXPECT_EQ(file.NativePath(), L"\\??\\" + file.NormalizedPath().substr(4));
            }
            EXPECT_EQ(file.Utf8().rfind(file.ParentUtf8(), 0), 0u) << file.Utf8();
        } catch (const ConversionException&) {
            // A name that is not UTF-16 and has no short form: specified to raise.
        }
    });
}

}  // namespace
