#include "common/HeldProgramFile.h"
#include "support/Platform.h"
#include "support/ProcessToken.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>
#include <windows.h>
// aclapi.h and winioctl.h need the declarations of windows.h first.
#include <aclapi.h>
#include <winioctl.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Tessaro::RunAccount;
using Tessaro::Testing::ScratchFolder;
using Tessaro::Testing::SidBytes;
using Tessaro::Testing::WriteText;
using Tessaro::Vantrel::Common::Utilities::FileInfo;
using Tessaro::Vantrel::Common::Utilities::HeldProgramFile;
using Tessaro::Vantrel::Common::Utilities::IsSameFile;
using Tessaro::Vantrel::Common::Utilities::ReadFileIdentity;
using Refusal = HeldProgramFile::Refusal;

bool IsOwnedByAdministrativeAccount(const std::filesystem::path& path)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD code = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                             nullptr, nullptr, &descriptor);
    const bool administrative = code == ERROR_SUCCESS && Tessaro::IsAdministrativeAccount(owner);
    LocalFree(descriptor);
    return administrative;
}

// While held, nobody may write, rename or delete the program, and the system may still start it;
// once let go, the file is everybody's again. Two names of one file have one identity.
TEST(HeldProgramFileTest, HeldProgramRefusesWritersAndDeletersUntilLetGo)
{
    const ScratchFolder folder;
    const auto program = folder.Path() / "tool.exe";
    WriteText(program, "MZ");
    {
        auto held = HeldProgramFile::Open(FileInfo(program.native()), RunAccount::Current());
        ASSERT_EQ(held.refusal, Refusal::None) << held.what << " " << held.error;
        const HANDLE writer = CreateFileW(program.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(MoveFileW(program.c_str(), (folder.Path() / "other.exe").c_str()));
        EXPECT_FALSE(DeleteFileW(program.c_str()));
        const HANDLE reader = CreateFileW(program.c_str(), GENERIC_READ | GENERIC_EXECUTE,
                                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "the system opens a program this way to start it";
        CloseHandle(reader);
        EXPECT_EQ(held.held->Identity(), *ReadFileIdentity(FileInfo(program.native())));
        // The identity names the volume too: file numbers repeat from one volume to the next.
        DWORD serial = 0;
        ASSERT_TRUE(GetVolumeInformationW((program.root_name().native() + L"\\").c_str(), nullptr, 0, &serial, nullptr,
                                          nullptr, nullptr, 0));
        EXPECT_EQ(static_cast<DWORD>(held.held->Identity().volume), serial) << "the low part of a 64-bit serial";
    }
    const auto secondName = folder.Path() / "second.exe";
    ASSERT_TRUE(CreateHardLinkW(secondName.c_str(), program.c_str(), nullptr));
    EXPECT_TRUE(IsSameFile(FileInfo(program.native()), FileInfo(secondName.native())));
    WriteText(folder.Path() / "third.exe", "MZ");
    EXPECT_FALSE(IsSameFile(FileInfo(program.native()), FileInfo((folder.Path() / "third.exe").native())));
    EXPECT_FALSE(IsSameFile(FileInfo::FromUntrustedText(program.native()), FileInfo(program.native())))
        << "text is no file";
    EXPECT_FALSE(FileInfo::FromUntrustedText(program.native()).Exists()) << "nor does it exist";
    EXPECT_TRUE(DeleteFileW(secondName.c_str())) << "let go";
}

// A folder where the program should be, and a missing one, are refused by what the handle says;
// so is a program that somebody the run does not trust owns.
TEST(HeldProgramFileTest, ProgramThatIsNoFileOrThatOthersOwnIsRefused)
{
    const ScratchFolder folder;
    std::filesystem::create_directories(folder.Path() / "folder.exe");
    const auto notAFile =
        HeldProgramFile::Open(FileInfo((folder.Path() / "folder.exe").native()), RunAccount::Current());
    // Opened as a file, a folder refuses access, as the system's start of it would.
    EXPECT_EQ(notAFile.refusal, Refusal::NotOpened);
    EXPECT_EQ(notAFile.error, static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(notAFile.held, nullptr);
    const auto missing =
        HeldProgramFile::Open(FileInfo((folder.Path() / "missing.exe").native()), RunAccount::Current());
    EXPECT_EQ(missing.refusal, Refusal::NotOpened);
    EXPECT_EQ(missing.error, static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    const auto missingFolder =
        HeldProgramFile::Open(FileInfo((folder.Path() / "missing" / "tool.exe").native()), RunAccount::Current());
    EXPECT_EQ(missingFolder.refusal, Refusal::NotOpened);
    EXPECT_EQ(missingFolder.error, static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    const auto checkMissing = HeldProgramFile::CheckFolder(
        FileInfo((folder.Path() / "missing").native()).SystemCallPath(), 0, RunAccount::Current());
    EXPECT_EQ(checkMissing.refusal, Refusal::NotOpened);

    // The path asked for must be the file's own: a short name leads to it by another name.
    const auto longName = folder.Path() / "long name tool.exe";
    WriteText(longName, "MZ");
    std::vector<wchar_t> shortName(MAX_PATH);
    const DWORD length = GetShortPathNameW(longName.c_str(), shortName.data(), MAX_PATH);
    if (length > 0 && length < MAX_PATH && std::wstring(shortName.data()) != longName.native()) {
        const auto byShortName = HeldProgramFile::Open(FileInfo(shortName.data()), RunAccount::Current());
        EXPECT_EQ(byShortName.refusal, Refusal::NotItself);
        EXPECT_NE(byShortName.what.find("(the file's own path is "), std::string::npos) << byShortName.what;
    }

    // A symbolic link where the program should be is refused as itself, not followed (where the
    // test may make one). Wine 8 opens no link as itself: it refuses the open (2).
    const auto linked = folder.Path() / "linked.exe";
    if (CreateSymbolicLinkW(linked.c_str(), longName.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        const auto link = HeldProgramFile::Open(FileInfo(linked.native()), RunAccount::Current());
        EXPECT_NE(link.refusal, Refusal::None);
        if (!Tessaro::Testing::RunningUnderWine()) {
            EXPECT_EQ(link.refusal, Refusal::NotItself) << link.what;
            EXPECT_EQ(link.error, 0u);
        }
    }

    // A program that everybody may change, in a folder that everybody may fill, is refused.
    const auto program = folder.Path() / "tool.exe";
    WriteText(program, "MZ");
    const std::wstring own = L"(A;OICI;FA;;;SY)(A;OICI;FA;;;" + Tessaro::Testing::TokenSidText(TokenUser) + L")";
    const auto everybodys = folder.Path() / "everybodys.exe";
    WriteText(everybodys, "MZ");
    Tessaro::Testing::SetAccessList(everybodys, L"D:" + own + L"(A;;0x1301bf;;;WD)");
    const auto changeable = HeldProgramFile::Open(FileInfo(everybodys.native()), RunAccount::Current());
    EXPECT_EQ(changeable.refusal, Refusal::WritableByOthers);
    EXPECT_NE(changeable.what.find("lets others than its owner and the administrators change it"), std::string::npos)
        << changeable.what;
    const auto shared = folder.Path() / "shared";
    std::filesystem::create_directories(shared);
    WriteText(shared / "tool.exe", "MZ");
    Tessaro::Testing::SetAccessList(shared, L"D:" + own + L"(A;;0x1301bf;;;WD)");
    EXPECT_EQ(HeldProgramFile::Open(FileInfo((shared / "tool.exe").native()), RunAccount::Current()).refusal,
              Refusal::WritableByOthers);

    if (IsOwnedByAdministrativeAccount(folder.Path())) {
        GTEST_SKIP() << "the scratch folder belongs to the administrators here: nobody the test can name is "
                        "untrusted with it (the access list test shows the decision)";
    }
    // A SYSTEM run trusts the administrators and itself, not the account that made the scratch folder.
    const RunAccount system(SidBytes(L"S-1-5-18"), SidBytes(L"S-1-5-18"), false);
    const auto foreign = HeldProgramFile::Open(FileInfo(program.native()), system);
    EXPECT_EQ(foreign.refusal, Refusal::WritableByOthers);
    EXPECT_NE(foreign.what.find(" is owned by S-1-5-"), std::string::npos) << foreign.what;
}

}  // namespace

namespace {

// Makes `link` a junction (a mount point) to the folder `target`, as any user may; false where the
// platform cannot.
bool MakeJunction(const std::filesystem::path& link, const std::filesystem::path& target)
{
    if (!CreateDirectoryW(link.c_str(), nullptr)) {
        return false;
    }
    const std::wstring substitute = L"\\??\\" + target.native();
    const auto nameBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    // REPARSE_DATA_BUFFER for a mount point: tag, data length, reserved, then the substitute and
    // print names' offsets and lengths, and the names themselves, each ended by a null.
    std::vector<std::uint8_t> buffer(8 + 8 + nameBytes + 2 + 2);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    const auto dataLength = static_cast<WORD>(buffer.size() - 8);
    const WORD names[4] = {0, nameBytes, static_cast<WORD>(nameBytes + 2), 0};
    std::memcpy(buffer.data(), &tag, sizeof(tag));
    std::memcpy(buffer.data() + 4, &dataLength, sizeof(dataLength));
    std::memcpy(buffer.data() + 8, names, sizeof(names));
    std::memcpy(buffer.data() + 16, substitute.data(), nameBytes);
    const HANDLE folder = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD returned = 0;
    const bool made = folder != INVALID_HANDLE_VALUE &&
                      DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      nullptr, 0, &returned, nullptr);
    CloseHandle(folder);
    return made;
}

}  // namespace

// What Wine cannot show: a junction on the way to the tool (Wine 8 makes none), and the folder
// rights that differ between the tool's own folder and the folders above it (Wine derives access
// lists from Unix modes, which cannot let users add files without letting them remove some).
TEST(HeldProgramFileTest, JunctionOnTheWayAndAFolderOthersMayFillAreRefusedOnWindows)
{
    if (Tessaro::Testing::RunningUnderWine()) {
        GTEST_SKIP() << "Wine makes no junctions and keeps no access list a Unix mode cannot express";
    }
    const ScratchFolder folder;
    std::filesystem::create_directories(folder.Path() / "real");
    WriteText(folder.Path() / "real" / "tool.exe", "MZ");
    ASSERT_TRUE(MakeJunction(folder.Path() / "link", folder.Path() / "real"));
    const auto throughJunction =
        HeldProgramFile::Open(FileInfo((folder.Path() / "link" / "tool.exe").native()), RunAccount::Current());
    EXPECT_EQ(throughJunction.refusal, Refusal::NotItself) << throughJunction.what;

    // Ordinary users may add files to "fill" (FILE_ADD_FILE) and nothing more.
    const auto fill = folder.Path() / "fill";
    std::filesystem::create_directories(fill / "inner");
    WriteText(fill / "tool.exe", "MZ");
    WriteText(fill / "inner" / "tool.exe", "MZ");
    const std::wstring own = L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" +
                             Tessaro::Testing::TokenSidText(TokenUser) + L")(A;OICI;FA;;;" +
                             Tessaro::Testing::TokenSidText(TokenOwner) + L")";
    Tessaro::Testing::SetAccessList(fill, L"D:P" + own + L"(A;;0x100002;;;BU)");
    EXPECT_EQ(HeldProgramFile::Open(FileInfo((fill / "tool.exe").native()), RunAccount::Current()).refusal,
              Refusal::WritableByOthers)
        << "a neighbour could be planted beside the tool";
    const auto below = HeldProgramFile::Open(FileInfo((fill / "inner" / "tool.exe").native()), RunAccount::Current());
    EXPECT_EQ(below.refusal, Refusal::None)
        << "adding a file above the tool's own folder changes no path: " << below.what;
}
