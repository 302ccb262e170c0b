#pragma once

#include "common/UniqueLibrary.h"

#include <string>
#include <vector>

namespace Tessaro::Vantrel::Common::Utilities {

// The system catalogs as the verified loader consults them for a file without a signature of its
// own: which catalogs list the file's hash, and whether the file verifies as a member of one.
// The walk over them (Verify) is a decision of its own; the platform's catalogs stand behind the
// loader, a test may stand in others.
class CatalogSearch {
public:
    static constexpr const wchar_t* Sha256 = L"SHA256";
    static constexpr const wchar_t* Sha1 = L"SHA1";

    virtual ~CatalogSearch() = default;

    // The catalog files that list the file's hash computed with `algorithm`: none when no catalog
    // lists it, and then, when the hash or the catalogs could not be had, `why` says so
    // ("n/a(...)").
    virtual std::vector<std::wstring> CatalogsListing(const wchar_t* algorithm, std::string& why) = 0;
    // WinVerifyTrust's answer for the file as a member of `catalog`, by its `algorithm` hash.
    virtual long VerifyAsMemberOf(const std::wstring& catalog, const wchar_t* algorithm) = 0;

    // Tries every catalog that lists the file's SHA-256 hash until one verifies, and the SHA-1
    // catalogs only when no SHA-256 catalog lists the file (older systems and products sign with
    // those). Answers 0 for the first catalog that verifies, the last catalog's answer when none
    // does, and TRUST_E_NOSIGNATURE when no catalog lists the file. `verification` then names the
    // catalog that decided, or says why there was none.
    static long Verify(CatalogSearch& search, UniqueLibrary::Verification& verification);
};

}  // namespace Tessaro::Vantrel::Common::Utilities
