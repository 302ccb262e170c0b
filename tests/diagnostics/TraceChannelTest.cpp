#include "common/FileInfo.h"
#include "common/RegistryKey.h"
#include "common/foundation/WinHandle.h"
#include "diagnostics/LogFileWriter.h"
#include "diagnostics/TraceChannel.h"
#include "support/Platform.h"
#include "support/ScratchFolder.h"
#include "support/ScratchRegistryKey.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdarg>
#include <cstring>

namespace {

using namespace Tessaro::Vantrel::Common;
using Tessaro::Testing::ScratchRegistryKey;
using Tessaro::Vantrel::Common::Utilities::FileInfo;
using Tessaro::Vantrel::Common::Utilities::RegistryKey;
using Bytes = std::vector<std::uint8_t>;

// The controller's side of the channel, as controllers write it: the enable flag of the utility
// sites, and the option bit that makes a block's logger word point to the block it forwards to.
constexpr std::uint32_t UtilitySites = 0x1000;
constexpr std::uint16_t Forward = 2;

struct Message {
    TRACEHANDLE logger;
    ULONG flags;
    GUID guid;
    std::uint16_t number;
    std::vector<Bytes> arguments;
};

// The messages the stand-in for TraceMessage received, in order.
std::vector<Message> sent;

// Reads what it is handed as TraceMessage reads it: pairs of address and length, the last of them
// a null address and a zero length, as the documentation asks. Its list follows a USHORT, as
// TraceMessage's does; on x64 each argument has a slot of its own, so the list starts after it
// whatever its type.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wvarargs"
#endif
ULONG WINAPI RecordMessage(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number, ...)
{
    Message message{logger, flags, *guid, number, {}};
    va_list list;
    va_start(list, number);
    for (const void* data = va_arg(list, const void*);; data = va_arg(list, const void*)) {
        const auto size = va_arg(list, std::size_t);
        if (data == nullptr) {
            EXPECT_EQ(size, 0u) << "the list ends with a null address and a zero length";
            break;
        }
        const auto* first = static_cast<const std::uint8_t*>(data);
        message.arguments.emplace_back(first, first + size);
    }
    va_end(list);
    sent.push_back(message);
    return ERROR_SUCCESS;
}

// A controller's request as Windows hands it over: the logger handle in the WNODE header's
// historical context, holding the level in its third byte and the enable flags in its high word.
// Wine answers the platform's queries with fixed values, so the test reads the handle the same
// way Windows does.
TRACEHANDLE EnableHandle(std::uint8_t level, std::uint32_t flags)
{
    return (static_cast<TRACEHANDLE>(flags) << 32) | (static_cast<TRACEHANDLE>(level) << 16) | 0x2A;
}

class TraceChannelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TraceChannel::SetEnableQueries(
            {[](void* buffer) { return static_cast<WNODE_HEADER*>(buffer)->HistoricalContext; },
             [](TRACEHANDLE logger) { return static_cast<std::uint8_t>(logger >> 16); },
             [](TRACEHANDLE logger) { return static_cast<std::uint32_t>(logger >> 32); }});
        sent.clear();
        TraceChannel::SetMessageSender(&RecordMessage);
        TraceChannel::RegisterProviders();
    }
    void TearDown() override
    {
        TraceChannel::UnregisterProviders();
        TraceChannel::SetMessageSender(nullptr);
        TraceChannel::SetEnableQueries(TraceChannel::PlatformEnableQueries());
    }

    static ULONG Request(WMIDPREQUESTCODE code, std::size_t block, std::uint8_t level, std::uint32_t flags)
    {
        WNODE_HEADER header{};
        header.HistoricalContext = EnableHandle(level, flags);
        ULONG size = sizeof(header);
        return TraceChannel::ControlCallback(code, &TraceChannel::Block(block), &size, &header);
    }

    // A registry site (the rename of a value that is not there) and a file site (a folder whose
    // name cannot exist), each through its real operation.
    void EmitBothKinds()
    {
        scratch.Key()->RenameValue(L"missing", L"renamed");
        FileInfo::CreateDirectoriesWithRestrictedPermissions(L"C:\\bad|name");
    }

    static Bytes WideBytes(const std::wstring& text)
    {
        const auto* first = reinterpret_cast<const std::uint8_t*>(text.c_str());
        return Bytes(first, first + (text.size() + 1) * sizeof(wchar_t));
    }

    static Bytes NumberBytes(std::uint64_t value, std::size_t size)
    {
        Bytes bytes(size);
        std::memcpy(bytes.data(), &value, size);
        return bytes;
    }

    ScratchRegistryKey scratch;
    const std::vector<Message>& messages = sent;
};

// Every block is registered at start, and let go at the end through the list that links them.
TEST_F(TraceChannelTest, EveryBlockIsRegisteredAndLetGo)
{
    for (std::size_t index = 0; index < 5; ++index) {
        EXPECT_NE(TraceChannel::Block(index).registration, 0u) << "block " << index;
    }
    TraceChannel::UnregisterProviders();
    EXPECT_FALSE(TraceChannel::IsInitialized());
    for (std::size_t index = 0; index < 5; ++index) {
        EXPECT_EQ(TraceChannel::Block(index).registration, 0u) << "block " << index;
    }
}

TEST_F(TraceChannelTest, LevelTwoSendsTheFileMessagesOnly)
{
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 4, 2, UtilitySites), 0u);
    EXPECT_EQ(TraceChannel::Block(4).logger, EnableHandle(2, UtilitySites));
    EmitBothKinds();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(messages[0].guid, TraceChannel::FileMessageGuid));
    EXPECT_EQ(messages[0].number, 12);
    EXPECT_EQ(messages[0].logger, EnableHandle(2, UtilitySites)) << "the enabling controller's";
    EXPECT_EQ(messages[0].flags, 0x2Bu) << "sequence (1), GUID (2), time stamp (8) and system information (32)";
    ASSERT_EQ(messages[0].arguments.size(), 2u);
    EXPECT_EQ(messages[0].arguments[0], WideBytes(L"C:\\bad|name"));
    EXPECT_EQ(messages[0].arguments[1], NumberBytes(ERROR_INVALID_NAME, 4));
    const Tessaro::Testing::ScratchFolder folder;
    LogFileWriter(folder.Path() / "agent.log").Write("a line written whole\r\n");
    EXPECT_EQ(messages.size(), 1u) << "a line written whole is no failure";
    // A local path that is not valid UTF-16 has no readable form; one that names no file has no
    // short form either (message 11, with the short name's error).
    const std::wstring broken = folder.Path().native() + L"\\missing" + wchar_t(0xD800);
    const FileInfo unreadable(broken);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].number, 11);
    ASSERT_EQ(messages[1].arguments.size(), 2u);
    EXPECT_EQ(messages[1].arguments[1], NumberBytes(ERROR_FILE_NOT_FOUND, 4));
    // Given as text, it is never asked about: the trace says why it has no readable form.
    const FileInfo text = FileInfo::FromUntrustedText(broken);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2].number, 11);
    ASSERT_EQ(messages[2].arguments.size(), 2u);
    EXPECT_EQ(messages[2].arguments[1], NumberBytes(ERROR_NO_UNICODE_TRANSLATION, 4));
    // Nor is one on the network: no short name is asked of a share.
    const FileInfo remote(L"\\\\server\\share\\missing" + std::wstring(1, wchar_t(0xD800)));
    // Nor one in device form (a pipe) or a relative one: neither is in drive-letter form.
    const FileInfo pipe(L"\\\\.\\pipe\\missing" + std::wstring(1, wchar_t(0xD800)));
    const FileInfo relative(L"missing" + std::wstring(1, wchar_t(0xD800)));
    ASSERT_EQ(messages.size(), 6u);
    for (std::size_t index = 3; index < 6; ++index) {
        EXPECT_EQ(messages[index].number, 11);
        ASSERT_EQ(messages[index].arguments.size(), 2u);
        EXPECT_EQ(messages[index].arguments[1], NumberBytes(ERROR_NO_UNICODE_TRANSLATION, 4)) << index;
    }

    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 4, 3, 0x0FFF), 0u);
    EmitBothKinds();
    EXPECT_EQ(messages.size(), 6u) << "without flag 0x1000 nothing is sent";
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 4, 1, UtilitySites), 0u);
    EmitBothKinds();
    EXPECT_EQ(messages.size(), 6u) << "level 1 (critical) is above both kinds";
}

// A line the file refuses is traced with the system's error: here, another handle locked the whole
// of the file and beyond, which Windows holds against a write and Wine does not.
TEST_F(TraceChannelTest, LineTheFileRefusesIsTraced)
{
    if (Tessaro::Testing::RunningUnderWine()) {
        GTEST_SKIP() << "Wine writes through another handle's lock";
    }
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 4, 2, UtilitySites), 0u);
    const Tessaro::Testing::ScratchFolder folder;
    const auto locked = folder.Path() / "locked.log";
    LogFileWriter writer(locked);
    writer.Write("first\r\n");
    const Tessaro::WinHandle locker(CreateFileW(locked.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    OVERLAPPED fromTheStart{};
    ASSERT_TRUE(LockFileEx(locker.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                           &fromTheStart));
    writer.Write("refused\r\n");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].number, 13);
    ASSERT_EQ(messages[0].arguments.size(), 2u);
    EXPECT_EQ(messages[0].arguments[0], WideBytes(locked.native()));
    EXPECT_EQ(messages[0].arguments[1], NumberBytes(ERROR_LOCK_VIOLATION, 4));
}

// Each registry site sends the arguments of its shape, none dropped; "not found" is no failure
// for the operations that delete or read.
TEST_F(TraceChannelTest, RegistrySitesSendTheArgumentsOfTheirShape)
{
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 4, 3, UtilitySites), 0u);
    const auto key = scratch.Key();
    ASSERT_EQ(key->RenameValue(L"missing", L"renamed"), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(messages[0].guid, TraceChannel::RegistryMessageGuid));
    EXPECT_EQ(messages[0].number, 27) << "the size query of the value";
    ASSERT_EQ(messages[0].arguments.size(), 3u);
    EXPECT_EQ(messages[0].arguments[0], NumberBytes(reinterpret_cast<std::uintptr_t>(key->HeldHandle()), 8));
    EXPECT_EQ(messages[0].arguments[1], WideBytes(scratch.Path()));
    EXPECT_EQ(messages[0].arguments[2], NumberBytes(ERROR_FILE_NOT_FOUND, 4));

    // Missing keys and values: returned, not traced.
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    EXPECT_EQ(key->GetValue(L"missing", type, data), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(key->DeleteValue(L"missing"), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(key->DeleteSubKey(L"missing"), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(scratch.Child(L"missing")->Delete(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(scratch.Child(L"missing")->GetValue(L"x", type, data), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(scratch.Child(L"missing")->DeleteValue(L"x"), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(scratch.Child(L"missing")->DeleteSubKey(L"x"), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(messages.size(), 1u);
    // But the full name and the flush of a missing key are (sites 11 and 34); a flush that works is not.
    EXPECT_FALSE(scratch.Child(L"missing")->GetFullName().Succeeded());
    EXPECT_EQ(scratch.Child(L"missing")->Flush(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(key->Flush(), 0u);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1].number, 11);
    EXPECT_EQ(messages[2].number, 34);

    // The widest shape: a rename refused when the key opens for reading only (site 25).
    ASSERT_EQ(key->SetString(L"old", L"text"), 0u);
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path(), L"D:P(A;;KRWD;;;WD)"), 0u);
    RegistryKey fresh(HKEY_LOCAL_MACHINE, scratch.Path());
    EXPECT_EQ(fresh.RenameValue(L"old", L"new name"), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[3].number, 25);
    ASSERT_EQ(messages[3].arguments.size(), 4u);
    EXPECT_EQ(messages[3].arguments[1], WideBytes(scratch.Path()));
    EXPECT_EQ(messages[3].arguments[2], WideBytes(L"old"));
    EXPECT_EQ(messages[3].arguments[3], WideBytes(L"new name"));
    // A key that cannot be made: a lasting key below one that goes at the restart (site 12).
    HKEY volatileKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (scratch.Path() + L"\\volatile").c_str(), 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_READ, nullptr, &volatileKey, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(volatileKey);
    EXPECT_EQ(scratch.Child(L"volatile\\below")->Create(), static_cast<std::uint32_t>(ERROR_CHILD_MUST_BE_VOLATILE));
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[4].number, 12);
    // Open again, so that the scratch key can go.
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(scratch.Path(), L"D:P(A;CI;KA;;;WD)"), 0u);
    // A key deleted while it is held open: its listing fails with 1018 (site 20).
    const auto gone = scratch.Child(L"gone");
    ASSERT_EQ(gone->Create(), 0u);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, (scratch.Path() + L"\\gone").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(gone->GetSubKeyNames().ErrorCode(), static_cast<std::uint32_t>(ERROR_KEY_DELETED));
    ASSERT_EQ(messages.size(), 6u);
    EXPECT_EQ(messages[5].number, 20);
    EXPECT_EQ(messages[5].arguments[2], NumberBytes(ERROR_KEY_DELETED, 4));
    EXPECT_EQ(gone->GetFullName().ErrorCode(), static_cast<std::uint32_t>(ERROR_KEY_DELETED)) << "nor has it a name";
    // A key of the product's own that is a link does not exist, and says why (site 10).
    ASSERT_EQ(scratch.Child(L"own")->Create(), 0u);
    ASSERT_TRUE(Tessaro::Testing::CreateRegistryLink(scratch.Path() + L"\\own\\settings", scratch.Path()));
    EXPECT_FALSE(RegistryKey(HKEY_LOCAL_MACHINE, scratch.Path(), L"own\\settings").Exists());
    Tessaro::Testing::DeleteRegistryLink(scratch.Path() + L"\\own\\settings");
    ASSERT_EQ(messages.size(), 7u);
    EXPECT_EQ(messages[6].number, 10);
    EXPECT_EQ(messages[6].arguments[2], NumberBytes(681, 4));
}

// Nothing is sent while no controller enabled the sites' block: before any request, after one for
// another block, and after the block was disabled.
TEST_F(TraceChannelTest, DisableUnknownRequestsAndForwarding)
{
    EmitBothKinds();
    EXPECT_EQ(Request(WMI_ENABLE_EVENTS, 0, 5, 0xFFFFFFFF), 0u) << "another block";
    EmitBothKinds();
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 4, 3, UtilitySites), 0u);
    EXPECT_EQ(Request(static_cast<WMIDPREQUESTCODE>(7), 4, 1, 0), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(TraceChannel::Block(4).level, 3) << "an unknown request changes nothing";
    EXPECT_EQ(TraceChannel::Block(4).flags, UtilitySites);

    ASSERT_EQ(Request(WMI_DISABLE_EVENTS, 4, 5, 0xFFFFFFFF), 0u);
    EXPECT_EQ(TraceChannel::ControlCallback(WMI_DISABLE_EVENTS, &TraceChannel::Block(4), nullptr, nullptr), 0u)
        << "a request without a size to answer";
    EXPECT_EQ(TraceChannel::ControlCallback(WMI_DISABLE_EVENTS, nullptr, nullptr, nullptr),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER))
        << "a request without a block";
    EXPECT_EQ(TraceChannel::Block(4).level, 0);
    EXPECT_EQ(TraceChannel::Block(4).flags, 0u);
    EXPECT_EQ(TraceChannel::Block(4).logger, 0u);
    EmitBothKinds();
    EXPECT_TRUE(messages.empty());

    // A block whose options forward its settings hands them to the block it points to.
    auto& forwarding = TraceChannel::Block(1);
    forwarding.options = Forward;
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 1, 1, 0), 0u);
    EXPECT_EQ(forwarding.level, 1) << "with no block to forward to yet, the block takes the settings itself";
    forwarding.logger = reinterpret_cast<std::uintptr_t>(&TraceChannel::Block(4));
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 1, 2, UtilitySites), 0u);
    EXPECT_EQ(TraceChannel::Block(4).level, 2);
    forwarding.options = 0;
}

}  // namespace
