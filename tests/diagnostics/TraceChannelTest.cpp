#include "common/FileInfo.h"
#include "diagnostics/TraceChannel.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace Tessaro::Vantrel::Common;
using Tessaro::Vantrel::Common::Utilities::FileInfo;
using Bytes = std::vector<std::uint8_t>;

struct Message {
    GUID guid;
    std::uint16_t number;
    std::vector<Bytes> arguments;
};

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
        TraceChannel::SetMessageObserver(
            [this](const GUID& guid, std::uint16_t number, const std::vector<Bytes>& arguments) {
                messages.push_back({guid, number, arguments});
            });
        TraceChannel::RegisterProviders();
    }
    void TearDown() override
    {
        TraceChannel::UnregisterProviders();
        TraceChannel::SetMessageObserver(nullptr);
        TraceChannel::SetEnableQueries(TraceChannel::PlatformEnableQueries());
    }

    static ULONG Request(WMIDPREQUESTCODE code, std::size_t block, std::uint8_t level, std::uint32_t flags)
    {
        WNODE_HEADER header{};
        header.HistoricalContext = EnableHandle(level, flags);
        ULONG size = sizeof(header);
        return TraceChannel::ControlCallback(code, &TraceChannel::Block(block), &size, &header);
    }

    static void EmitBothKinds()
    {
        TraceRegistryEvent(10, reinterpret_cast<HKEY>(0x1234), std::wstring(L"SOFTWARE\\x"), std::uint32_t{5});
        TraceFileEvent(12, L"C:\\folder", 123);
    }

    std::vector<Message> messages;
};

TEST_F(TraceChannelTest, NothingIsSentWhileNoControllerEnabledTheSiteBlock)
{
    EmitBothKinds();
    EXPECT_EQ(Request(WMI_ENABLE_EVENTS, 0, 5, 0xFFFFFFFF), 0u) << "another block";
    EmitBothKinds();
    EXPECT_TRUE(messages.empty());
}

TEST_F(TraceChannelTest, LevelTwoSendsTheFileMessagesOnly)
{
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 4, 2, TraceChannel::UtilitySitesFlag), 0u);
    EXPECT_EQ(TraceChannel::Block(4).logger, EnableHandle(2, TraceChannel::UtilitySitesFlag));
    EmitBothKinds();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(messages[0].guid, TraceChannel::FileMessageGuid));
    EXPECT_EQ(messages[0].number, 12);
    ASSERT_EQ(messages[0].arguments.size(), 2u);
    EXPECT_EQ(messages[0].arguments[0].size(), 20u) << "nine characters and the terminator";
    EXPECT_EQ(messages[0].arguments[1], (Bytes{123, 0, 0, 0}));

    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 4, 3, 0x0FFF), 0u);
    EmitBothKinds();
    EXPECT_EQ(messages.size(), 1u) << "without flag 0x1000 nothing is sent";
}

TEST_F(TraceChannelTest, RegistryMessagesCarryHandlePathNamesAndCode)
{
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 4, 3, TraceChannel::UtilitySitesFlag), 0u);
    TraceRegistryEvent(25, reinterpret_cast<HKEY>(0x1234), std::wstring(L"K"), static_cast<const wchar_t*>(nullptr),
                       std::wstring(L"new"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(messages[0].guid, TraceChannel::RegistryMessageGuid));
    EXPECT_EQ(messages[0].number, 25);
    ASSERT_EQ(messages[0].arguments.size(), 4u);
    EXPECT_EQ(messages[0].arguments[0], (Bytes{0x34, 0x12, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(messages[0].arguments[1], (Bytes{'K', 0, 0, 0}));
    EXPECT_EQ(messages[0].arguments[2], (Bytes{'N', 0, 'U', 0, 'L', 0, 'L', 0, 0, 0}))
        << "a null string is sent as NULL";

    // A real site: a folder that cannot be created.
    ASSERT_NE(FileInfo::CreateDirectoriesWithRestrictedPermissions(L"C:\\bad|name"), 0u);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].number, 12);
}

TEST_F(TraceChannelTest, DisableUnknownRequestsAndForwarding)
{
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 4, 3, TraceChannel::UtilitySitesFlag), 0u);
    EXPECT_EQ(Request(static_cast<WMIDPREQUESTCODE>(7), 4, 1, 0), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(TraceChannel::Block(4).level, 3) << "an unknown request changes nothing";
    EXPECT_EQ(TraceChannel::Block(4).flags, TraceChannel::UtilitySitesFlag);

    ASSERT_EQ(Request(WMI_DISABLE_EVENTS, 4, 5, 0xFFFFFFFF), 0u);
    EXPECT_EQ(TraceChannel::Block(4).level, 0);
    EXPECT_EQ(TraceChannel::Block(4).flags, 0u);
    EXPECT_EQ(TraceChannel::Block(4).logger, 0u);
    EmitBothKinds();
    EXPECT_TRUE(messages.empty());

    // A block whose options forward its settings hands them to the block it points to.
    auto& forwarding = TraceChannel::Block(1);
    forwarding.options = TraceChannel::ForwardOption;
    forwarding.logger = reinterpret_cast<std::uintptr_t>(&TraceChannel::Block(4));
    ASSERT_EQ(Request(WMI_ENABLE_EVENTS, 1, 2, TraceChannel::UtilitySitesFlag), 0u);
    EXPECT_EQ(TraceChannel::Block(4).level, 2);
    forwarding.options = 0;
}

}  // namespace
