// The Security Center interfaces are declared by hand and shared by the agent and the simulator, so
// a wrong id or a call in the wrong slot would pass every other test. These check them against the
// ids and slots Security Center defines.

#include "security_center/com/SecurityCenterInterfaces.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using namespace Tessaro::Ravelin;

std::wstring Text(const GUID& guid)
{
    wchar_t text[64] = {};
    StringFromGUID2(guid, text, 64);
    return text;
}

TEST(SecurityCenterInterfacesTest, IdsAreSecurityCentersOwn)
{
    EXPECT_EQ(Text(CLSID_WscAVStatus), L"{F2102C37-90C3-450C-B3F6-92BE1693BDF2}");
    EXPECT_EQ(Text(IID_IWscAVStatus), L"{3901A765-AB91-4BA9-A553-5B8538DEB840}");
    EXPECT_EQ(Text(IID_IWscAVStatus2), L"{206D9C96-ACDF-484B-833E-DEB914565E44}");
    EXPECT_EQ(Text(IID_IWscAVStatus4), L"{4DCBAFAC-29BA-46B1-80FC-B8BDE3C0AE4D}");
}

// The slot of a virtual function in its interface's table. The compilers for this target keep a
// pointer to a virtual member as one plus the slot's byte offset in the table.
template <typename Method>
std::uintptr_t SlotOf(Method method)
{
    static_assert(sizeof(method) >= sizeof(std::uintptr_t));
    std::uintptr_t encoded = 0;
    std::memcpy(&encoded, &method, sizeof(encoded));
    return (encoded - 1) / sizeof(void*);
}

TEST(SecurityCenterInterfacesTest, EachCallSitsInItsSlot)
{
    EXPECT_EQ(SlotOf(&IUnknown::Release), 2u) << "the way of counting";
    EXPECT_EQ(SlotOf(&IWscAVStatus::Register), 3u);
    EXPECT_EQ(SlotOf(&IWscAVStatus::Unregister), 4u);
    EXPECT_EQ(SlotOf(&IWscAVStatus::UpdateStatus), 5u);
    EXPECT_EQ(SlotOf(&IWscAVStatus2::NotifyUserForNearExpiration), 7u);
    EXPECT_EQ(SlotOf(&IWscAVStatus4::UpdateScanSubstatus), 10u);
    EXPECT_EQ(SlotOf(&IWscAVStatus4::UpdateSettingsSubstatus), 11u);
    EXPECT_EQ(SlotOf(&IWscAVStatus4::UpdateProtectionUpdateSubstatus), 12u);
}

}  // namespace
