#pragma once

// Security Center's antivirus status interfaces, declared from their interface ids and the slots
// the agent calls; the build headers do not have them. Slots that are never called are
// placeholders that keep the called ones at their places in the table.

#include <objbase.h>
#include <oaidl.h>

namespace Tessaro::Ravelin {

// {F2102C37-90C3-450C-B3F6-92BE1693BDF2}
inline constexpr CLSID CLSID_WscAVStatus = {
    0xf2102c37, 0x90c3, 0x450c, {0xb3, 0xf6, 0x92, 0xbe, 0x16, 0x93, 0xbd, 0xf2}};
// {3901A765-AB91-4BA9-A553-5B8538DEB840}
inline constexpr IID IID_IWscAVStatus = {0x3901a765, 0xab91, 0x4ba9, {0xa5, 0x53, 0x5b, 0x85, 0x38, 0xde, 0xb8, 0x40}};
// {206D9C96-ACDF-484B-833E-DEB914565E44}
inline constexpr IID IID_IWscAVStatus2 = {0x206d9c96, 0xacdf, 0x484b, {0x83, 0x3e, 0xde, 0xb9, 0x14, 0x56, 0x5e, 0x44}};
// {4DCBAFAC-29BA-46B1-80FC-B8BDE3C0AE4D}
inline constexpr IID IID_IWscAVStatus4 = {0x4dcbafac, 0x29ba, 0x46b1, {0x80, 0xfc, 0xb8, 0xbd, 0xe3, 0xc0, 0xae, 0x4d}};

struct IWscAVStatus : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Register(BSTR reportingExecutable, BSTR displayName, LONG reserved1,
                                               LONG reserved2) = 0;                        // slot 3
    virtual HRESULT STDMETHODCALLTYPE Unregister() = 0;                                    // slot 4
    virtual HRESULT STDMETHODCALLTYPE UpdateStatus(LONG productState, LONG upToDate) = 0;  // slot 5
};

struct IWscAVStatus2 : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE UnusedSlot3() = 0;
    virtual HRESULT STDMETHODCALLTYPE UnusedSlot4() = 0;
    virtual HRESULT STDMETHODCALLTYPE UnusedSlot5() = 0;
    virtual HRESULT STDMETHODCALLTYPE UnusedSlot6() = 0;
    virtual HRESULT STDMETHODCALLTYPE NotifyUserForNearExpiration(ULONG remainingDays) = 0;  // slot 7
};

struct IWscAVStatus4 : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE UnusedSlot3() = 0;
    virtual HRESULT STDMETHODCALLTYPE UnusedSlot4() = 0;
    virtual HRESULT STDMETHODCALLTYPE UnusedSlot5() = 0;
    virtual HRESULT STDMETHODCALLTYPE UnusedSlot6() = 0;
    virtual HRESULT STDMETHODCALLTYPE UnusedSlot7() = 0;
    virtual HRESULT STDMETHODCALLTYPE UnusedSlot8() = 0;
    virtual HRESULT STDMETHODCALLTYPE UnusedSlot9() = 0;
    virtual HRESULT STDMETHODCALLTYPE UpdateScanSubstatus(LONG subState) = 0;              // slot 10
    virtual HRESULT STDMETHODCALLTYPE UpdateSettingsSubstatus(LONG subState) = 0;          // slot 11
    virtual HRESULT STDMETHODCALLTYPE UpdateProtectionUpdateSubstatus(LONG subState) = 0;  // slot 12
};

}  // namespace Tessaro::Ravelin
