#include "common/foundation/TrustedWriters.h"
#include "support/ProcessToken.h"

#include <gtest/gtest.h>
#include <windows.h>
// sddl.h needs the declarations of windows.h first.
#include <sddl.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Tessaro::GrantsFileRightsToUntrusted;
using Tessaro::IsAdministrativeAccount;
using Tessaro::RunAccount;
using Tessaro::Testing::SidBytes;
namespace FileRights = Tessaro::FileRights;

constexpr const wchar_t* TrustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr const wchar_t* SomeUser = L"S-1-5-21-1111-2222-3333-1001";
constexpr const wchar_t* OtherUser = L"S-1-5-21-1111-2222-3333-1002";

// An access list written as the system's own security descriptor text does.
class AccessList {
public:
    explicit AccessList(const std::wstring& text)
    {
        EXPECT_TRUE(
            ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor_, nullptr))
            << "unreadable text";
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        if (descriptor_ != nullptr) {
            GetSecurityDescriptorDacl(descriptor_, &present, &list_, &defaulted);
        }
    }
    ~AccessList() { LocalFree(descriptor_); }
    AccessList(const AccessList&) = delete;
    AccessList& operator=(const AccessList&) = delete;

    const ACL* List() const { return list_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    PACL list_ = nullptr;
};

// The accounts that administer the machine and the run's own account are trusted; any other is
// not, whoever the run is. A run is above ordinary users when it is elevated or LocalSystem.
TEST(TrustedWritersTest, TheAdministratorsAndTheRunsOwnAccountAreTrusted)
{
    for (const auto* administrative : {L"S-1-5-18", L"S-1-5-32-544", TrustedInstaller}) {
        EXPECT_TRUE(IsAdministrativeAccount(SidBytes(administrative).data())) << administrative;
    }
    for (const auto* other : {L"S-1-5-32-545", L"S-1-1-0", L"S-1-5-11", L"S-1-3-0", SomeUser}) {
        EXPECT_FALSE(IsAdministrativeAccount(SidBytes(other).data())) << other;
    }
    EXPECT_FALSE(IsAdministrativeAccount(nullptr));

    const RunAccount user(SidBytes(SomeUser), SidBytes(L"S-1-5-32-545"), false);
    EXPECT_FALSE(user.IsAboveOrdinaryUsers());
    EXPECT_TRUE(user.IsTrustedWriter(SidBytes(SomeUser).data())) << "its own user";
    EXPECT_TRUE(user.IsTrustedWriter(SidBytes(L"S-1-5-32-545").data())) << "its own default owner";
    EXPECT_TRUE(user.IsTrustedWriter(SidBytes(L"S-1-5-18").data()));
    EXPECT_FALSE(user.IsTrustedWriter(SidBytes(OtherUser).data()));
    EXPECT_FALSE(user.IsTrustedWriter(nullptr));

    EXPECT_TRUE(RunAccount(SidBytes(SomeUser), SidBytes(SomeUser), true).IsAboveOrdinaryUsers()) << "elevated";
    const RunAccount system(SidBytes(L"S-1-5-18"), SidBytes(L"S-1-5-18"), false);
    EXPECT_TRUE(system.IsAboveOrdinaryUsers()) << "LocalSystem, whatever its token says of elevation";
    EXPECT_FALSE(system.IsTrustedWriter(SidBytes(SomeUser).data()));

    // This process's own files belong to its token's user or default owner.
    const RunAccount& current = RunAccount::Current();
    const std::wstring owner = Tessaro::Testing::TokenSidText(TokenOwner);
    EXPECT_TRUE(current.IsTrustedWriter(SidBytes(owner.c_str()).data()));
    EXPECT_FALSE(current.IsTrustedWriter(SidBytes(OtherUser).data()));
}

// What each entry of an access list lets its account do to the object itself decides; entries that
// only pass on to what the folder will hold, and denials, do not. Lists modelled on Windows' own:
// the system drive's root lets authenticated users add folders (not remove or rename), the program
// folder lets ordinary users only read.
TEST(TrustedWritersTest, AccessListGrantsTheRightsOfItsOwnEntriesOnly)
{
    const RunAccount account(SidBytes(SomeUser), SidBytes(SomeUser), true);
    const auto grants = [&](const std::wstring& text, std::uint32_t rights) {
        const AccessList list(text);
        return GrantsFileRightsToUntrusted(list.List(), rights, account);
    };
    constexpr std::uint32_t ownFolder = FileRights::AddEntries | FileRights::RemoveEntries | FileRights::ReplaceObject;
    constexpr std::uint32_t folderAbove = FileRights::RemoveEntries | FileRights::ReplaceObject;
    constexpr std::uint32_t file = FileRights::WriteContent | FileRights::ReplaceObject;

    const std::wstring root =
        L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
        L"(A;;0x4;;;AU)(A;OICIIO;0x1301bf;;;AU)";
    EXPECT_FALSE(grants(root, folderAbove)) << "adding a folder at the root changes no path below it";
    EXPECT_TRUE(grants(root, ownFolder)) << "a tool at the root could get a neighbour";
    const std::wstring programs =
        L"D:P(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
        L"(A;;0x1301bf;;;SY)(A;;0x1301bf;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)";
    EXPECT_FALSE(grants(programs, ownFolder));
    EXPECT_FALSE(grants(L"D:(A;;FA;;;S-1-5-21-1111-2222-3333-1001)", file)) << "the run's own account";

    EXPECT_TRUE(grants(L"D:(A;;0x1301bf;;;BU)", file)) << "ordinary users may modify it";
    EXPECT_TRUE(grants(L"D:(A;;0x10000;;;WD)", file)) << "delete, so rename";
    EXPECT_TRUE(grants(L"D:(A;;WD;;;BU)", folderAbove)) << "its access list";
    EXPECT_TRUE(grants(L"D:(A;;0x40;;;BU)", folderAbove)) << "remove what it holds";
    EXPECT_TRUE(grants(L"D:(A;;GA;;;WD)", folderAbove)) << "all rights, named generically";
    EXPECT_TRUE(grants(L"D:(A;;GW;;;BU)", file)) << "write, named generically";
    EXPECT_FALSE(grants(L"D:(A;;GW;;;BU)", folderAbove)) << "generic write is no delete";
    EXPECT_FALSE(grants(L"D:(A;;0x1200a9;;;WD)", file)) << "read and run";
    EXPECT_FALSE(grants(L"D:(D;;FA;;;WD)(A;;FA;;;SY)", file)) << "a denial grants nothing";
    // An object entry (what directory objects use) names its account after a GUID: it is not read,
    // so it is not trusted either.
    std::vector<std::uint8_t> objectList(256);
    auto users = SidBytes(L"S-1-5-32-545");
    const GUID objectType{0xbf967aba, 0x0de6, 0x11d0, {0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2}};
    ASSERT_TRUE(InitializeAcl(reinterpret_cast<PACL>(objectList.data()), static_cast<DWORD>(objectList.size()),
                              ACL_REVISION_DS));
    // Laid out by hand: header, mask, flags (object type present), the type's GUID, the SID.
    std::vector<std::uint8_t> entry(sizeof(ACE_HEADER) + 2 * sizeof(DWORD) + sizeof(GUID));
    const DWORD mask = WRITE_DAC;
    const DWORD flags = ACE_OBJECT_TYPE_PRESENT;
    std::memcpy(entry.data() + sizeof(ACE_HEADER), &mask, sizeof(mask));
    std::memcpy(entry.data() + sizeof(ACE_HEADER) + sizeof(mask), &flags, sizeof(flags));
    std::memcpy(entry.data() + sizeof(ACE_HEADER) + 2 * sizeof(DWORD), &objectType, sizeof(objectType));
    entry.insert(entry.end(), users.begin(), users.end());
    ACE_HEADER header{ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, static_cast<WORD>(entry.size())};
    std::memcpy(entry.data(), &header, sizeof(header));
    ASSERT_TRUE(AddAce(reinterpret_cast<PACL>(objectList.data()), ACL_REVISION_DS, MAXDWORD, entry.data(),
                       static_cast<DWORD>(entry.size())));
    EXPECT_TRUE(GrantsFileRightsToUntrusted(reinterpret_cast<const ACL*>(objectList.data()), folderAbove, account));
    EXPECT_FALSE(
        GrantsFileRightsToUntrusted(reinterpret_cast<const ACL*>(objectList.data()), FileRights::WriteContent, account))
        << "an entry that grants none of the rights asked about";
    // Read as a plain entry, this one's flags and type would pass for LocalSystem's SID.
    const std::uint8_t systemLookAlike[] = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
                                            0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::vector<std::uint8_t> lookAlike(entry);
    std::memcpy(lookAlike.data() + sizeof(ACE_HEADER) + sizeof(DWORD), systemLookAlike, sizeof(systemLookAlike));
    std::vector<std::uint8_t> lookAlikeList(256);
    ASSERT_TRUE(InitializeAcl(reinterpret_cast<PACL>(lookAlikeList.data()), static_cast<DWORD>(lookAlikeList.size()),
                              ACL_REVISION_DS));
    ASSERT_TRUE(AddAce(reinterpret_cast<PACL>(lookAlikeList.data()), ACL_REVISION_DS, MAXDWORD, lookAlike.data(),
                       static_cast<DWORD>(lookAlike.size())));
    EXPECT_TRUE(GrantsFileRightsToUntrusted(reinterpret_cast<const ACL*>(lookAlikeList.data()), folderAbove, account));
    EXPECT_TRUE(GrantsFileRightsToUntrusted(nullptr, file, account)) << "no list: everybody may do everything";
}

}  // namespace
