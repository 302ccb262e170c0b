#pragma once

#include <cstdint>

namespace Tessaro::Ravelin {

// The agent's product state. Values outside the named ones arrive from the product's
// "StoredState" and are kept as they are.
enum class ProductState : std::uint32_t {
    None = 0,
    Off = 1,
    On = 2,
    Snoozed = 3,
    Unregistered = 4,
    Expired = 6,
};

}  // namespace Tessaro::Ravelin
