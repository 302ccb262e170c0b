#include "common/OnDemandApi.h"

#include "common/SystemLibrary.h"

// The declarations the on-demand calls take their types from.
#include <shlobj.h>
#include <winver.h>

namespace Tessaro::OnDemand {

namespace {

using Vantrel::Common::Utilities::SystemLibrary;

// Each library once for the whole process.
template <const wchar_t* FileName>
SystemLibrary& Library()
{
    static SystemLibrary library(FileName);
    return library;
}

constexpr wchar_t Ole32[] = L"ole32.dll";
constexpr wchar_t OleAut32[] = L"oleaut32.dll";
constexpr wchar_t Shell32[] = L"shell32.dll";
constexpr wchar_t Version[] = L"version.dll";
constexpr wchar_t Crypt32[] = L"crypt32.dll";
constexpr wchar_t Wintrust[] = L"wintrust.dll";

HRESULT Unavailable(DWORD missing)
{
    return HRESULT_FROM_WIN32(missing);
}

// For the calls that answer FALSE, null or 0 and leave the reason in the last error.
template <typename Result>
Result Unavailable(DWORD missing, Result failure)
{
    SetLastError(missing);
    return failure;
}

}  // namespace

// The procedure of the call, resolved once: `procedure`, or null with `missing` saying why (126 no
// library, 127 no such procedure).
#define RESOLVE_ON_DEMAND(library, call)                                                \
    static const auto procedure = Library<library>().Resolve<decltype(&::call)>(#call); \
    [[maybe_unused]] static const DWORD missing = procedure != nullptr ? ERROR_SUCCESS : GetLastError()

HRESULT CoInitializeEx(void* reserved, DWORD concurrencyModel)
{
    RESOLVE_ON_DEMAND(Ole32, CoInitializeEx);
    return procedure != nullptr ? procedure(reserved, concurrencyModel) : Unavailable(missing);
}

void CoUninitialize()
{
    RESOLVE_ON_DEMAND(Ole32, CoUninitialize);
    if (procedure != nullptr) {
        procedure();
    }
}

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR descriptor, LONG serviceCount, SOLE_AUTHENTICATION_SERVICE* services,
                             void* reserved1, DWORD authenticationLevel, DWORD impersonationLevel,
                             void* authenticationList, DWORD capabilities, void* reserved3)
{
    RESOLVE_ON_DEMAND(Ole32, CoInitializeSecurity);
    return procedure != nullptr ? procedure(descriptor, serviceCount, services, reserved1, authenticationLevel,
                                            impersonationLevel, authenticationList, capabilities, reserved3)
                                : Unavailable(missing);
}

HRESULT CoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID interfaceId, void** object)
{
    RESOLVE_ON_DEMAND(Ole32, CoCreateInstance);
    return procedure != nullptr ? procedure(classId, outer, context, interfaceId, object) : Unavailable(missing);
}

HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authenticationService, DWORD authorizationService,
                          OLECHAR* serverPrincipal, DWORD authenticationLevel, DWORD impersonationLevel,
                          RPC_AUTH_IDENTITY_HANDLE authenticationInfo, DWORD capabilities)
{
    RESOLVE_ON_DEMAND(Ole32, CoSetProxyBlanket);
    return procedure != nullptr ? procedure(proxy, authenticationService, authorizationService, serverPrincipal,
                                            authenticationLevel, impersonationLevel, authenticationInfo, capabilities)
                                : Unavailable(missing);
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length)
{
    RESOLVE_ON_DEMAND(OleAut32, SysAllocStringLen);
    return procedure != nullptr ? procedure(text, length) : Unavailable<BSTR>(missing, nullptr);
}

void SysFreeString(BSTR text)
{
    RESOLVE_ON_DEMAND(OleAut32, SysFreeString);
    if (procedure != nullptr) {
        procedure(text);
    }
}

UINT SysStringLen(BSTR text)
{
    RESOLVE_ON_DEMAND(OleAut32, SysStringLen);
    return procedure != nullptr ? procedure(text) : Unavailable<UINT>(missing, 0);
}

void VariantInit(VARIANTARG* value)
{
    RESOLVE_ON_DEMAND(OleAut32, VariantInit);
    if (procedure != nullptr) {
        procedure(value);
    } else {
        // What the platform's call does: an empty value, safe to clear.
        value->vt = VT_EMPTY;
    }
}

HRESULT VariantClear(VARIANTARG* value)
{
    RESOLVE_ON_DEMAND(OleAut32, VariantClear);
    return procedure != nullptr ? procedure(value) : Unavailable(missing);
}

BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int folder, BOOL create)
{
    RESOLVE_ON_DEMAND(Shell32, SHGetSpecialFolderPathW);
    return procedure != nullptr ? procedure(owner, path, folder, create) : Unavailable<BOOL>(missing, FALSE);
}

DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle)
{
    RESOLVE_ON_DEMAND(Version, GetFileVersionInfoSizeW);
    return procedure != nullptr ? procedure(fileName, handle) : Unavailable<DWORD>(missing, 0);
}

BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD size, LPVOID data)
{
    RESOLVE_ON_DEMAND(Version, GetFileVersionInfoW);
    return procedure != nullptr ? procedure(fileName, handle, size, data) : Unavailable<BOOL>(missing, FALSE);
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length)
{
    RESOLVE_ON_DEMAND(Version, VerQueryValueW);
    return procedure != nullptr ? procedure(block, subBlock, buffer, length) : Unavailable<BOOL>(missing, FALSE);
}

BOOL CryptQueryObject(DWORD objectType, const void* object, DWORD expectedContentTypes, DWORD expectedFormatTypes,
                      DWORD flags, DWORD* encoding, DWORD* contentType, DWORD* formatType, HCERTSTORE* store,
                      HCRYPTMSG* message, const void** context)
{
    RESOLVE_ON_DEMAND(Crypt32, CryptQueryObject);
    return procedure != nullptr ? procedure(objectType, object, expectedContentTypes, expectedFormatTypes, flags,
                                            encoding, contentType, formatType, store, message, context)
                                : Unavailable<BOOL>(missing, FALSE);
}

BOOL CryptMsgGetParam(HCRYPTMSG message, DWORD parameterType, DWORD index, void* data, DWORD* size)
{
    RESOLVE_ON_DEMAND(Crypt32, CryptMsgGetParam);
    return procedure != nullptr ? procedure(message, parameterType, index, data, size)
                                : Unavailable<BOOL>(missing, FALSE);
}

BOOL CryptMsgClose(HCRYPTMSG message)
{
    RESOLVE_ON_DEMAND(Crypt32, CryptMsgClose);
    return procedure != nullptr ? procedure(message) : Unavailable<BOOL>(missing, FALSE);
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding, DWORD findFlags, DWORD findType,
                                          const void* findParameter, PCCERT_CONTEXT previous)
{
    RESOLVE_ON_DEMAND(Crypt32, CertFindCertificateInStore);
    return procedure != nullptr ? procedure(store, encoding, findFlags, findType, findParameter, previous)
                                : Unavailable<PCCERT_CONTEXT>(missing, nullptr);
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT certificate, DWORD propertyId, void* data, DWORD* size)
{
    RESOLVE_ON_DEMAND(Crypt32, CertGetCertificateContextProperty);
    return procedure != nullptr ? procedure(certificate, propertyId, data, size) : Unavailable<BOOL>(missing, FALSE);
}

DWORD CertGetNameStringW(PCCERT_CONTEXT certificate, DWORD type, DWORD flags, void* typeParameter, LPWSTR name,
                         DWORD size)
{
    RESOLVE_ON_DEMAND(Crypt32, CertGetNameStringW);
    return procedure != nullptr ? procedure(certificate, type, flags, typeParameter, name, size)
                                : Unavailable<DWORD>(missing, 0);
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT certificate)
{
    RESOLVE_ON_DEMAND(Crypt32, CertFreeCertificateContext);
    return procedure != nullptr ? procedure(certificate) : Unavailable<BOOL>(missing, FALSE);
}

BOOL CertCloseStore(HCERTSTORE store, DWORD flags)
{
    RESOLVE_ON_DEMAND(Crypt32, CertCloseStore);
    return procedure != nullptr ? procedure(store, flags) : Unavailable<BOOL>(missing, FALSE);
}

LONG WinVerifyTrust(HWND window, GUID* action, void* data)
{
    RESOLVE_ON_DEMAND(Wintrust, WinVerifyTrust);
    // Never 0 (trusted) for a check that could not run.
    return procedure != nullptr ? procedure(window, action, data) : static_cast<LONG>(Unavailable(missing));
}

BOOL CryptCATAdminAcquireContext2(HCATADMIN* admin, const GUID* subsystem, PCWSTR hashAlgorithm,
                                  const CERT_STRONG_SIGN_PARA* strongHashPolicy, DWORD flags)
{
    RESOLVE_ON_DEMAND(Wintrust, CryptCATAdminAcquireContext2);
    return procedure != nullptr ? procedure(admin, subsystem, hashAlgorithm, strongHashPolicy, flags)
                                : Unavailable<BOOL>(missing, FALSE);
}

BOOL CryptCATAdminCalcHashFromFileHandle2(HCATADMIN admin, HANDLE file, DWORD* hashSize, BYTE* hash, DWORD flags)
{
    RESOLVE_ON_DEMAND(Wintrust, CryptCATAdminCalcHashFromFileHandle2);
    return procedure != nullptr ? procedure(admin, file, hashSize, hash, flags) : Unavailable<BOOL>(missing, FALSE);
}

HCATINFO CryptCATAdminEnumCatalogFromHash(HCATADMIN admin, BYTE* hash, DWORD hashSize, DWORD flags, HCATINFO* previous)
{
    RESOLVE_ON_DEMAND(Wintrust, CryptCATAdminEnumCatalogFromHash);
    return procedure != nullptr ? procedure(admin, hash, hashSize, flags, previous)
                                : Unavailable<HCATINFO>(missing, nullptr);
}

BOOL CryptCATCatalogInfoFromContext(HCATINFO catalog, CATALOG_INFO* information, DWORD flags)
{
    RESOLVE_ON_DEMAND(Wintrust, CryptCATCatalogInfoFromContext);
    return procedure != nullptr ? procedure(catalog, information, flags) : Unavailable<BOOL>(missing, FALSE);
}

BOOL CryptCATAdminReleaseCatalogContext(HCATADMIN admin, HCATINFO catalog, DWORD flags)
{
    RESOLVE_ON_DEMAND(Wintrust, CryptCATAdminReleaseCatalogContext);
    return procedure != nullptr ? procedure(admin, catalog, flags) : Unavailable<BOOL>(missing, FALSE);
}

BOOL CryptCATAdminReleaseContext(HCATADMIN admin, DWORD flags)
{
    RESOLVE_ON_DEMAND(Wintrust, CryptCATAdminReleaseContext);
    return procedure != nullptr ? procedure(admin, flags) : Unavailable<BOOL>(missing, FALSE);
}

}  // namespace Tessaro::OnDemand
