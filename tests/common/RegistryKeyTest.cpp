#include "common/RegistryKey.h"
#include "support/LogCapture.h"
#include "support/Platform.h"
#include "support/ScratchRegistryKey.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using Tessaro::Testing::LogCapture;
using Tessaro::Testing::ScratchRegistryKey;
using Tessaro::Vantrel::Common::Utilities::RegistryKey;
using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::wstring>;

Bytes WideBytes(const std::wstring& text)
{
    const auto* first = reinterpret_cast<const std::uint8_t*>(text.data());
    return Bytes(first, first + text.size() * sizeof(wchar_t));
}

// What making a lasting key below the key at `path` answers: only a key that lasts across restarts
// may hold one.
LSTATUS MakeLastingKeyBelow(const std::wstring& path)
{
    HKEY below = nullptr;
    const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (path + L"\\below").c_str(), 0, nullptr,
                                           REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, &below, nullptr);
    RegCloseKey(below);
    return status;
}

// Beyond what the settings property test covers: missing values, strings cut short or holding a
// NUL, and the text of an expandable string.
TEST(RegistryKeyTest, TypedReadersCheckTypeAndSizeAndKeepTheDefault)
{
    const ScratchRegistryKey scratch;
    auto key = scratch.Key();
    ASSERT_EQ(key->SetDword(L"number", 7), 0u);
    ASSERT_EQ(key->SetValue(L"oneByteString", REG_SZ, Bytes{0x41}), 0u);
    ASSERT_EQ(key->SetValue(L"embeddedNul", REG_SZ, WideBytes(std::wstring(L"ab\0cd", 5))), 0u);
    ASSERT_EQ(key->SetExpandString(L"expand", L"%SystemRoot%\\x"), 0u);
    ASSERT_EQ(key->SetQword(L"quad", 0x0102030405060708ull), 0u);

    const auto wrongType = key->GetString(L"number", L"fallback");
    EXPECT_EQ(wrongType.ErrorCode(), static_cast<std::uint32_t>(ERROR_BAD_FILE_TYPE));
    EXPECT_EQ(wrongType.Value(), L"fallback");
    const auto missing = key->GetString(L"missing", L"fallback");
    EXPECT_EQ(missing.ErrorCode(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(missing.Value(), L"fallback");
    // The typed read promises a terminated string: Windows adds the terminator where the data has
    // none, Wine passes the byte on and the read refuses it as too short. Either way no byte past
    // the data is read as text, and the default stands unless a string came back.
    const auto oneByte = key->GetString(L"oneByteString", L"d");
    if (oneByte.ErrorCode() == ERROR_NO_DATA) {
        EXPECT_EQ(oneByte.Value(), L"d");
    } else {
        EXPECT_EQ(oneByte.ErrorCode(), 0u);
        EXPECT_LE(oneByte.Value().size(), 1u);
    }
    // The raw read and the rename give the bytes as stored: a value renamed is the same value.
    std::uint32_t rawType = 0;
    Bytes rawBytes;
    ASSERT_EQ(key->GetValue(L"oneByteString", rawType, rawBytes), 0u);
    EXPECT_EQ(rawBytes, Bytes{0x41});
    ASSERT_EQ(key->SetValue(L"unterminated", REG_SZ, WideBytes(L"abc")), 0u);
    ASSERT_EQ(key->RenameValue(L"unterminated", L"renamedUnterminated"), 0u);
    ASSERT_EQ(key->GetValue(L"renamedUnterminated", rawType, rawBytes), 0u);
    EXPECT_EQ(rawType, static_cast<std::uint32_t>(REG_SZ));
    EXPECT_EQ(rawBytes, WideBytes(L"abc")) << "no terminator added on the way";
    EXPECT_EQ(key->GetString(L"embeddedNul", L"").Value(), L"ab");
    EXPECT_EQ(key->GetString(L"expand", L"").Value(), L"%SystemRoot%\\x") << "not expanded";

    EXPECT_EQ(key->GetQword(L"quad", 0).Value(), 0x0102030405060708ull);
    EXPECT_EQ(key->GetBinary(L"number", Bytes{9}).ErrorCode(), static_cast<std::uint32_t>(ERROR_BAD_FILE_TYPE));

    // Whoever writes a string decides its length up to the longest path: one character more is
    // refused before it is read (ERROR_MORE_DATA), and the default stands.
    const std::wstring longest(32767, L'x');
    ASSERT_EQ(key->SetString(L"longest", longest), 0u);
    EXPECT_EQ(key->GetString(L"longest", L"").Value(), longest);
    ASSERT_EQ(key->SetString(L"tooLong", longest + L"x"), 0u);
    const auto tooLong = key->GetString(L"tooLong", L"fallback");
    EXPECT_EQ(tooLong.ErrorCode(), static_cast<std::uint32_t>(ERROR_MORE_DATA));
    EXPECT_EQ(tooLong.Value(), L"fallback");
}

TEST(RegistryKeyTest, MultiStringsSplitAtNulsAndRejectMalformedData)
{
    const ScratchRegistryKey scratch;
    auto key = scratch.Key();
    ASSERT_EQ(key->SetValue(L"stops", REG_MULTI_SZ, WideBytes(std::wstring(L"a\0\0b\0\0", 6))), 0u);
    ASSERT_EQ(key->SetValue(L"odd", REG_MULTI_SZ, Bytes{0x61, 0, 0}), 0u);
    ASSERT_EQ(key->SetMultiString(L"roundTrip", {L"one", L"two words"}), 0u);
    ASSERT_EQ(key->SetMultiString(L"empty", {}), 0u);
    // Without any terminator: there is room for the two the read may add, which Wine 10 does not
    // count in the size it answers first (Wine 8 adds none: the list is malformed).
    ASSERT_EQ(key->SetValue(L"unterminated", REG_MULTI_SZ, WideBytes(std::wstring(L"a\0b", 3))), 0u);

    EXPECT_EQ(key->GetMultiString(L"stops", {}).Value(), Strings{L"a"});
    const Strings fallback{L"default"};
    const auto unterminated = key->GetMultiString(L"unterminated", fallback);
    EXPECT_EQ(unterminated.Value(), unterminated.Succeeded() ? (Strings{L"a", L"b"}) : fallback);
    EXPECT_NE(unterminated.ErrorCode(), static_cast<std::uint32_t>(ERROR_MORE_DATA));
    const auto malformed = key->GetMultiString(L"odd", fallback);
    EXPECT_EQ(malformed.ErrorCode(), static_cast<std::uint32_t>(ERROR_INVALID_DATA));
    EXPECT_EQ(malformed.Value(), fallback);
    EXPECT_EQ(key->GetMultiString(L"roundTrip", {}).Value(), (Strings{L"one", L"two words"}));
    const auto empty = key->GetMultiString(L"empty", fallback);
    EXPECT_TRUE(empty.Succeeded());
    EXPECT_TRUE(empty.Value().empty());
    std::uint32_t type = 0;
    Bytes raw;
    ASSERT_EQ(key->GetValue(L"empty", type, raw), 0u);
    EXPECT_EQ(raw, (Bytes{0, 0}));
}

TEST(RegistryKeyTest, BigEndianDwordKeepsTheSameBytesUnderItsOwnType)
{
    const ScratchRegistryKey scratch;
    auto key = scratch.Key();
    ASSERT_EQ(key->SetDword(L"little", 0x11223344), 0u);
    ASSERT_EQ(key->SetDword(L"big", 0x11223344, true), 0u);
    std::uint32_t littleType = 0, bigType = 0;
    Bytes littleBytes, bigBytes;
    ASSERT_EQ(key->GetValue(L"little", littleType, littleBytes), 0u);
    ASSERT_EQ(key->GetValue(L"big", bigType, bigBytes), 0u);
    EXPECT_EQ(littleType, static_cast<std::uint32_t>(REG_DWORD));
    EXPECT_EQ(bigType, static_cast<std::uint32_t>(REG_DWORD_BIG_ENDIAN));
    EXPECT_EQ(bigBytes, littleBytes);
    EXPECT_EQ(bigBytes, (Bytes{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(key->GetDword(L"big", 0).Value(), 0x11223344u);
    // The platform's own typed read takes the type on Windows; Wine refuses it, which is why the
    // read falls back to the plain query.
    DWORD type = 0, value = 0, size = sizeof(value);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, scratch.Path().c_str(), L"big", RRF_RT_ANY, &type, &value, &size),
              Tessaro::Testing::RunningUnderWine() ? ERROR_UNSUPPORTED_TYPE : ERROR_SUCCESS);

    // A rename reads the value as GetValue does, also where the platform refuses the type.
    ASSERT_EQ(key->RenameValue(L"big", L"renamed"), 0u);
    ASSERT_EQ(key->GetValue(L"renamed", bigType, bigBytes), 0u);
    EXPECT_EQ(bigType, static_cast<std::uint32_t>(REG_DWORD_BIG_ENDIAN));
    EXPECT_EQ(bigBytes, (Bytes{0x44, 0x33, 0x22, 0x11}));
}

constexpr const wchar_t* OpenToEveryone = L"D:P(A;CI;KA;;;WD)";

TEST(RegistryKeyTest, RefusedWiderOpenKeepsTheReadsThatWork)
{
    const ScratchRegistryKey scratch;
    ASSERT_EQ(scratch.Key()->SetQword(L"time", 42), 0u);
    EXPECT_TRUE(scratch.Key()->CanWrite());
    // Read (and change this list back), no more.
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path(), L"D:P(A;;KRWD;;;WD)"), 0u);

    RegistryKey key(HKEY_LOCAL_MACHINE, scratch.Path());
    EXPECT_EQ(key.GetQword(L"time", 0).Value(), 42u);
    EXPECT_EQ(key.SetQword(L"marker", 1), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(key.HeldAccess(), RegistryKey::ReadAccess);
    EXPECT_FALSE(key.CanWrite());
    const auto afterRefusal = key.GetQword(L"time", 0);
    EXPECT_EQ(afterRefusal.ErrorCode(), 0u) << "a refused write must not take the reads with it";
    EXPECT_EQ(afterRefusal.Value(), 42u);
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path(), OpenToEveryone), 0u);
}

// A tree that cannot be deleted in place is renamed beside itself ("<name>_obsolete") and deleted
// from there; when that fails as well it is renamed back, and the caller learns why.
TEST(RegistryKeyTest, DeleteTreeFallBackAndItsWarnings)
{
    const ScratchRegistryKey scratch;
    ASSERT_EQ(scratch.Child(L"tree\\deep\\sealed")->CreateRecursively(), 0u);
    ASSERT_EQ(scratch.Child(L"tree")->SetString(L"kept", L"yes"), 0u);
    // A key deep in the tree that nobody may open: the tree cannot be walked, so it cannot be deleted.
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path() + L"\\tree\\deep\\sealed", L"D:P"), 0u);
    const LogCapture capture;

    RegistryKey tree(HKEY_LOCAL_MACHINE, scratch.Path() + L"\\tree");
    EXPECT_EQ(tree.DeleteTree(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message.rfind("Failed to delete the registry key tree. Delete failed try to execute the "
                                     "fallback [0x",
                                     0),
              0u)
        << lines[0].message;
    EXPECT_EQ(lines[1].message.rfind("Failed to delete the registry key tree [0x", 0), 0u) << lines[1].message;
    EXPECT_NE(lines[1].message.find(" (Error: 5)"), std::string::npos) << lines[1].message;
    for (const auto& line : lines) {
        EXPECT_EQ(line.level, Tessaro::Vantrel::Common::LogLevel::Warn);
        EXPECT_EQ(line.componentName, "Setup");
    }
    EXPECT_EQ(scratch.Child(L"tree")->GetString(L"kept", L"").Value(), L"yes") << "renamed back";
    EXPECT_FALSE(scratch.Child(L"tree_obsolete")->Exists());

    // A key that cannot be opened for deletion at all.
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path() + L"\\tree", L"D:P(A;;KRWD;;;WD)"), 0u);
    EXPECT_EQ(scratch.Child(L"tree")->DeleteTree(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].message.rfind("Failed to delete the registry key tree. Open key failed [0x", 0), 0u)
        << lines[2].message;

    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path() + L"\\tree", OpenToEveryone), 0u);
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path() + L"\\tree\\deep\\sealed", OpenToEveryone), 0u);
    EXPECT_EQ(scratch.Child(L"tree")->DeleteTree(), 0u);
}

// The product's own keys are opened one by one as themselves. Each key on the way is asked only for
// what its step needs: the query that tells a link, and the right to create below it only where a
// key is missing. An installer's access list on a key that exists asks nothing more of the run.
TEST(RegistryKeyTest, KeysOnTheWayAreAskedOnlyWhatTheStepNeeds)
{
    const ScratchRegistryKey scratch;
    ASSERT_EQ(scratch.Child(L"own\\settings")->CreateRecursively(), 0u);
    // Read only, for everybody: nothing may be created below "own", nor below the scratch key.
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path() + L"\\own", L"D:P(A;;KR;;;WD)"), 0u);
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path(), L"D:P(A;;KR;;;WD)"), 0u);

    RegistryKey leaf(HKEY_LOCAL_MACHINE, scratch.Path(), L"own\\settings\\leaf");
    EXPECT_EQ(leaf.Create(), 0u) << "only the leaf is made, below a key that allows it";
    EXPECT_EQ(leaf.SetString(L"v", L"x"), 0u);
    RegistryKey again(HKEY_LOCAL_MACHINE, scratch.Path(), L"own\\settings\\leaf");
    EXPECT_EQ(again.Create(), 0u) << "a key that exists is opened, not made";
    EXPECT_EQ(again.GetString(L"v", L"").Value(), L"x");
    RegistryKey refused(HKEY_LOCAL_MACHINE, scratch.Path(), L"own\\other\\leaf");
    EXPECT_EQ(refused.Create(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED)) << "a missing key below \"own\"";
    // The query that tells a link is the least a key on the way must grant.
    // (0x60004: create below, read and change the access list; no query)
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path() + L"\\own", L"D:P(A;;0x60004;;;WD)"), 0u);
    RegistryKey unqueried(HKEY_LOCAL_MACHINE, scratch.Path(), L"own\\settings\\leaf");
    EXPECT_EQ(unqueried.GetString(L"v", L"d").ErrorCode(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));

    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path(), OpenToEveryone), 0u);
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path() + L"\\own", OpenToEveryone), 0u);
}

// A registry link is a key made as one. A plain key that merely holds a value named and typed as a
// link's target is a plain key: its values are read, and nothing is reported.
TEST(RegistryKeyTest, PlainKeyHoldingALinkValueStaysAPlainKey)
{
    const ScratchRegistryKey scratch;
    const LogCapture capture;
    ASSERT_EQ(scratch.Child(L"own\\settings")->CreateRecursively(), 0u);
    ASSERT_EQ(scratch.Child(L"elsewhere")->Create(), 0u);
    const std::wstring target = scratch.Key()->GetFullName().Value() + L"\\elsewhere";
    ASSERT_EQ(scratch.Child(L"own\\settings")->SetValue(L"SymbolicLinkValue", REG_LINK, WideBytes(target)), 0u);
    ASSERT_EQ(scratch.Child(L"own\\settings")->SetString(L"DisplayName", L"Plain"), 0u);

    RegistryKey settings(HKEY_LOCAL_MACHINE, scratch.Path(), L"own\\settings");
    EXPECT_EQ(settings.GetString(L"DisplayName", L"").Value(), L"Plain");
    const auto held = scratch.Child(L"own")->OpenSubKeyAsItself(L"settings", RegistryKey::ReadAccess);
    ASSERT_TRUE(held.Succeeded());
    EXPECT_EQ(held.Value()->GetString(L"DisplayName", L"").Value(), L"Plain");
    EXPECT_TRUE(capture.Lines().empty()) << capture.Lines().front().message;

    // A link made as one, at the same place, is refused.
    ASSERT_EQ(scratch.Child(L"own")->DeleteTree(), 0u);
    ASSERT_EQ(scratch.Child(L"own")->Create(), 0u);
    ASSERT_TRUE(Tessaro::Testing::CreateRegistryLink(scratch.Path() + L"\\own\\settings", target));
    RegistryKey linked(HKEY_LOCAL_MACHINE, scratch.Path(), L"own\\settings");
    EXPECT_EQ(linked.GetString(L"DisplayName", L"").ErrorCode(), 681u);
    Tessaro::Testing::DeleteRegistryLink(scratch.Path() + L"\\own\\settings");
}

// A key held open is used through its own handle, with the access it was opened with and no more,
// and its log lines name it by the root and path it was reached by.
TEST(RegistryKeyTest, HeldKeyIsUsedThroughItsOwnHandle)
{
    const ScratchRegistryKey scratch;
    ASSERT_EQ(scratch.Child(L"held")->Create(), 0u);
    ASSERT_EQ(scratch.Child(L"held")->SetString(L"v", L"x"), 0u);
    const auto readOnly = scratch.Key()->OpenSubKeyAsItself(L"held", RegistryKey::ReadAccess);
    ASSERT_TRUE(readOnly.Succeeded());
    EXPECT_EQ(readOnly.Value()->GetString(L"v", L"").Value(), L"x");
    EXPECT_EQ(readOnly.Value()->SetString(L"w", L"y"), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED))
        << "opened for reading, never opened again for more";
    {
        // Refused when it is opened for the deletion, before anything is tried through it.
        const LogCapture capture;
        EXPECT_EQ(readOnly.Value()->DeleteTree(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].message.rfind("Failed to delete the registry key tree. Open key failed [0x", 0), 0u)
            << lines[0].message;
    }

    ASSERT_EQ(scratch.Child(L"held\\below\\sealed")->CreateRecursively(), 0u);
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path() + L"\\held\\below\\sealed", L"D:P"), 0u);
    const auto deletable = scratch.Key()->OpenSubKeyAsItself(L"held", RegistryKey::ReadWriteDeleteAccess);
    ASSERT_TRUE(deletable.Succeeded());
    const LogCapture capture;
    EXPECT_EQ(deletable.Value()->DeleteTree(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    const auto lines = capture.Lines();
    ASSERT_FALSE(lines.empty());
    const std::string path(scratch.Path().begin(), scratch.Path().end());
    EXPECT_EQ(lines.back().message.rfind("Failed to delete the registry key tree [0xFFFFFFFF80000002;0x", 0), 0u)
        << lines.back().message;
    EXPECT_NE(lines.back().message.find(";" + path + "\\held] (Error: 5)"), std::string::npos) << lines.back().message;
    // A key below it is named by the same root and its whole path.
    EXPECT_EQ(deletable.Value()->GetSubKey(L"below")->DeleteTree(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    const std::string below = capture.Lines().back().message;
    EXPECT_EQ(below.rfind("Failed to delete the registry key tree [0xFFFFFFFF80000002;0x", 0), 0u) << below;
    EXPECT_NE(below.find(";" + path + "\\held\\below] (Error: 5)"), std::string::npos) << below;
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path() + L"\\held\\below\\sealed", OpenToEveryone), 0u);
}

TEST(RegistryKeyTest, ExistenceCreationAndDeletion)
{
    const ScratchRegistryKey scratch;
    const LogCapture capture;
    auto deep = scratch.Child(L"a\\b\\c");
    EXPECT_FALSE(deep->Exists());
    EXPECT_TRUE(deep->CanRead()) << "a missing key is not an unreadable one";
    ASSERT_EQ(deep->CreateRecursively(), 0u);
    EXPECT_TRUE(deep->Exists());
    ASSERT_EQ(scratch.Child(L"a")->CreateSubKey(L"sibling"), 0u);
    // Keys made last across restarts, the product's own part too.
    EXPECT_EQ(MakeLastingKeyBelow(scratch.Path() + L"\\a\\sibling"), ERROR_SUCCESS);
    EXPECT_EQ(scratch.Child(L"a\\sibling")->DeleteSubKey(L"below"), 0u);
    EXPECT_FALSE(scratch.Child(L"a\\sibling\\below")->Exists());
    ASSERT_EQ(RegistryKey(HKEY_LOCAL_MACHINE, scratch.Path(), L"own\\part").Create(), 0u);
    EXPECT_EQ(MakeLastingKeyBelow(scratch.Path() + L"\\own\\part"), ERROR_SUCCESS);
    ASSERT_EQ(scratch.Child(L"a\\b")->CreateSubKey(std::wstring(255, L'k')), 0u) << "the longest name a key takes";
    // A name too long for the system's count of its bytes is refused, not cut to its first
    // characters ("abc" is what a count that wrapped would name).
    EXPECT_EQ(RegistryKey(HKEY_LOCAL_MACHINE, scratch.Path(), L"own\\abc" + std::wstring(32768, L'x')).Create(),
              static_cast<std::uint32_t>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_FALSE(scratch.Child(L"own\\abc")->Exists());
    ASSERT_EQ(deep->SetString(L"v", L"x"), 0u);
    EXPECT_EQ(scratch.Child(L"a")->GetSubKeyNames().Value(), (Strings{L"b", L"sibling"}));
    EXPECT_EQ(deep->DeleteTree(), 0u);
    EXPECT_FALSE(deep->Exists()) << "the handle it held for the value went with the key";

    EXPECT_EQ(scratch.Child(L"a")->DeleteSubKey(L"sibling"), 0u);
    EXPECT_EQ(scratch.Child(L"a")->DeleteTree(), 0u);
    EXPECT_FALSE(scratch.Child(L"a")->Exists());
    EXPECT_EQ(scratch.Child(L"never")->DeleteTree(), 0u);
    EXPECT_EQ(scratch.Child(L"never")->Delete(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RegistryKey(nullptr, L"\\REGISTRY\\MACHINE\\SOFTWARE\\x").DeleteTree(),
              static_cast<std::uint32_t>(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(capture.Lines().empty()) << "missing keys are no failure to log";
}

TEST(RegistryKeyTest, ValuesAreEnumeratedRenamedAndDeleted)
{
    const ScratchRegistryKey scratch;
    auto key = scratch.Key();
    ASSERT_EQ(key->SetString(L"name", L"text"), 0u);
    ASSERT_EQ(key->SetBinary(L"empty", {}), 0u);
    ASSERT_EQ(key->RenameValue(L"name", L"renamed"), 0u);
    EXPECT_EQ(key->GetString(L"renamed", L"").Value(), L"text");
    EXPECT_EQ(key->GetString(L"name", L"").ErrorCode(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    // A name longer than a value's name may be: the value stays under its own.
    EXPECT_NE(key->RenameValue(L"renamed", std::wstring(16384, L'n')), 0u);
    EXPECT_EQ(key->GetString(L"renamed", L"").Value(), L"text");

    // The longest name a value may have is listed with the others.
    const std::wstring longest(16383, L'n');
    ASSERT_EQ(key->SetString(longest, L"x"), 0u);

    const auto values = key->GetValues();
    ASSERT_TRUE(values.Succeeded()) << values.ErrorCode();
    ASSERT_EQ(values.Value().size(), 3u);
    for (const auto& value : values.Value()) {
        if (value.name == L"empty") {
            EXPECT_EQ(value.type, static_cast<std::uint32_t>(REG_BINARY));
            EXPECT_TRUE(value.data.empty());
        } else if (value.name == longest) {
            EXPECT_EQ(value.data, WideBytes(std::wstring(L"x\0", 2)));
        } else {
            EXPECT_EQ(value.name, L"renamed");
            EXPECT_EQ(value.data, WideBytes(std::wstring(L"text\0", 5)));
        }
    }
    EXPECT_EQ(key->DeleteValue(L"renamed"), 0u);
    EXPECT_EQ(key->DeleteValue(L"renamed"), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST(RegistryKeyTest, CopyToSkipsExcludedNamesWithoutLetterCase)
{
    const ScratchRegistryKey scratch;
    auto source = scratch.Child(L"source");
    ASSERT_EQ(source->Create(), 0u);
    ASSERT_EQ(source->SetDword(L"MyCacheSize", 1), 0u);
    ASSERT_EQ(source->SetString(L"Kept", L"yes"), 0u);
    ASSERT_EQ(scratch.Child(L"source\\CACHE")->CreateRecursively(), 0u);
    ASSERT_EQ(scratch.Child(L"source\\Child\\Grandchild")->CreateRecursively(), 0u);
    ASSERT_EQ(scratch.Child(L"source\\Child\\Grandchild")->SetQword(L"deep", 5), 0u);

    const std::wstring destination = scratch.Path() + L"\\copy";
    EXPECT_EQ(source->CopyTo(HKEY_LOCAL_MACHINE, destination, false, true, {L"cache"}),
              static_cast<std::uint32_t>(ERROR_NOT_FOUND));
    ASSERT_EQ(source->CopyTo(HKEY_LOCAL_MACHINE, destination, true, true, {L"cache"}), 0u);

    auto copy = scratch.Child(L"copy");
    EXPECT_EQ(copy->GetString(L"Kept", L"").Value(), L"yes");
    EXPECT_EQ(copy->GetDword(L"MyCacheSize", 0).ErrorCode(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(scratch.Child(L"copy\\CACHE")->Exists());
    EXPECT_EQ(scratch.Child(L"copy\\Child\\Grandchild")->GetQword(L"deep", 0).Value(), 5u);

    // A subkey that cannot be read fails the copy with its error.
    ASSERT_EQ(scratch.Child(L"source\\sealed")->Create(), 0u);
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path() + L"\\source\\sealed", L"D:P"), 0u);
    EXPECT_EQ(source->CopyTo(HKEY_LOCAL_MACHINE, destination, true, true, {L"cache"}),
              static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path() + L"\\source\\sealed", OpenToEveryone), 0u);
}

TEST(RegistryKeyTest, NativePathKeyIsCreatedReadAndDeleted)
{
    const ScratchRegistryKey scratch;
    const auto fullName = scratch.Key()->GetFullName();
    ASSERT_TRUE(fullName.Succeeded()) << fullName.Message();
    const std::wstring prefix = fullName.Value().substr(0, 18);
    ASSERT_EQ(CompareStringOrdinal(prefix.c_str(), -1, L"\\REGISTRY\\MACHINE\\", -1, TRUE), CSTR_EQUAL)
        << std::string(fullName.Value().begin(), fullName.Value().end());
    // The shortest names are whole too.
    const auto shortName = RegistryKey(HKEY_LOCAL_MACHINE, L"SYSTEM").GetFullName();
    ASSERT_TRUE(shortName.Succeeded()) << shortName.Message();
    EXPECT_EQ(CompareStringOrdinal(shortName.Value().c_str(), -1, L"\\REGISTRY\\MACHINE\\SYSTEM", -1, TRUE),
              CSTR_EQUAL);

    RegistryKey native(nullptr, fullName.Value() + L"\\native");
    EXPECT_FALSE(native.Exists());
    ASSERT_EQ(native.Create(), 0u);
    EXPECT_EQ(MakeLastingKeyBelow(scratch.Path() + L"\\native"), ERROR_SUCCESS);
    EXPECT_EQ(scratch.Child(L"native")->DeleteSubKey(L"below"), 0u);
    ASSERT_EQ(native.SetString(L"value", L"through the native call"), 0u);
    EXPECT_EQ(scratch.Child(L"native")->GetString(L"value", L"").Value(), L"through the native call");
    EXPECT_EQ(native.GetFullName().Value(), fullName.Value() + L"\\native");
    EXPECT_EQ(native.Delete(), 0u);
    EXPECT_FALSE(scratch.Child(L"native")->Exists());
    EXPECT_EQ(RegistryKey(nullptr, fullName.Value() + L"\\native\\deep").CreateRecursively(), 0u);
    EXPECT_TRUE(scratch.Child(L"native\\deep")->Exists());
}

}  // namespace
