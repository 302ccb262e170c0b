#pragma once

#include "common/foundation/Time.h"

#include "common/IServiceUtilities.h"
#include "common/OsInfoImpl.h"
#include "security_center/IComFactory.h"
#include "security_center/com/SecurityCenterInterfaces.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

// Stand-ins for Security Center, the operating system and the service control manager, each
// answering what a test scripts.
namespace Tessaro::Testing {

// A Security Center status object with the IWscAVStatus2 interface only; it records the
// near-expiration notices it is sent.
class FakeStatusObject : public Ravelin::IWscAVStatus2 {
public:
    HRESULT notifyAnswer = S_OK;
    std::vector<std::uint32_t> notices;
    // Called as each notice arrives, before it is recorded.
    std::function<void(std::uint32_t days)> onNotify;
    ULONG references = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == Ravelin::IID_IWscAVStatus2) {
            *object = static_cast<Ravelin::IWscAVStatus2*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE UnusedSlot3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NotifyUserForNearExpiration(ULONG days) override
    {
        if (onNotify) {
            onNotify(static_cast<std::uint32_t>(days));
        }
        notices.push_back(static_cast<std::uint32_t>(days));
        return notifyAnswer;
    }
};

// Creates the one fake status object, or fails with the scripted answer.
class FakeFactory : public Ravelin::IComFactory {
public:
    HRESULT answer = S_OK;
    FakeStatusObject object;
    int calls = 0;
    HRESULT CreateInstance(REFCLSID, IUnknown** created) override
    {
        ++calls;
        if (FAILED(answer)) {
            return answer;
        }
        object.AddRef();
        *created = &object;
        return S_OK;
    }
};

class FakeOsInfo : public OsInfoImpl {
public:
    bool recentBuild = true;
    bool workstation = true;
    bool IsBuild16241OrGreater() override { return recentBuild; }
    bool IsWorkstation() override { return workstation; }
};

// A clock that moves only by the pauses of the object it paces, which it records: a test sees each
// pause and every deadline without sleeping.
struct PausesOnly {
    TimePoint now = FromStoredSeconds(1'780'315'200);
    std::vector<Ticks> pauses;

    Pacing Pace()
    {
        return Pacing{[this] { return now; },
                      [this](Ticks duration) {
                          pauses.push_back(duration);
                          now += duration;
                      }};
    }
};

// A service whose status queries give the scripted answers in turn (the last one for ever), or
// raise.
class ScriptedService : public Vantrel::Common::Utilities::IServiceUtilities {
public:
    using ServiceStatus = Vantrel::Common::Utilities::ServiceStatus;
    using ServiceStartType = Vantrel::Common::Utilities::ServiceStartType;

    std::vector<Vantrel::Common::Result<ServiceStatus>> answers;
    int queries = 0;
    bool raise = false;
    Vantrel::Common::Result<ServiceStatus> QueryStatus() override
    {
        if (raise) {
            throw std::runtime_error("service query raised");
        }
        const auto& answer = answers[std::min<std::size_t>(queries, answers.size() - 1)];
        ++queries;
        return answer;
    }
    std::uint32_t Start() override { return 0; }
    std::uint32_t StartAndWait(std::chrono::seconds) override { return 0; }
    std::uint32_t Stop() override { return 0; }
    std::uint32_t StopAndWait(std::chrono::seconds) override { return 0; }
    Vantrel::Common::Result<ServiceStartType> QueryStartType() override
    {
        return Vantrel::Common::Result<ServiceStartType>(ServiceStartType::OnDemand);
    }
    std::uint32_t SetStartType(std::uint32_t) override { return 0; }
};

}  // namespace Tessaro::Testing
