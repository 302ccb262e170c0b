#pragma once

#include "common/FileInfo.h"
#include "diagnostics/Result.h"
#include "state/IProductStateQuery.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Tessaro::Ravelin {

class Configuration;

// Security Center's list of antivirus products, read over WMI (root\SecurityCenter2,
// AntiVirusProduct), and the agent's own entry in it: the one whose name is the display name and
// whose reporting and product executables are both the agent's reporting executable.
class WindowsSecurityCenterProducts : public IProductStateQuery {
public:
    struct TessaroSecurityCenterAgentProduct {
        std::string name;
        std::uint32_t state = 1;  // Security Center's state: 0 on, 1 off, 2 snoozed, 3 expired
        std::string stateText;
        Vantrel::Common::Utilities::FileInfo reportingExecutable;
        Vantrel::Common::Utilities::FileInfo productExecutable;
        std::string timestamp;
        std::string instanceGuid;
        bool upToDate = true;
    };
    using Products = std::vector<TessaroSecurityCenterAgentProduct>;

    // The configuration outlives this object (it owns it as its product-state query).
    explicit WindowsSecurityCenterProducts(Configuration& configuration);

    static Vantrel::Common::Result<Products> ListProducts();
    // Bits 12 to 15 give the state, bits 4 to 7 clear mean up to date.
    static void DecodeProductState(std::uint32_t productState, TessaroSecurityCenterAgentProduct& product);

    // The state Security Center shows for the own entry; Unregistered when it has none.
    Vantrel::Common::Result<ProductState> GetOwnProductState() override;
    // Writes the whole list to the log.
    void ListRegisteredProducts();

private:
    Vantrel::Common::Result<bool> SearchAntivirusProduct(
        Products& all, Products& matching, const std::string& displayName,
        const Vantrel::Common::Utilities::FileInfo& reportingExecutable);

    Configuration& configuration_;
};

}  // namespace Tessaro::Ravelin
