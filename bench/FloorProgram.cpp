// floor.exe: the platform work of one "/UPDATE_WSC=ENABLE" and nothing else, as the benchmark's
// yardstick for the agent's overhead. It enters COM, lists Security Center's antivirus products
// over WMI twice (reading each entry's properties, as the agent's listing does), writes the
// antivirus state and the three sub-states through the status object, and leaves COM.

#include "security_center/com/SecurityCenterInterfaces.h"

#include <objbase.h>
#include <wbemidl.h>
#include <windows.h>

#include <initializer_list>

namespace {

using namespace Tessaro::Ravelin;

void ListProducts()
{
    IWbemLocator* locator = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(&locator)))) {
        return;
    }
    BSTR path = SysAllocString(L"\\\\.\\root\\SecurityCenter2");
    IWbemServices* services = nullptr;
    if (SUCCEEDED(locator->ConnectServer(path, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services))) {
        BSTR language = SysAllocString(L"WQL");
        BSTR query = SysAllocString(L"SELECT * FROM AntiVirusProduct");
        IEnumWbemClassObject* products = nullptr;
        if (SUCCEEDED(services->ExecQuery(language, query, WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                          nullptr, &products))) {
            IWbemClassObject* product = nullptr;
            ULONG returned = 0;
            while (products->Next(WBEM_INFINITE, 1, &product, &returned) == S_OK && returned == 1) {
                for (const wchar_t* name : {L"displayName", L"productState", L"pathToSignedReportingExe",
                                            L"pathToSignedProductExe", L"timestamp", L"instanceGuid"}) {
                    VARIANT value;
                    VariantInit(&value);
                    product->Get(name, 0, &value, nullptr, nullptr);
                    VariantClear(&value);
                }
                product->Release();
            }
            products->Release();
        }
        SysFreeString(query);
        SysFreeString(language);
        services->Release();
    }
    SysFreeString(path);
    locator->Release();
}

void WriteStateAndSubStates()
{
    IWscAVStatus* status = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WscAVStatus, nullptr, CLSCTX_INPROC_SERVER, IID_IWscAVStatus,
                                reinterpret_cast<void**>(&status)))) {
        return;
    }
    status->UpdateStatus(0, 1);
    IWscAVStatus4* subStates = nullptr;
    if (SUCCEEDED(status->QueryInterface(IID_IWscAVStatus4, reinterpret_cast<void**>(&subStates)))) {
        subStates->UpdateSettingsSubstatus(1);
        subStates->UpdateProtectionUpdateSubstatus(1);
        subStates->UpdateScanSubstatus(1);
        subStates->Release();
    }
    status->Release();
}

}  // namespace

int main()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        return 1;
    }
    ListProducts();
    WriteStateAndSubStates();
    ListProducts();
    CoUninitialize();
    return 0;
}
