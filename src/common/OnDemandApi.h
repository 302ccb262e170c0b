#pragma once

// The platform calls of the libraries that not every run needs. Each has the signature of the
// call it stands for, loads its library from the system directory at its first use (SystemLibrary)
// and then calls through. The process imports at load time only what every run uses (kernel32,
// advapi32, ntdll and the C runtime): a command line that is refused at once, the commonest run
// after a state change, pays for no COM, shell or certificate library.
//
// When a library or procedure is missing, a call fails as the platform's own would: an HRESULT of
// ERROR_MOD_NOT_FOUND, or FALSE / null / 0 with that last error. WinVerifyTrust then refuses.

#include <windows.h>
// These need the declarations of windows.h first.
#include <objbase.h>
#include <oleauto.h>
#include <wincrypt.h>
#include <wintrust.h>
// The catalog declarations need those of wincrypt.h and wintrust.h.
#include <mscat.h>

namespace Tessaro::OnDemand {

// ole32
HRESULT CoInitializeEx(void* reserved, DWORD concurrencyModel);
void CoUninitialize();
HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR descriptor, LONG serviceCount, SOLE_AUTHENTICATION_SERVICE* services,
                             void* reserved1, DWORD authenticationLevel, DWORD impersonationLevel,
                             void* authenticationList, DWORD capabilities, void* reserved3);
HRESULT CoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID interfaceId, void** object);
HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authenticationService, DWORD authorizationService,
                          OLECHAR* serverPrincipal, DWORD authenticationLevel, DWORD impersonationLevel,
                          RPC_AUTH_IDENTITY_HANDLE authenticationInfo, DWORD capabilities);

// oleaut32
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
void VariantInit(VARIANTARG* value);
HRESULT VariantClear(VARIANTARG* value);

// shell32
BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int folder, BOOL create);

// version
DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);
BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD size, LPVOID data);
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length);

// crypt32
BOOL CryptQueryObject(DWORD objectType, const void* object, DWORD expectedContentTypes, DWORD expectedFormatTypes,
                      DWORD flags, DWORD* encoding, DWORD* contentType, DWORD* formatType, HCERTSTORE* store,
                      HCRYPTMSG* message, const void** context);
BOOL CryptMsgGetParam(HCRYPTMSG message, DWORD parameterType, DWORD index, void* data, DWORD* size);
BOOL CryptMsgClose(HCRYPTMSG message);
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding, DWORD findFlags, DWORD findType,
                                          const void* findParameter, PCCERT_CONTEXT previous);
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT certificate, DWORD propertyId, void* data, DWORD* size);
DWORD CertGetNameStringW(PCCERT_CONTEXT certificate, DWORD type, DWORD flags, void* typeParameter, LPWSTR name,
                         DWORD size);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT certificate);
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);

// wintrust
LONG WinVerifyTrust(HWND window, GUID* action, void* data);
BOOL CryptCATAdminAcquireContext2(HCATADMIN* admin, const GUID* subsystem, PCWSTR hashAlgorithm,
                                  const CERT_STRONG_SIGN_PARA* strongHashPolicy, DWORD flags);
BOOL CryptCATAdminCalcHashFromFileHandle2(HCATADMIN admin, HANDLE file, DWORD* hashSize, BYTE* hash, DWORD flags);
HCATINFO CryptCATAdminEnumCatalogFromHash(HCATADMIN admin, BYTE* hash, DWORD hashSize, DWORD flags, HCATINFO* previous);
BOOL CryptCATCatalogInfoFromContext(HCATINFO catalog, CATALOG_INFO* information, DWORD flags);
BOOL CryptCATAdminReleaseCatalogContext(HCATADMIN admin, HCATINFO catalog, DWORD flags);
BOOL CryptCATAdminReleaseContext(HCATADMIN admin, DWORD flags);

}  // namespace Tessaro::OnDemand
