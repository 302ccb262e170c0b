#include "WmiProvider.h"

#include "ComObject.h"
#include "SimulatorState.h"

#include <wbemcli.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

namespace Tessaro::Simulator {

namespace {

constexpr const wchar_t* SecurityCenterNamespace = L"\\\\.\\root\\SecurityCenter2";
constexpr const wchar_t* ProductQuery = L"select * from antivirusproduct";

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

// The query with its white space reduced to single blanks, in lower case.
std::wstring CanonicalQuery(const std::wstring& query)
{
    std::wstring canonical;
    for (const wchar_t c : query) {
        if (std::iswspace(c)) {
            if (!canonical.empty() && canonical.back() != L' ') {
                canonical += L' ';
            }
        } else {
            canonical += static_cast<wchar_t>(std::towlower(c));
        }
    }
    if (!canonical.empty() && canonical.back() == L' ') {
        canonical.pop_back();
    }
    return canonical;
}

std::wstring Text(BSTR text)
{
    return text != nullptr ? std::wstring(text, SysStringLen(text)) : std::wstring{};
}

// Answers a call with its scripted fault, if one is left, and journals it.
bool Faulted(const wchar_t* call, HRESULT& answer)
{
    if (const auto fault = SimulatorState::TakeFault(call)) {
        answer = static_cast<HRESULT>(*fault);
        SimulatorState::Record(call, std::wstring(), *fault);
        return true;
    }
    return false;
}

template <typename Interface>
HRESULT QueryOne(Interface* self, REFIID wanted, REFIID iid, void** object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == wanted) {
        *object = self;
        self->AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

class ProductObject final : public IWbemClassObject, public ReferenceCounted {
public:
    explicit ProductObject(Product product) : product_(std::move(product)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return QueryOne<IWbemClassObject>(this, IID_IWbemClassObject, iid, object);
    }
    SIMULATOR_IUNKNOWN_REFERENCES

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override
    {
        HRESULT answer = S_OK;
        if (Faulted(L"Get", answer)) {
            return answer;
        }
        if (name == nullptr || value == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        VariantInit(value);
        const std::wstring property = Lower(name);
        if (property == L"productstate") {
            value->vt = VT_I4;
            value->lVal = static_cast<LONG>(EncodeProductState(product_.state, product_.upToDate));
            SetOrigin(type, CIM_UINT32, flavor);
            return S_OK;
        }
        const std::wstring* text = property == L"displayname"                ? &product_.displayName
                                   : property == L"pathtosignedreportingexe" ? &product_.path
                                   : property == L"pathtosignedproductexe"
                                       ? (product_.productPath.empty() ? &product_.path : &product_.productPath)
                                   : property == L"timestamp"    ? &product_.timestamp
                                   : property == L"instanceguid" ? &product_.instanceGuid
                                                                 : nullptr;
        if (text == nullptr) {
            return WBEM_E_NOT_FOUND;
        }
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
        SetOrigin(type, CIM_STRING, flavor);
        return value->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }

private:
    static void SetOrigin(CIMTYPE* type, CIMTYPE value, LONG* flavor)
    {
        if (type != nullptr) {
            *type = value;
        }
        if (flavor != nullptr) {
            *flavor = WBEM_FLAVOR_ORIGIN_PROPAGATED;
        }
    }

    Product product_;
};

// The security of a proxy, which the real WMI objects reach the agent through: each setting is
// journalled ("SetBlanket" with the proxy and the levels asked for) or answered by a scripted fault.
class ProxySecurity : public IClientSecurity {
public:
    explicit ProxySecurity(const wchar_t* proxyName) : proxyName_(proxyName) {}

    HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**,
                                           DWORD*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authentication, DWORD, OLECHAR*, DWORD authenticationLevel,
                                         DWORD impersonationLevel, void*, DWORD) override
    {
        HRESULT answer = S_OK;
        if (Faulted(L"SetBlanket", answer)) {
            return answer;
        }
        SimulatorState::Record(L"SetBlanket",
                               std::wstring(proxyName_) + L": authentication " + std::to_wstring(authentication) +
                                   L", level " + std::to_wstring(authenticationLevel) + L", impersonation " +
                                   std::to_wstring(impersonationLevel),
                               S_OK);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }

protected:
    // IClientSecurity from the object's QueryInterface, IUnknown and the object's own interface
    // from QueryOne.
    template <typename Interface>
    HRESULT QueryWithSecurity(Interface* self, REFIID wanted, REFIID iid, void** object)
    {
        if (object != nullptr && iid == IID_IClientSecurity) {
            *object = static_cast<IClientSecurity*>(this);
            AddRef();
            return S_OK;
        }
        return QueryOne<Interface>(self, wanted, iid, object);
    }

private:
    const wchar_t* proxyName_;
};

class ProductEnumerator final : public IEnumWbemClassObject, public ProxySecurity, public ReferenceCounted {
public:
    explicit ProductEnumerator(std::vector<Product> products)
        : ProxySecurity(L"enumerator"), products_(std::move(products))
    {
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return QueryWithSecurity<IEnumWbemClassObject>(this, IID_IEnumWbemClassObject, iid, object);
    }
    SIMULATOR_IUNKNOWN_REFERENCES

    HRESULT STDMETHODCALLTYPE Next(LONG, ULONG count, IWbemClassObject** objects, ULONG* returned) override
    {
        HRESULT answer = S_OK;
        if (Faulted(L"Next", answer)) {
            return answer;
        }
        if (objects == nullptr || returned == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *returned = 0;
        while (*returned < count && next_ < products_.size()) {
            objects[(*returned)++] = new ProductObject(products_[next_++]);
        }
        return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        next_ = 0;
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return WBEM_E_NOT_SUPPORTED; }

private:
    std::vector<Product> products_;
    std::size_t next_ = 0;
};

class SecurityCenterServices final : public IWbemServices, public ProxySecurity, public ReferenceCounted {
public:
    SecurityCenterServices() : ProxySecurity(L"services") {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return QueryWithSecurity<IWbemServices>(this, IID_IWbemServices, iid, object);
    }
    SIMULATOR_IUNKNOWN_REFERENCES

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG, IWbemContext*,
                                        IEnumWbemClassObject** enumerator) override
    {
        HRESULT answer = S_OK;
        if (Faulted(L"ExecQuery", answer)) {
            return answer;
        }
        if (enumerator == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *enumerator = nullptr;
        if (Lower(Text(language)) != L"wql" || CanonicalQuery(Text(query)) != ProductQuery) {
            SimulatorState::Record(L"ExecQuery", Text(query), static_cast<std::uint32_t>(WBEM_E_NOT_SUPPORTED));
            return WBEM_E_NOT_SUPPORTED;
        }
        *enumerator = new ProductEnumerator(SimulatorState::Products());
        SimulatorState::Record(L"ExecQuery", Text(query), S_OK);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                            IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                    IEnumWbemClassObject**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                         IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                         IWbemClassObject**, IWbemCallResult**) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                              IWbemObjectSink*) override
    {
        return WBEM_E_NOT_SUPPORTED;
    }
};

class Locator final : public IWbemLocator, public ReferenceCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return QueryOne<IWbemLocator>(this, IID_IWbemLocator, iid, object);
    }
    SIMULATOR_IUNKNOWN_REFERENCES

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR, const BSTR, const BSTR, LONG, const BSTR,
                                            IWbemContext*, IWbemServices** services) override
    {
        HRESULT answer = S_OK;
        if (Faulted(L"ConnectServer", answer)) {
            return answer;
        }
        if (services == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *services = nullptr;
        // Namespaces are named without regard to letter case.
        if (Lower(Text(resource)) != Lower(SecurityCenterNamespace)) {
            SimulatorState::Record(L"ConnectServer", Text(resource),
                                   static_cast<std::uint32_t>(WBEM_E_INVALID_NAMESPACE));
            return WBEM_E_INVALID_NAMESPACE;
        }
        *services = new SecurityCenterServices();
        SimulatorState::Record(L"ConnectServer", Text(resource), S_OK);
        return S_OK;
    }
};

}  // namespace

HRESULT CreateWmiLocator(REFIID iid, void** object)
{
    HRESULT answer = S_OK;
    if (Faulted(L"CreateLocator", answer)) {
        return answer;
    }
    return HandOut<IWbemLocator>(new Locator(), iid, object);
}

}  // namespace Tessaro::Simulator
