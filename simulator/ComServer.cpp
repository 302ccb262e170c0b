// wscsim.dll: the in-process COM server of the simulated Security Center. It serves the
// antivirus status class and, in a test prefix where it is installed over the platform's, the
// WMI locator class.

#include "ComObject.h"
#include "SimulatorState.h"
#include "StatusObject.h"
#include "WmiProvider.h"
#include "common/RegistryKey.h"
#include "security_center/com/SecurityCenterInterfaces.h"
#include "common/foundation/FileSystem.h"

#include <objbase.h>
#include <wbemcli.h>
#include <windows.h>

#include <string>

namespace Tessaro::Simulator {

std::atomic<long>& LiveObjects()
{
    static std::atomic<long> count{0};
    return count;
}

namespace {

using Vantrel::Common::Utilities::RegistryKey;

// {4590F811-1D3A-11D0-891F-00AA004B2E24}
constexpr CLSID CLSID_WbemLocatorClass = {0x4590f811, 0x1d3a, 0x11d0, {0x89, 0x1f, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
constexpr const wchar_t* StatusClassKey = L"SOFTWARE\\Classes\\CLSID\\{F2102C37-90C3-450C-B3F6-92BE1693BDF2}";
constexpr const wchar_t* LocatorServerKey =
    L"SOFTWARE\\Classes\\CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";

HMODULE ThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

std::wstring ThisModulePath()
{
    return Tessaro::Vantrel::Common::Utilities::ModulePath(ThisModule());
}

using Creator = HRESULT (*)(REFIID, void**);

class ClassFactory final : public IClassFactory, public ReferenceCounted {
public:
    explicit ClassFactory(Creator creator) : creator_(creator) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            AddReference();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    SIMULATOR_IUNKNOWN_REFERENCES

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return creator_(iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    Creator creator_;
};

std::uint32_t SetServer(const std::wstring& keyPath, const std::wstring& path)
{
    RegistryKey key(HKEY_LOCAL_MACHINE, keyPath);
    if (const auto code = key.CreateRecursively(); code != ERROR_SUCCESS) {
        return code;
    }
    if (const auto code = key.SetString(std::wstring(), path); code != ERROR_SUCCESS) {
        return code;
    }
    return key.SetString(L"ThreadingModel", L"Both");
}

}  // namespace

}  // namespace Tessaro::Simulator

using namespace Tessaro::Simulator;

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    Creator creator = nullptr;
    if (clsid == Tessaro::Ravelin::CLSID_WscAVStatus) {
        creator = &CreateStatusObject;
    } else if (clsid == CLSID_WbemLocatorClass) {
        creator = &CreateWmiLocator;
    } else {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return HandOut<IClassFactory>(new ClassFactory(creator), iid, object);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return LiveObjects() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    const std::wstring path = ThisModulePath();
    if (const auto code = SetServer(std::wstring(StatusClassKey) + L"\\InprocServer32", path); code != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(code);
    }
    RegistryKey status(HKEY_LOCAL_MACHINE, StatusClassKey);
    status.SetString(std::wstring(), L"Windows Security Center antivirus status (Ravelin simulator)");
    // Keep the platform's locator server so that uninstalling restores it.
    RegistryKey locator(HKEY_LOCAL_MACHINE, LocatorServerKey);
    const std::wstring current = locator.GetString(std::wstring(), std::wstring()).Value();
    if (!current.empty() && current != path) {
        SimulatorState::SetValue(L"OriginalWbemLocator", current);
    }
    const auto code = SetServer(LocatorServerKey, path);
    return code == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(code);
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    RegistryKey(HKEY_LOCAL_MACHINE, StatusClassKey).DeleteTree();
    const std::wstring original = SimulatorState::GetValue(L"OriginalWbemLocator");
    RegistryKey locator(HKEY_LOCAL_MACHINE, LocatorServerKey);
    if (!original.empty()) {
        locator.SetString(std::wstring(), original);
    }
    return S_OK;
}
