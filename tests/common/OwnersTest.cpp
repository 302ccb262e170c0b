#include "common/UniqueLibrary.h"
#include "common/foundation/WinHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using Tessaro::WinHandle;
using Tessaro::Vantrel::Common::Utilities::UniqueLibrary;

bool IsOpenHandle(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(WinHandleTest, NullAndInvalidHandlesAreNeverClosed)
{
    int calls = 0;
    const auto close = [&](WinHandle::Handle) {
        ++calls;
        return 1;
    };
    {
        WinHandle null(nullptr, close);
    }
    {
        WinHandle invalid(INVALID_HANDLE_VALUE, close);
    }
    {
        WinHandle valid(reinterpret_cast<WinHandle::Handle>(0x10), close);
    }
    EXPECT_EQ(calls, 1);
}

TEST(WinHandleTest, SharedOwnerClosesTheKernelHandleWithTheLastReference)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    auto owner = WinHandle::Create(event);
    auto second = owner;
    owner.reset();
    EXPECT_TRUE(IsOpenHandle(event));
    second.reset();
    EXPECT_FALSE(IsOpenHandle(event));
}

TEST(UniqueLibraryTest, FreesTheLoadedModuleAndIgnoresAnEmptyOne)
{
    ASSERT_EQ(GetModuleHandleW(L"msimg32.dll"), nullptr) << "the test needs a library nobody else loaded";
    {
        const UniqueLibrary library(LoadLibraryW(L"msimg32.dll"), L"msimg32.dll");
        ASSERT_NE(library.Get(), nullptr);
        EXPECT_EQ(GetModuleHandleW(L"msimg32.dll"), library.Get());
    }
    EXPECT_EQ(GetModuleHandleW(L"msimg32.dll"), nullptr);
    {
        const UniqueLibrary empty(nullptr, L"none.dll");
    }
}

}  // namespace
