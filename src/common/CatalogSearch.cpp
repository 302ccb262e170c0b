#include "common/CatalogSearch.h"

#include "common/foundation/StringConversion.h"

#include <windows.h>

namespace Tessaro::Vantrel::Common::Utilities {

long CatalogSearch::Verify(CatalogSearch& search, UniqueLibrary::Verification& verification)
{
    std::string why = "n/a(notInAnyCatalog)";
    bool first = true;
    for (const wchar_t* algorithm : {Sha256, Sha1}) {
        std::string reason;
        const auto catalogs = search.CatalogsListing(algorithm, reason);
        if (catalogs.empty()) {
            // The first algorithm's reason is the one worth reporting: the second is a fall-back.
            if (first && !reason.empty()) {
                why = reason;
            }
            first = false;
            continue;
        }
        long answer = 0;
        for (const auto& catalog : catalogs) {
            verification.method = "catalog";
            verification.catalogFile = ReadableUtf8(catalog);
            answer = search.VerifyAsMemberOf(catalog, algorithm);
            if (answer == 0) {
                return 0;
            }
        }
        return answer;
    }
    verification.catalogFile = why;
    return static_cast<long>(TRUST_E_NOSIGNATURE);
}

}  // namespace Tessaro::Vantrel::Common::Utilities
