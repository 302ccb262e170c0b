#include "common/CatalogSearch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Tessaro::Vantrel::Common::Utilities::CatalogSearch;
using Tessaro::Vantrel::Common::Utilities::UniqueLibrary;

constexpr long NoSignature = static_cast<long>(TRUST_E_NOSIGNATURE);
constexpr long BadDigest = static_cast<long>(TRUST_E_BAD_DIGEST);

// Catalogs as a table: which list the file under each algorithm, what each answers, and the
// order the walk asked them in.
class TableCatalogs final : public CatalogSearch {
public:
    std::map<std::wstring, std::vector<std::wstring>> listing;
    std::map<std::wstring, std::string> unavailable;
    std::map<std::wstring, long> answers;
    std::vector<std::wstring> asked;

    std::vector<std::wstring> CatalogsListing(const wchar_t* algorithm, std::string& why) override
    {
        if (const auto reason = unavailable.find(algorithm); reason != unavailable.end()) {
            why = reason->second;
        }
        return listing[algorithm];
    }
    long VerifyAsMemberOf(const std::wstring& catalog, const wchar_t* algorithm) override
    {
        asked.push_back(std::wstring(algorithm) + L":" + catalog);
        return answers[catalog];
    }
};

TEST(CatalogSearchTest, EveryListingCatalogIsTriedUntilOneVerifies)
{
    TableCatalogs catalogs;
    catalogs.listing[L"SHA256"] = {L"old.cat", L"current.cat", L"later.cat"};
    catalogs.answers = {{L"old.cat", BadDigest}, {L"current.cat", 0}, {L"later.cat", 0}};
    UniqueLibrary::Verification verification;
    EXPECT_EQ(CatalogSearch::Verify(catalogs, verification), 0);
    EXPECT_EQ(catalogs.asked, (std::vector<std::wstring>{L"SHA256:old.cat", L"SHA256:current.cat"}));
    EXPECT_EQ(verification.method, "catalog");
    EXPECT_EQ(verification.catalogFile, "current.cat");

    catalogs.answers[L"current.cat"] = BadDigest;
    catalogs.answers[L"later.cat"] = BadDigest;
    catalogs.listing[L"SHA1"] = {L"sha1.cat"};
    catalogs.asked.clear();
    EXPECT_EQ(CatalogSearch::Verify(catalogs, verification), BadDigest) << "the last catalog's answer";
    EXPECT_EQ(catalogs.asked.size(), 3u) << "SHA-1 catalogs only when no SHA-256 catalog lists the file";
    EXPECT_EQ(verification.catalogFile, "later.cat");

    catalogs.listing.erase(L"SHA256");
    catalogs.answers[L"sha1.cat"] = 0;
    catalogs.asked.clear();
    EXPECT_EQ(CatalogSearch::Verify(catalogs, verification), 0)
        << "a SHA-1 catalog answers for a file no SHA-256 one lists";
    EXPECT_EQ(catalogs.asked, (std::vector<std::wstring>{L"SHA1:sha1.cat"}));
    EXPECT_EQ(verification.catalogFile, "sha1.cat");
}

TEST(CatalogSearchTest, FileInNoCatalogKeepsNoSignatureAndSaysWhy)
{
    TableCatalogs catalogs;
    UniqueLibrary::Verification verification{"embedded", ""};
    EXPECT_EQ(CatalogSearch::Verify(catalogs, verification), NoSignature);
    EXPECT_EQ(verification.method, "embedded");
    EXPECT_EQ(verification.catalogFile, "n/a(notInAnyCatalog)");

    catalogs.unavailable[L"SHA256"] = "n/a(catalogHashError=127)";
    catalogs.unavailable[L"SHA1"] = "n/a(catalogHashError=127)";
    EXPECT_EQ(CatalogSearch::Verify(catalogs, verification), NoSignature);
    EXPECT_EQ(verification.catalogFile, "n/a(catalogHashError=127)");
    EXPECT_TRUE(catalogs.asked.empty());
}

}  // namespace
