// The Security Center interfaces are declared by hand and shared by the agent and the simulator, so
// a wrong id or a call in the wrong slot would pass every other test. These check them against the
// ids and slots Security Center defines, by calling through the raw tables as Security Center's
// own object would be called.

#include "security_center/SecurityCenterInterfaces.h"

#include <gtest/gtest.h>
#include <objbase.h>

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

// Each implementation writes down which call reached it and with what.
template <typename Interface>
class Recorder : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    // The function in the given slot of this object's table.
    template <typename Function>
    Function Slot(int slot)
    {
        return reinterpret_cast<Function>((*reinterpret_cast<void***>(this))[slot]);
    }

    std::wstring called;
};

class StatusRecorder : public Recorder<IWscAVStatus> {
public:
    HRESULT STDMETHODCALLTYPE Register(BSTR path, BSTR name, LONG, LONG) override
    {
        called = std::wstring(L"Register ") + path + L" " + name;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unregister() override
    {
        called = L"Unregister";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UpdateStatus(LONG state, LONG upToDate) override
    {
        called = L"UpdateStatus " + std::to_wstring(state) + L" " + std::to_wstring(upToDate);
        return S_OK;
    }
};

class Status2Recorder : public Recorder<IWscAVStatus2> {
public:
    HRESULT STDMETHODCALLTYPE UnusedSlot3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NotifyUserForNearExpiration(ULONG days) override
    {
        called = L"Notify " + std::to_wstring(days);
        return S_OK;
    }
};

class Status4Recorder : public Recorder<IWscAVStatus4> {
public:
    HRESULT STDMETHODCALLTYPE UnusedSlot3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot9() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UpdateScanSubstatus(LONG value) override { return Record(L"CurrentThreats", value); }
    HRESULT STDMETHODCALLTYPE UpdateSettingsSubstatus(LONG value) override { return Record(L"Settings", value); }
    HRESULT STDMETHODCALLTYPE UpdateProtectionUpdateSubstatus(LONG value) override { return Record(L"Updates", value); }

private:
    HRESULT Record(const wchar_t* name, LONG value)
    {
        called = name + std::wstring(L" ") + std::to_wstring(value);
        return S_OK;
    }
};

TEST(SecurityCenterInterfacesTest, EachCallSitsInItsSlot)
{
    StatusRecorder status;
    wchar_t path[] = L"C:\\ravelin.exe";
    wchar_t name[] = L"Antivirus";
    status.Slot<HRESULT(STDMETHODCALLTYPE*)(void*, BSTR, BSTR, LONG, LONG)>(3)(&status, path, name, 0, 0);
    EXPECT_EQ(status.called, L"Register C:\\ravelin.exe Antivirus");
    status.Slot<HRESULT(STDMETHODCALLTYPE*)(void*)>(4)(&status);
    EXPECT_EQ(status.called, L"Unregister");
    status.Slot<HRESULT(STDMETHODCALLTYPE*)(void*, LONG, LONG)>(5)(&status, 3, 1);
    EXPECT_EQ(status.called, L"UpdateStatus 3 1");

    Status2Recorder notice;
    notice.Slot<HRESULT(STDMETHODCALLTYPE*)(void*, ULONG)>(7)(&notice, 30);
    EXPECT_EQ(notice.called, L"Notify 30");

    Status4Recorder subStates;
    using SubStateCall = HRESULT(STDMETHODCALLTYPE*)(void*, LONG);
    subStates.Slot<SubStateCall>(10)(&subStates, 1);
    EXPECT_EQ(subStates.called, L"CurrentThreats 1");
    subStates.Slot<SubStateCall>(11)(&subStates, 2);
    EXPECT_EQ(subStates.called, L"Settings 2");
    subStates.Slot<SubStateCall>(12)(&subStates, 3);
    EXPECT_EQ(subStates.called, L"Updates 3");
}

}  // namespace
