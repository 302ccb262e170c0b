#include "common/UniqueLibrary.h"
#include "common/CatalogSearch.h"
#include "common/OnDemandApi.h"

#include "common/FileInfo.h"
#include "common/foundation/FileSystem.h"
#include "common/foundation/GrowingBuffer.h"
#include "common/foundation/Format.h"
#include "common/OsInfoImpl.h"
#include "common/foundation/Scoped.h"
#include "common/foundation/StringConversion.h"
#include "common/foundation/WinHandle.h"

#include <windows.h>
// These need the declarations of windows.h first.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
// The catalog declarations need those of wincrypt.h and wintrust.h.
#include <mscat.h>

#include <filesystem>
#include <list>
#include <system_error>
#include <utility>
#include <vector>

namespace Tessaro::Vantrel::Common::Utilities {

namespace {

constexpr DWORD AbsolutePathLoadFlags = LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR;
constexpr DWORD System32LoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32;

// The trust data as the current platform defines it (88 bytes; the build headers have an older,
// shorter form without the signature settings).
struct TrustData {
    DWORD cbStruct;
    void* pPolicyCallbackData;
    void* pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    void* pChoice;  // WINTRUST_FILE_INFO or WINTRUST_CATALOG_INFO, as dwUnionChoice says
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    void* pSignatureSettings;
};
static_assert(sizeof(TrustData) == 88);
// With the catalog administrator that computed the hash, which SHA-256 catalogs need.
static_assert(sizeof(WINTRUST_CATALOG_INFO) == 72);

constexpr LONG NoSignature = static_cast<LONG>(TRUST_E_NOSIGNATURE);

std::function<void(const std::wstring&)>& VerificationObserver()
{
    static std::function<void(const std::wstring&)> observer;
    return observer;
}

std::string Hex(std::uint32_t value)
{
    return Format("{:X}", value);
}

// The name in UTF-8 from the wide call: the narrow one answers in the ANSI code page wherever the
// manifest's UTF-8 code page is not honoured (Windows 10 before 1903), losing what it cannot hold.
std::string CertificateName(PCCERT_CONTEXT certificate, DWORD flags)
{
    const DWORD size =
        OnDemand::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, nullptr, 0);
    if (size <= 1) {
        return {};
    }
    std::wstring name(size, L'\0');
    OnDemand::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name.data(), size);
    name.resize(size - 1);
    return ReadableUtf8(name);
}

// The first signer of the signed file: the library itself, or the catalog that vouches for it.
std::string SignerDescription(const std::wstring& signedFile, DWORD expectedContent)
{
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    if (!OnDemand::CryptQueryObject(CERT_QUERY_OBJECT_FILE, signedFile.c_str(), expectedContent,
                                    CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message,
                                    nullptr)) {
        return Format("n/a(queryError={})", GetLastError());
    }
    Scoped<HCERTSTORE> ownedStore(store, [](HCERTSTORE& value) { OnDemand::CertCloseStore(value, 0); });
    Scoped<HCRYPTMSG> ownedMessage(message, [](HCRYPTMSG& value) { OnDemand::CryptMsgClose(value); });
    DWORD size = 0;
    if (!OnDemand::CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        return Format("n/a(signerInfoSizeError={})", GetLastError());
    }
    std::vector<std::uint8_t> signerBytes(size, 0);
    if (!OnDemand::CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, signerBytes.data(), &size)) {
        return Format("n/a(signerInfoError={})", GetLastError());
    }
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBytes.data());
    CERT_INFO wanted{};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    PCCERT_CONTEXT found = OnDemand::CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                                CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
    if (found == nullptr) {
        return Format("n/a(findCertError={})", GetLastError());
    }
    Scoped<PCCERT_CONTEXT> certificate(found,
                                       [](PCCERT_CONTEXT& value) { OnDemand::CertFreeCertificateContext(value); });
    std::string thumbprint = "n/a";
    BYTE hash[20] = {};
    DWORD hashSize = sizeof(hash);
    if (OnDemand::CertGetCertificateContextProperty(found, CERT_SHA1_HASH_PROP_ID, hash, &hashSize)) {
        thumbprint.clear();
        for (DWORD index = 0; index < hashSize; ++index) {
            thumbprint += Format("{:02x}", hash[index]);
        }
    }
    return "    subject='" + CertificateName(found, 0) + "'\n    issuer='" +
           CertificateName(found, CERT_NAME_ISSUER_FLAG) + "'\n    thumbprintSha1='" + thumbprint + "'";
}

std::string ComposeReport(const std::wstring& requested, const std::wstring& verified,
                          const UniqueLibrary::Verification& verification, HMODULE module, DWORD loadFlags)
{
    std::string report = "Diagnostics:\n  Paths:\n    requestedPath='" + ReadableUtf8(requested) +
                         "'\n    verifiedPath='" + ReadableUtf8(verified) + "'\n  File:\n";
    const FileStatus status = QueryFileStatus(verified, "status");
    report += Format("    exists={}\n    isRegularFile={}\n", status.Exists() ? 1 : 0, status.IsRegularFile() ? 1 : 0);
    if (status.IsRegularFile()) {
        report += Format("    fileSize={}\n", status.size);
        const auto hash = FileInfo(verified).CalculateFileHash();
        const bool fromCatalog = verification.method == "catalog";
        report += "    fileSha256='" +
                  (hash.Succeeded() ? hash.Value() : Format("n/a(hashError={})", hash.ErrorCode())) +
                  "'\n  Certificate:\n" +
                  (fromCatalog ? SignerDescription(Utf8ToUtf16(verification.catalogFile), CERT_QUERY_CONTENT_FLAG_ALL)
                               : SignerDescription(verified, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED)) +
                  "\n";
    }
    // Only a file that was looked up in the catalogs says how: the embedded check is the rule.
    if (!verification.catalogFile.empty()) {
        report += "  Verification:\n    method='" + verification.method + "'\n    catalogFile='" +
                  verification.catalogFile + "'\n";
    }
    report += Format("  Load:\n    moduleHandle={:016X}\n    loadFlags=0x{:X}",
                     reinterpret_cast<std::uintptr_t>(module), loadFlags);
    return report;
}

// Verifies, then releases the verification state whatever the answer.
LONG CheckTrust(DWORD choice, void* choiceData)
{
    TrustData trust{};
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = choice;
    trust.pChoice = choiceData;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG trusted = OnDemand::WinVerifyTrust(nullptr, &action, &trust);
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    OnDemand::WinVerifyTrust(nullptr, &action, &trust);
    return trusted;
}

LONG VerifyEmbeddedSignature(const std::wstring& path, HANDLE file)
{
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;
    return CheckTrust(WTD_CHOICE_FILE, &fileInfo);
}

// The platform's catalogs, for one file held open. Each hash algorithm has its own catalog
// administrator, which computed the hash and which the member check needs again.
class SystemCatalogs final : public CatalogSearch {
public:
    SystemCatalogs(const std::wstring& path, HANDLE file) : path_(path), file_(file) {}

    std::vector<std::wstring> CatalogsListing(const wchar_t* algorithm, std::string& why) override
    {
        Search& search = searches_.emplace_back(algorithm);
        // The hash-algorithm-aware calls came with Windows 8; Wine lacks the hash call, which then
        // fails with 127 and means "no catalog".
        if (!OnDemand::CryptCATAdminAcquireContext2(&search.admin.Get(), nullptr, algorithm, nullptr, 0)) {
            why = Format("n/a(catalogAdminError={})", GetLastError());
            return {};
        }
        DWORD hashSize = 0;
        OnDemand::CryptCATAdminCalcHashFromFileHandle2(search.admin.Get(), file_, &hashSize, nullptr, 0);
        search.hash.resize(hashSize);
        if (hashSize == 0 || !OnDemand::CryptCATAdminCalcHashFromFileHandle2(search.admin.Get(), file_, &hashSize,
                                                                             search.hash.data(), 0)) {
            why = Format("n/a(catalogHashError={})", GetLastError());
            return {};
        }
        std::vector<std::wstring> catalogs;
        // Each call that continues the enumeration releases the context it is given; only the
        // last one, when the walk stops early, is released here.
        HCATINFO catalog = nullptr;
        while ((catalog = OnDemand::CryptCATAdminEnumCatalogFromHash(search.admin.Get(), search.hash.data(), hashSize,
                                                                     0, catalog == nullptr ? nullptr : &catalog)) !=
               nullptr) {
            CATALOG_INFO information{};
            information.cbStruct = sizeof(information);
            if (!OnDemand::CryptCATCatalogInfoFromContext(catalog, &information, 0)) {
                why = Format("n/a(catalogInfoError={})", GetLastError());
                OnDemand::CryptCATAdminReleaseCatalogContext(search.admin.Get(), catalog, 0);
                break;
            }
            catalogs.emplace_back(information.wszCatalogFile);
        }
        return catalogs;
    }

    long VerifyAsMemberOf(const std::wstring& catalog, const wchar_t* algorithm) override
    {
        for (Search& search : searches_) {
            if (search.algorithm != algorithm) {
                continue;
            }
            // Catalogs list their members by the hash in upper-case hexadecimal.
            std::wstring memberTag;
            for (const BYTE value : search.hash) {
                memberTag += Utf8ToUtf16(Format("{:02X}", value));
            }
            WINTRUST_CATALOG_INFO member{};
            member.cbStruct = sizeof(member);
            member.pcwszCatalogFilePath = catalog.c_str();
            member.pcwszMemberTag = memberTag.c_str();
            member.pcwszMemberFilePath = path_.c_str();
            member.hMemberFile = file_;
            member.pbCalculatedFileHash = search.hash.data();
            member.cbCalculatedFileHash = static_cast<DWORD>(search.hash.size());
            member.hCatAdmin = search.admin.Get();
            return CheckTrust(WTD_CHOICE_CATALOG, &member);
        }
        return NoSignature;
    }

private:
    struct Search {
        explicit Search(std::wstring name) : algorithm(std::move(name)) {}
        std::wstring algorithm;
        Scoped<HCATADMIN> admin{[](HCATADMIN& value) {
            if (value != nullptr) {
                OnDemand::CryptCATAdminReleaseContext(value, 0);
            }
        }};
        std::vector<BYTE> hash;
    };

    const std::wstring& path_;
    HANDLE file_;
    std::list<Search> searches_;
};

[[noreturn]] void Fail(std::uint32_t code, const std::string& text)
{
    throw std::system_error(static_cast<int>(code), std::system_category(), text);
}

}  // namespace

bool UniqueLibrary::IsAbsolutePath(const std::wstring& path)
{
    if (path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
        path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) {
        return true;
    }
    // A UNC or device prefix is a root name of its own.
    return path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/');
}

std::wstring UniqueLibrary::GetFinalPath(const std::wstring& text)
{
    // The longest leading part that exists is resolved through its handle; the rest is appended.
    std::filesystem::path existing(text);
    while (!existing.empty() && !QueryFileStatus(existing, "weakly_canonical").Exists()) {
        existing = ParentFolder(existing);
    }
    // Each parent is a leading part of the text, so what follows it is the part still missing.
    std::wstring missing = text.substr(existing.native().size());
    missing.erase(0, missing.find_first_not_of(L"\\/"));
    const std::filesystem::path rest(missing);
    std::wstring final;
    if (!existing.empty()) {
        const auto handle = WinHandle::Create(CreateFileW(existing.c_str(), FILE_READ_ATTRIBUTES,
                                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!handle->IsValid()) {
            throw std::filesystem::filesystem_error(
                "weakly_canonical", existing,
                std::error_code(static_cast<int>(GetLastError()), std::system_category()));
        }
        const auto query = [&handle](DWORD flags, std::wstring& path) {
            return FillGrowingBuffer(
                path, MAX_PATH, MaximumPathLength, [&handle, flags](wchar_t* buffer, std::size_t size) {
                    // Too small a buffer is answered with the size needed, its null included.
                    const DWORD length =
                        GetFinalPathNameByHandleW(handle->Get(), buffer, static_cast<DWORD>(size), flags);
                    return length == 0 ? BufferNeed{GetLastError(), 0} : BufferNeed{0, length};
                });
        };
        auto code = query(FILE_NAME_NORMALIZED | VOLUME_NAME_DOS, final);
        if (code == ERROR_PATH_NOT_FOUND) {
            code = query(FILE_NAME_NORMALIZED | VOLUME_NAME_NT, final);
            if (code == ERROR_SUCCESS) {
                final = L"\\\\?\\GLOBALROOT" + final;
            }
        }
        if (code != ERROR_SUCCESS) {
            throw std::filesystem::filesystem_error("weakly_canonical", existing,
                                                    std::error_code(static_cast<int>(code), std::system_category()));
        }
        if (final.rfind(L"\\\\?\\UNC\\", 0) == 0) {
            final = L"\\\\" + final.substr(8);
        } else if (final.size() >= 6 && final.rfind(L"\\\\?\\", 0) == 0 && final[5] == L':') {
            final = final.substr(4);
        }
    }
    std::filesystem::path result(final);
    if (!rest.empty()) {
        result /= rest.lexically_normal();
    }
    return result.lexically_normal().native();
}

std::wstring UniqueLibrary::ResolveInSystem32(const std::wstring& name)
{
    if (IsAbsolutePath(name)) {
        Fail(ERROR_INVALID_PARAMETER, "For System32Signed pass a DLL file name, not an absolute path");
    }
    const std::wstring system = GetFinalPath(OsInfoImpl().GetSystemDirectoryPath());
    std::wstring joined = GetFinalPath((std::filesystem::path(system) / name).native());
    std::filesystem::path folder(joined);
    while (!folder.empty() && !folder.has_filename()) {
        folder = folder.parent_path();
    }
    folder = folder.parent_path();
    if (folder != std::filesystem::path(system)) {
        Fail(ERROR_INVALID_PARAMETER, "Resolved DLL path is outside System32");
    }
    return joined;
}

UniqueLibrary::UniqueLibrary(std::wstring name, LoadMode mode) : name_(std::move(name))
{
    const bool system32 = mode == LoadMode::System32Signed;
    verifiedPath_ = system32 ? ResolveInSystem32(name_) : name_;
    loadFlags_ = system32 ? System32LoadFlags : AbsolutePathLoadFlags;
    const std::wstring& verified = verifiedPath_;
    if (!IsAbsolutePath(verified)) {
        Fail(ERROR_INVALID_PARAMETER, "Rejected to load the DLL as the path wasn't absolute\n" + DiagnosticReport());
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    // Shared for reading only: nobody may change or replace the file until it is loaded.
    const auto file = WinHandle::Create(CreateFileW(verified.c_str(), GENERIC_READ, FILE_SHARE_READ, &attributes,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file->IsValid()) {
        const DWORD error = GetLastError();
        Fail(error,
             "Failed to open library for secure verification (code=0x" + Hex(error) + ")\n" + DiagnosticReport());
    }
    if (const auto& observer = VerificationObserver()) {
        observer(verified);
    }

    verification_.method = "embedded";
    LONG trusted = VerifyEmbeddedSignature(verified, file->Get());
    if (trusted == NoSignature) {
        // Most files Windows ships carry no signature of their own: a signed system catalog lists
        // their hash. A file in no catalog keeps the embedded check's answer.
        SystemCatalogs catalogs(verified, file->Get());
        trusted = CatalogSearch::Verify(catalogs, verification_);
    }
    if (trusted != 0) {
        Fail(static_cast<std::uint32_t>(trusted), "DLL Authenticode verification failed (code=0x" +
                                                      Hex(static_cast<std::uint32_t>(trusted)) + ")\n" +
                                                      DiagnosticReport());
    }
    module_ = LoadLibraryExW(verified.c_str(), nullptr, loadFlags_);  // owned by this object
    if (module_ == nullptr) {
        const DWORD error = GetLastError();
        Fail(error, "Failed to load signed library (code=0x" + Hex(error) + ")\n" + DiagnosticReport());
    }
}

UniqueLibrary::UniqueLibrary(Module module, std::wstring name) : module_(module), name_(std::move(name)) {}

UniqueLibrary::~UniqueLibrary()
{
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

void* UniqueLibrary::GetProcedure(const std::string& name) const
{
    return reinterpret_cast<void*>(GetProcAddress(module_, name.c_str()));
}

std::string UniqueLibrary::DiagnosticReport() const
{
    return ComposeReport(name_, verifiedPath_, verification_, module_, loadFlags_);
}

void UniqueLibrary::SetVerificationObserver(std::function<void(const std::wstring& path)> observer)
{
    VerificationObserver() = std::move(observer);
}

}  // namespace Tessaro::Vantrel::Common::Utilities
