#include "common/OnDemandApi.h"
#include "common/UniqueLibrary.h"
#include "support/ChildProcess.h"
#include "support/Platform.h"
#include "support/ScratchFolder.h"
#include "common/foundation/WinHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

// The certificate store declarations need those of windows.h first.
#include <wincrypt.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

namespace {

using Tessaro::Testing::ChildProcess;
using Tessaro::Testing::RunningElevated;
using Tessaro::Testing::RunningUnderWine;
using Tessaro::Testing::ScratchFolder;
using Tessaro::Testing::TestProgramFolder;
using Tessaro::Vantrel::Common::Utilities::UniqueLibrary;
using LoadMode = UniqueLibrary::LoadMode;

struct Refusal {
    int code = 0;
    std::string text;
};

Refusal Load(const std::wstring& name, LoadMode mode)
{
    try {
        UniqueLibrary library(name, mode);
    } catch (const std::system_error& error) {
        return {error.code().value(), error.what()};
    }
    return {0, "loaded"};
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.rfind(prefix, 0) == 0;
}

TEST(VerifiedLoadingTest, NamesOutsideTheSystemFolderAreRefusedBeforeAnyFileIsOpened)
{
    const auto climbing = Load(L"..\\evil.dll", LoadMode::System32Signed);
    EXPECT_EQ(climbing.code, ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(StartsWith(climbing.text, "Resolved DLL path is outside System32")) << climbing.text;
    EXPECT_EQ(climbing.text.find("Diagnostics:"), std::string::npos);

    EXPECT_TRUE(
        StartsWith(Load(L"drivers\\x.dll", LoadMode::System32Signed).text, "Resolved DLL path is outside System32"));

    const auto absolute = Load(L"C:\\windows\\system32\\version.dll", LoadMode::System32Signed);
    EXPECT_EQ(absolute.code, ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(StartsWith(absolute.text, "For System32Signed pass a DLL file name, not an absolute path"))
        << absolute.text;

    // A root is a drive letter with its separator, or two separators of either kind.
    for (const wchar_t* path :
         {L"C:\\x.dll", L"z:/x.dll", L"\\\\server\\share\\x.dll", L"//server/share/x.dll", L"\\/x.dll"}) {
        EXPECT_TRUE(UniqueLibrary::IsAbsolutePath(path)) << path;
    }
    for (const wchar_t* path : {L"C:x.dll", L"1:\\x.dll", L"\\x.dll", L"\\a/x.dll", L"/"}) {
        EXPECT_FALSE(UniqueLibrary::IsAbsolutePath(path)) << path;
    }
    const auto relative = Load(L"plugins\\x.dll", LoadMode::AbsolutePath);
    EXPECT_TRUE(StartsWith(relative.text, "Rejected to load the DLL as the path wasn't absolute\nDiagnostics:"))
        << relative.text;

    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(std::filesystem::path(UniqueLibrary::ResolveInSystem32(L"version.dll")),
              std::filesystem::path(system) / L"version.dll");
    EXPECT_EQ(std::filesystem::path(UniqueLibrary::ResolveInSystem32(L"missing.dll")),
              std::filesystem::path(system) / L"missing.dll")
        << "a name not there yet stays in the folder";
    EXPECT_EQ(std::filesystem::path(UniqueLibrary::ResolveInSystem32(L"missing\\")),
              std::filesystem::path(system) / L"missing\\")
        << "a name that ends in a separator is a folder's, whose parent is checked";
}

TEST(VerifiedLoadingTest, MissingFileReportsItCannotBeOpened)
{
    const ScratchFolder folder;
    const auto missing = Load((folder.Path() / L"missing.dll").native(), LoadMode::AbsolutePath);
    EXPECT_EQ(missing.code, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(
        StartsWith(missing.text, "Failed to open library for secure verification (code=0x2)\nDiagnostics:\n  Paths:\n"))
        << missing.text;
    EXPECT_NE(missing.text.find("\n    exists=0\n    isRegularFile=0\n  Load:\n    moduleHandle=0000000000000000\n"
                                "    loadFlags=0x1100"),
              std::string::npos)
        << missing.text;
    EXPECT_EQ(missing.text.find("Certificate:"), std::string::npos);
}

// Why no catalog vouches for a file here: Windows' catalog administrator finds it in none; Wine 8's
// refuses the context, with the error the report must name. Asked of the system library itself,
// not through the product's own calls.
std::string CatalogReasonOfThisPlatform()
{
    using Acquire = BOOL(WINAPI*)(HCATADMIN*, const GUID*, PCWSTR, const CERT_STRONG_SIGN_PARA*, DWORD);
    using Release = BOOL(WINAPI*)(HCATADMIN, DWORD);
    const HMODULE wintrust = LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // NOLINTBEGIN(bugprone-casting-through-void)
    const auto acquire =
        reinterpret_cast<Acquire>(reinterpret_cast<void*>(GetProcAddress(wintrust, "CryptCATAdminAcquireContext2")));
    const auto release =
        reinterpret_cast<Release>(reinterpret_cast<void*>(GetProcAddress(wintrust, "CryptCATAdminReleaseContext")));
    // NOLINTEND(bugprone-casting-through-void)
    if (acquire == nullptr || release == nullptr) {
        return "catalogAdminError=" + std::to_string(ERROR_PROC_NOT_FOUND);
    }
    HCATADMIN admin = nullptr;
    if (!acquire(&admin, nullptr, L"SHA256", nullptr, 0)) {
        return "catalogAdminError=" + std::to_string(GetLastError());
    }
    release(admin, 0);
    return "notInAnyCatalog";
}

// Without a signature of its own the file is looked up in the system catalogs; in none, it is
// refused with the embedded check's answer, and the report says how it was checked and why no
// catalog vouched for it.
TEST(VerifiedLoadingTest, UnsignedFileInNoCatalogFailsAuthenticodeWithAFullReport)
{
    const ScratchFolder folder;
    const auto copy = folder.Path() / L"unsigned.dll";
    std::filesystem::copy_file(std::filesystem::path(TestProgramFolder()) / L"wscsim.dll", copy);
    for (const std::wstring& path : {copy.native(), L"\\\\?\\" + copy.native()}) {
        const auto unsignedFile = Load(path, LoadMode::AbsolutePath);
        EXPECT_EQ(static_cast<std::uint32_t>(unsignedFile.code), 0x800B0100u) << "TRUST_E_NOSIGNATURE";
        EXPECT_TRUE(StartsWith(unsignedFile.text, "DLL Authenticode verification failed (code=0x800B0100)\n"))
            << unsignedFile.text;
        const std::regex report(
            "\n  File:\n    exists=1\n    isRegularFile=1\n    fileSize=[0-9]+\n    fileSha256='[0-9A-F]{64}'\n"
            "  Certificate:\nn/a\\(queryError=[0-9]+\\)\n"
            "  Verification:\n    method='embedded'\n    catalogFile='n/a\\(" +
            CatalogReasonOfThisPlatform() + "\\)'\n  Load:\n");
        EXPECT_TRUE(std::regex_search(unsignedFile.text, report)) << unsignedFile.text;
    }
}

// Puts a certificate into the machine's trusted roots for as long as it lives.
class TrustedRoot {
public:
    explicit TrustedRoot(const std::filesystem::path& certificateFile)
    {
        std::ifstream file(certificateFile, std::ios::binary);
        const std::string encoded((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        store_ = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
        if (store_ == nullptr) {
            failure_ = "the machine's root store did not open (error " + std::to_string(GetLastError()) + ")";
        } else if (encoded.empty()) {
            failure_ = "no certificate in " + certificateFile.string();
        } else if (!CertAddEncodedCertificateToStore(
                       store_, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(encoded.data()),
                       static_cast<DWORD>(encoded.size()), CERT_STORE_ADD_REPLACE_EXISTING, &certificate_)) {
            failure_ = "the root was refused (error " + std::to_string(GetLastError()) + ")";
        }
    }
    ~TrustedRoot()
    {
        if (certificate_ != nullptr) {
            CertDeleteCertificateFromStore(certificate_);
        }
        if (store_ != nullptr) {
            CertCloseStore(store_, 0);
        }
    }
    TrustedRoot(const TrustedRoot&) = delete;
    TrustedRoot& operator=(const TrustedRoot&) = delete;

    bool Added() const { return certificate_ != nullptr; }
    const std::string& Failure() const { return failure_; }

private:
    HCERTSTORE store_ = nullptr;
    PCCERT_CONTEXT certificate_ = nullptr;
    std::string failure_;
};

// The library and its chain are made at test time (support/sign-test-library.sh).
TEST(VerifiedLoadingTest, SignedLibraryIsLoadedAndItsReportNamesTheSigner)
{
    const auto signedFolder = std::filesystem::path(TestProgramFolder()) / L"signed";
    // Its root not yet trusted: Windows refuses the chain (CERT_E_UNTRUSTEDROOT); Wine takes any root.
    const auto untrusted = Load((signedFolder / L"signed.dll").native(), LoadMode::AbsolutePath);
    EXPECT_EQ(static_cast<std::uint32_t>(untrusted.code), RunningUnderWine() ? 0u : 0x800B0109u) << untrusted.text;
    if (!RunningUnderWine() && !RunningElevated()) {
        GTEST_SKIP() << "trusting the test root in the machine's store needs an elevated run";
    }
    const TrustedRoot root(signedFolder / L"root.cer");
    ASSERT_TRUE(root.Added()) << root.Failure();

    const UniqueLibrary library((signedFolder / L"signed.dll").native(), LoadMode::AbsolutePath);
    const auto probe = reinterpret_cast<int (*)()>(library.GetProcedure("RavelinProbe"));
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe(), 0x5A);
    const std::string report = library.DiagnosticReport();
    const std::regex signer(
        "  Certificate:\n    subject='Ravelin Test Signer'\n    issuer='R'\n"
        "    thumbprintSha1='[0-9a-f]{40}'\n  Load:\n"
        "    moduleHandle=[0-9A-F]{16}\n    loadFlags=0x1100$");
    EXPECT_TRUE(std::regex_search(report, signer)) << report;
    EXPECT_EQ(report.find("moduleHandle=0000000000000000"), std::string::npos) << report;

    const auto tampered = Load((signedFolder / L"tampered.dll").native(), LoadMode::AbsolutePath);
    EXPECT_EQ(static_cast<std::uint32_t>(tampered.code), 0x80096010u) << "TRUST_E_BAD_DIGEST";
    EXPECT_TRUE(StartsWith(tampered.text, "DLL Authenticode verification failed (code=0x80096010)\n")) << tampered.text;
}

// The Restart Manager, which the copy's report needs, must load on Windows. Windows does not promise
// which System32 files carry a signature of their own and which a system catalog vouches for: either
// method will do, and the report says which one it was. Wine's are unsigned, and its wintrust
// cannot look a file up in the catalogs.
TEST(VerifiedLoadingTest, RestartManagerLibraryVerifiesOnWindows)
{
    const auto restartManager = Load(L"rstrtmgr.dll", LoadMode::System32Signed);
    if (RunningUnderWine()) {
        EXPECT_EQ(static_cast<std::uint32_t>(restartManager.code), 0x800B0100u) << "TRUST_E_NOSIGNATURE";
        EXPECT_NE(restartManager.text.find("method='embedded'"), std::string::npos) << restartManager.text;
        return;
    }
    ASSERT_EQ(restartManager.code, 0) << restartManager.text;
    const UniqueLibrary library(L"rstrtmgr.dll", LoadMode::System32Signed);
    const auto report = library.DiagnosticReport();
    EXPECT_TRUE(report.find("method='catalog'") != std::string::npos ||
                report.find("method='embedded'") != std::string::npos)
        << report;
}

TEST(VerifiedLoadingTest, FileUnderVerificationCannotBeOpenedForWriting)
{
    // The file under verification is the one the stand-in remediation tool appends to, so that
    // tool, started as another process, tries to write it while the loader holds it.
    const ScratchFolder folder;
    const std::filesystem::path programs(TestProgramFolder());
    const auto held = folder.Path() / L"remediation_calls.txt";
    std::filesystem::copy_file(programs / L"wscsim.dll", held);
    std::filesystem::copy_file(programs / L"remediationtool.exe", folder.Path() / L"remediationtool.exe");
    DWORD sameProcessError = 0;
    std::uint32_t otherProcessExit = 0;
    UniqueLibrary::SetVerificationObserver([&](const std::wstring& path) {
        const Tessaro::WinHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    nullptr, OPEN_EXISTING, 0, nullptr));
        sameProcessError = writer.IsValid() ? 0 : GetLastError();
        ChildProcess appender((folder.Path() / L"remediationtool.exe").native(), std::wstring());
        otherProcessExit = appender.WaitForExit();
    });
    Load(held.native(), LoadMode::AbsolutePath);
    UniqueLibrary::SetVerificationObserver(nullptr);
    EXPECT_EQ(sameProcessError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(otherProcessExit, 1u) << "the other process could not open the file to append";
    EXPECT_EQ(std::filesystem::file_size(held), std::filesystem::file_size(programs / L"wscsim.dll"));
}

}  // namespace
