#include "security_center/ComPointer.h"
#include "security_center/SecurityCenterInterfaces.h"
#include "simulator/SimulatorFixture.h"

#include <wbemcli.h>

#include <map>
#include <string>
#include <vector>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::Simulator::ServiceMode;
using Tessaro::Simulator::SimulatorState;

struct ListedProduct {
    std::wstring name;
    std::wstring reporting;
    std::wstring product;
    LONG productState = -1;
};

std::wstring StringProperty(IWbemClassObject* object, const wchar_t* name)
{
    Variant value;
    if (SUCCEEDED(object->Get(name, 0, value.Get(), nullptr, nullptr)) && value->vt == VT_BSTR) {
        return std::wstring(value->bstrVal, SysStringLen(value->bstrVal));
    }
    return {};
}

// The AntiVirusProduct list through the WMI locator, as any WMI client reads it.
std::vector<ListedProduct> ListOverWmi()
{
    ComPointer<IWbemLocator> locator;
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IWbemLocator,
                               locator.OutVoid()),
              S_OK);
    ComPointer<IWbemServices> services;
    const Bstr path(L"\\\\.\\root\\SecurityCenter2");
    EXPECT_EQ(locator->ConnectServer(path.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.Out()), S_OK);
    ComPointer<IEnumWbemClassObject> enumerator;
    const Bstr language(L"WQL");
    const Bstr query(L"SELECT * FROM AntiVirusProduct");
    EXPECT_EQ(services->ExecQuery(language.Get(), query.Get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                  nullptr, enumerator.Out()),
              S_OK);
    std::vector<ListedProduct> products;
    for (;;) {
        ComPointer<IWbemClassObject> object;
        ULONG returned = 0;
        if (FAILED(enumerator->Next(WBEM_INFINITE, 1, object.Out(), &returned)) || returned == 0) {
            break;
        }
        ListedProduct product{StringProperty(object.Get(), L"displayName"),
                              StringProperty(object.Get(), L"pathToSignedReportingExe"),
                              StringProperty(object.Get(), L"pathToSignedProductExe")};
        Variant state;
        if (SUCCEEDED(object->Get(L"productState", 0, state.Get(), nullptr, nullptr)) && state->vt == VT_I4) {
            product.productState = state->lVal;
        }
        products.push_back(product);
    }
    return products;
}

std::map<std::wstring, LONG> StatesByName()
{
    std::map<std::wstring, LONG> states;
    for (const auto& product : ListOverWmi()) {
        states[product.name] = product.productState;
    }
    return states;
}

class SimulatorTest : public Tessaro::Testing::SimulatorFixture {
protected:
    template <typename Interface>
    HRESULT Acquire(REFIID iid, ComPointer<Interface>& status)
    {
        ComPointer<IUnknown> object;
        const HRESULT created =
            CoCreateInstance(CLSID_WscAVStatus, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.OutVoid());
        if (FAILED(created)) {
            return created;
        }
        return object->QueryInterface(iid, status.OutVoid());
    }
};

TEST_F(SimulatorTest, RegisteredProductAppearsOverWmiWithItsEncodedState)
{
    ComPointer<IWscAVStatus> status;
    ASSERT_EQ(Acquire(IID_IWscAVStatus, status), S_OK);
    const Bstr path(L"C:\\Program Files\\Product\\ravelin.exe");
    const Bstr name(L"Test Antivirus");
    ASSERT_EQ(status->Register(path.Get(), name.Get(), 0, 0), S_OK);

    ASSERT_EQ(status->UpdateStatus(0, 0), S_OK);  // on, not up to date
    const auto products = ListOverWmi();
    ASSERT_EQ(products.size(), 2u);
    EXPECT_EQ(products[0].name, L"Windows Defender");
    EXPECT_EQ(products[0].productState, 0x0000) << "the built-in entry turns off for a product that is on";
    EXPECT_EQ(products[1].name, L"Test Antivirus");
    EXPECT_EQ(products[1].productState, 0x1010);
    EXPECT_EQ(products[1].reporting, L"C:\\Program Files\\Product\\ravelin.exe");
    EXPECT_EQ(products[1].product, products[1].reporting);

    const std::pair<LONG, LONG> updates[] = {{0, 1}, {1, 1}, {2, 1}, {3, 0}};
    const LONG expected[] = {0x1000, 0x0000, 0x2000, 0x3010};
    for (int index = 0; index < 4; ++index) {
        ASSERT_EQ(status->UpdateStatus(updates[index].first, updates[index].second), S_OK);
        EXPECT_EQ(StatesByName()[L"Test Antivirus"], expected[index]) << index;
    }
    EXPECT_EQ(StatesByName()[L"Windows Defender"], 0x1000) << "back on when no third-party product is";
}

}  // namespace
