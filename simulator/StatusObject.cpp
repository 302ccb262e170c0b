#include "StatusObject.h"

#include "ComObject.h"
#include "SimulatorState.h"
#include "security_center/com/SecurityCenterInterfaces.h"

#include <string>

namespace Tessaro::Simulator {

namespace {

using Ravelin::IID_IWscAVStatus;
using Ravelin::IID_IWscAVStatus2;
using Ravelin::IID_IWscAVStatus4;
using Ravelin::IWscAVStatus;
using Ravelin::IWscAVStatus2;
using Ravelin::IWscAVStatus4;

// What Security Center answers for a product that has no registration.
constexpr HRESULT NotRegistered = static_cast<HRESULT>(0x80070002);

std::wstring Text(BSTR text)
{
    return text != nullptr ? std::wstring(text, SysStringLen(text)) : std::wstring{};
}

// Runs one call: a scripted fault answers first; otherwise the call acts on the caller's own
// product. Every call lands in the journal with its answer.
template <typename Change>
HRESULT OnOwnProduct(const wchar_t* call, const std::wstring& arguments, Change change)
{
    HRESULT answer = S_OK;
    SimulatorState::Transaction([&] {
        if (const auto fault = SimulatorState::TakeFault(call)) {
            answer = static_cast<HRESULT>(*fault);
            return;
        }
        auto product = SimulatorState::FindByOwner(CallerIdentity());
        if (!product) {
            answer = NotRegistered;
            return;
        }
        change(*product);
        product->timestamp = CurrentTimeText();
        SimulatorState::Save(*product);
    });
    SimulatorState::Record(call, arguments, static_cast<std::uint32_t>(answer));
    return answer;
}

class StatusObject final : public IWscAVStatus, public IWscAVStatus2, public IWscAVStatus4, public ReferenceCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        const wchar_t* name = iid == IID_IWscAVStatus    ? L"QueryInterface.IWscAVStatus"
                              : iid == IID_IWscAVStatus2 ? L"QueryInterface.IWscAVStatus2"
                              : iid == IID_IWscAVStatus4 ? L"QueryInterface.IWscAVStatus4"
                                                         : nullptr;
        if (name != nullptr) {
            if (const auto fault = SimulatorState::TakeFault(name)) {
                SimulatorState::Record(name, std::wstring(), *fault);
                return static_cast<HRESULT>(*fault);
            }
        }
        if (iid == IID_IUnknown || iid == IID_IWscAVStatus) {
            *object = static_cast<IWscAVStatus*>(this);
        } else if (iid == IID_IWscAVStatus2) {
            *object = static_cast<IWscAVStatus2*>(this);
        } else if (iid == IID_IWscAVStatus4) {
            *object = static_cast<IWscAVStatus4*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddReference();
        return S_OK;
    }
    SIMULATOR_IUNKNOWN_REFERENCES

    HRESULT STDMETHODCALLTYPE Register(BSTR path, BSTR displayName, LONG reserved1, LONG reserved2) override
    {
        const std::wstring givenPath = Text(path);
        const std::wstring name = Text(displayName);
        HRESULT answer = S_OK;
        SimulatorState::Transaction([&] {
            if (const auto fault = SimulatorState::TakeFault(L"Register")) {
                answer = static_cast<HRESULT>(*fault);
                return;
            }
            // What the service would make of other values is not known: a stand-in that accepted
            // them would hide a caller that passes them.
            if (reserved1 != 0 || reserved2 != 0) {
                answer = E_INVALIDARG;
                return;
            }
            auto product = SimulatorState::FindByOwner(CallerIdentity()).value_or(Product{});
            if (product.instanceGuid.empty()) {
                GUID guid{};
                CoCreateGuid(&guid);
                wchar_t text[40] = {};
                StringFromGUID2(guid, text, 40);
                product.instanceGuid = text;
                product.owner = CallerIdentity();
            }
            product.displayName = name;
            product.path = givenPath;
            product.timestamp = CurrentTimeText();
            SimulatorState::Save(product);
        });
        SimulatorState::Record(L"Register", givenPath + L", " + name, static_cast<std::uint32_t>(answer));
        return answer;
    }

    HRESULT STDMETHODCALLTYPE Unregister() override
    {
        HRESULT answer = S_OK;
        SimulatorState::Transaction([&] {
            if (const auto fault = SimulatorState::TakeFault(L"Unregister")) {
                answer = static_cast<HRESULT>(*fault);
                return;
            }
            const auto product = SimulatorState::FindByOwner(CallerIdentity());
            if (!product) {
                answer = NotRegistered;
                return;
            }
            SimulatorState::Remove(product->instanceGuid);
        });
        SimulatorState::Record(L"Unregister", std::wstring(), static_cast<std::uint32_t>(answer));
        return answer;
    }

    HRESULT STDMETHODCALLTYPE UpdateStatus(LONG state, LONG upToDate) override
    {
        return OnOwnProduct(L"UpdateStatus", std::to_wstring(state) + L", " + std::to_wstring(upToDate),
                            [&](Product& product) {
                                product.state = static_cast<std::uint32_t>(state);
                                product.upToDate = upToDate != 0;
                            });
    }

    HRESULT STDMETHODCALLTYPE NotifyUserForNearExpiration(ULONG remainingDays) override
    {
        return OnOwnProduct(L"NotifyUserForNearExpiration", std::to_wstring(remainingDays), [&](Product& product) {
            product.lastNotification = std::to_wstring(remainingDays) + L" days at " + CurrentTimeText();
        });
    }

    HRESULT STDMETHODCALLTYPE UpdateScanSubstatus(LONG subState) override
    {
        return OnOwnProduct(L"UpdateScanSubstatus", std::to_wstring(subState),
                            [&](Product& product) { product.currentThreats = static_cast<std::uint32_t>(subState); });
    }

    HRESULT STDMETHODCALLTYPE UpdateSettingsSubstatus(LONG subState) override
    {
        return OnOwnProduct(L"UpdateSettingsSubstatus", std::to_wstring(subState), [&](Product& product) {
            product.protectionSettings = static_cast<std::uint32_t>(subState);
        });
    }

    HRESULT STDMETHODCALLTYPE UpdateProtectionUpdateSubstatus(LONG subState) override
    {
        return OnOwnProduct(L"UpdateProtectionUpdateSubstatus", std::to_wstring(subState), [&](Product& product) {
            product.protectionUpdates = static_cast<std::uint32_t>(subState);
        });
    }

    // Slots the agent never calls: the two interfaces that have them share these answers.
    HRESULT STDMETHODCALLTYPE UnusedSlot3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnusedSlot9() override { return E_NOTIMPL; }
};

}  // namespace

HRESULT CreateStatusObject(REFIID iid, void** object)
{
    if (const auto fault = SimulatorState::TakeFault(L"CreateInstance")) {
        SimulatorState::Record(L"CreateInstance", std::wstring(), *fault);
        return static_cast<HRESULT>(*fault);
    }
    return HandOut<IWscAVStatus>(new StatusObject(), iid, object);
}

}  // namespace Tessaro::Simulator
