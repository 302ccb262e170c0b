#include "security_center/WindowsSecurityCenterProducts.h"
#include "common/foundation/Format.h"
#include "common/OnDemandApi.h"

#include "common/foundation/StringConversion.h"
#include "configuration/Configuration.h"
#include "diagnostics/HResultConversion.h"
#include "diagnostics/Log.h"
#include "security_center/com/ComApartment.h"
#include "security_center/com/ComPointer.h"
#include "security_center/SecurityCenterState.h"

#include <wbemcli.h>
#include <windows.h>

#include <iterator>
#include <string>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::ConvertHResultToErrorCode;
using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;
using Vantrel::Common::Result;
using Vantrel::Common::Utilities::FileInfo;
using Vantrel::Common::Utilities::IsSamePath;
using Product = WindowsSecurityCenterProducts::TessaroSecurityCenterAgentProduct;
using Products = WindowsSecurityCenterProducts::Products;

constexpr auto Component = LogComponent::SecurityCenter;
constexpr const wchar_t* Namespace = L"\\\\.\\root\\SecurityCenter2";
constexpr const char* Query = "SELECT * FROM AntiVirusProduct";
constexpr DWORD LocalContexts = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;

// A property that cannot be read, or whose text is not valid UTF-16, is empty: another product's
// malformed entry must not stop the agent's own command.
std::string StringProperty(IWbemClassObject* object, const wchar_t* name)
{
    Variant value;
    std::string text;
    if (SUCCEEDED(object->Get(name, 0, value.Get(), nullptr, nullptr)) && value->vt == VT_BSTR &&
        value->bstrVal != nullptr) {
        try {
            text = Utf16ToUtf8(std::wstring(value->bstrVal, OnDemand::SysStringLen(value->bstrVal)));
        } catch (const std::exception&) {
            text.clear();
        }
    }
    return text;
}

std::uint32_t NumberProperty(IWbemClassObject* object, const wchar_t* name)
{
    Variant value;
    if (SUCCEEDED(object->Get(name, 0, value.Get(), nullptr, nullptr)) && (value->vt == VT_I4 || value->vt == VT_UI4)) {
        return value->vt == VT_I4 ? static_cast<std::uint32_t>(value->lVal) : value->ulVal;
    }
    return 0;
}

void LogProduct(const Product& product)
{
    LogFormat(Component, LogLevel::Info,
              "- Product: {} | UpToDate: {} | State: {} | Time: {} | Guid: {} | Product: {} | Reporting: {}",
              product.name, product.upToDate ? "true" : "false", product.stateText, product.timestamp,
              product.instanceGuid, product.productExecutable.Utf8(), product.reportingExecutable.Utf8());
}

// The security of a WMI proxy as Microsoft's documentation asks of WMI clients: calls
// authenticated, and the provider allowed to impersonate the agent (otherwise the level is the
// machine's default, Identify, too low for providers that impersonate). An object that is no proxy
// (a provider in this process) has no security to set. A failure leaves the query to go on with the
// default, and says so.
void SetWmiProxySecurity(IUnknown* proxy, const char* which)
{
    const HRESULT hresult =
        OnDemand::CoSetProxyBlanket(proxy, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hresult) && hresult != E_NOINTERFACE) {
        LogFormat(Component, LogLevel::Warn, "Failed to set the security of the WMI {} (Error: 0x{:08X})", which,
                  static_cast<std::uint32_t>(hresult));
    }
}

Result<ComPointer<IWbemServices>> ConnectSecurityCenterNamespace()
{
    using Connection = Result<ComPointer<IWbemServices>>;
    ComPointer<IWbemLocator> locator;
    HRESULT hresult =
        OnDemand::CoCreateInstance(CLSID_WbemLocator, nullptr, LocalContexts, IID_IWbemLocator, locator.OutVoid());
    if (FAILED(hresult)) {
        return Connection(ConvertHResultToErrorCode(hresult), "Can't create WMI instance");
    }
    const Bstr path(Namespace);
    ComPointer<IWbemServices> services;
    hresult = locator->ConnectServer(path.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.Out());
    if (FAILED(hresult)) {
        return Connection(ConvertHResultToErrorCode(hresult), "Can't connect WMI instance");
    }
    SetWmiProxySecurity(services.Get(), "services");
    return Connection(std::move(services));
}

}  // namespace

WindowsSecurityCenterProducts::WindowsSecurityCenterProducts(Configuration& configuration)
    : configuration_(configuration)
{
}

void WindowsSecurityCenterProducts::DecodeProductState(std::uint32_t productState, Product& product)
{
    product.upToDate = (productState & 0xF0) == 0;
    // The state nibble in the order Security Center numbers it; any other value reads as snoozed.
    struct Known {
        SecurityCenterState state;
        const char* text;
    };
    constexpr Known States[] = {{SecurityCenterState::Off, "Off"},
                                {SecurityCenterState::On, "On"},
                                {SecurityCenterState::Snoozed, "Snoozed"},
                                {SecurityCenterState::Expired, "Expired"}};
    const std::uint32_t code = (productState >> 12) & 0xF;
    if (code < std::size(States)) {
        product.state = static_cast<std::uint32_t>(States[code].state);
        product.stateText = States[code].text;
    } else {
        product.state = static_cast<std::uint32_t>(SecurityCenterState::Snoozed);
        product.stateText = "Unknown (" + std::to_string(code) + ")";
    }
}

Result<Products> WindowsSecurityCenterProducts::ListProducts()
{
    auto services = ConnectSecurityCenterNamespace();
    if (!services.Succeeded()) {
        return Result<Products>(services.ErrorCode(), services.Message());
    }
    const Bstr language(L"WQL");
    const Bstr query(Utf8ToUtf16(Query));
    ComPointer<IEnumWbemClassObject> enumerator;
    HRESULT hresult = services.Value()->ExecQuery(
        language.Get(), query.Get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, nullptr, enumerator.Out());
    if (FAILED(hresult)) {
        return Result<Products>(ConvertHResultToErrorCode(hresult), Format("Can't execute request {}", Query));
    }
    SetWmiProxySecurity(enumerator.Get(), "enumerator");
    Products products;
    for (;;) {
        ComPointer<IWbemClassObject> object;
        ULONG returned = 0;
        hresult = enumerator->Next(WBEM_INFINITE, 1, object.Out(), &returned);
        if (FAILED(hresult)) {
            return Result<Products>(ConvertHResultToErrorCode(hresult), "Can't get next WMI element");
        }
        if (returned == 0) {
            return Result<Products>(std::move(products));
        }
        Product product;
        product.name = StringProperty(object.Get(), L"displayName");
        product.reportingExecutable =
            FileInfo::FromUntrustedText(Utf8ToUtf16(StringProperty(object.Get(), L"pathToSignedReportingExe")));
        product.productExecutable =
            FileInfo::FromUntrustedText(Utf8ToUtf16(StringProperty(object.Get(), L"pathToSignedProductExe")));
        product.timestamp = StringProperty(object.Get(), L"timestamp");
        product.instanceGuid = StringProperty(object.Get(), L"instanceGuid");
        DecodeProductState(NumberProperty(object.Get(), L"productState"), product);
        products.push_back(std::move(product));
    }
}

Result<bool> WindowsSecurityCenterProducts::SearchAntivirusProduct(Products& all, Products& matching,
                                                                   const std::string& displayName,
                                                                   const FileInfo& reportingExecutable)
{
    const ComApartment apartment;
    if (!apartment.Entered()) {
        const auto code = ConvertHResultToErrorCode(apartment.Result());
        LogFormat(Component, LogLevel::Error, "Unable to initialize COM (Error: {})", code);
        return Result<bool>(false, code);
    }
    auto products = ListProducts();
    if (!products.Succeeded()) {
        if (products.ErrorCode() != ERROR_SHUTDOWN_IN_PROGRESS) {
            LogFormat(Component, LogLevel::Error, "Failed to search for the registered products (Error: {})",
                      products.ErrorCode());
        }
        return Result<bool>(false, products.ErrorCode(), products.Message());
    }
    for (auto& product : products.Value()) {
        all.push_back(product);
        if (product.name == displayName && IsSamePath(product.reportingExecutable, reportingExecutable) &&
            IsSamePath(product.productExecutable, reportingExecutable)) {
            matching.push_back(product);
        }
    }
    return Result<bool>(!matching.empty());
}

Result<ProductState> WindowsSecurityCenterProducts::GetOwnProductState()
{
    auto& configuration = configuration_;
    const std::string name = configuration.GetDisplayName();
    if (name.empty()) {
        return Result<ProductState>(ProductState::Off, ERROR_INVALID_PARAMETER);
    }
    const FileInfo executable = configuration.GetReportingExecutable();
    Products all;
    Products matching;
    const auto found = SearchAntivirusProduct(all, matching, name, executable);
    if (!found.Succeeded()) {
        return Result<ProductState>(ProductState::Off, found.ErrorCode(), found.Message());
    }
    LogFormat(Component, LogLevel::Info, "Search in products for the state of: {} ({})", name, executable.Utf8());
    for (const auto& product : all) {
        LogProduct(product);
    }
    if (matching.empty()) {
        return Result<ProductState>(ProductState::Unregistered);
    }
    return Result<ProductState>(FromSecurityCenterState(static_cast<SecurityCenterState>(matching.front().state)));
}

void WindowsSecurityCenterProducts::ListRegisteredProducts()
{
    auto& configuration = configuration_;
    const std::string name = configuration.GetDisplayName();
    if (name.empty()) {
        return;
    }
    const FileInfo executable = configuration.GetReportingExecutable();
    Products all;
    Products matching;
    if (!SearchAntivirusProduct(all, matching, name, executable).Succeeded()) {
        return;
    }
    LogFormat(Component, LogLevel::Info, "List registered products: {} ({})", name, executable.Utf8());
    for (const auto& product : all) {
        LogProduct(product);
    }
}

}  // namespace Tessaro::Ravelin
