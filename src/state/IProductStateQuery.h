#pragma once

#include "diagnostics/Result.h"
#include "configuration/ProductState.h"

namespace Tessaro::Ravelin {

// Asks Security Center which state it shows for the product's own entry. A failed search
// carries the value Off with its error code.
class IProductStateQuery {
public:
    virtual ~IProductStateQuery() = default;
    virtual Vantrel::Common::Result<ProductState> GetOwnProductState() = 0;
};

}  // namespace Tessaro::Ravelin
