#pragma once

#include "configuration/ProductState.h"

#include <cstdint>

namespace Tessaro::Ravelin {

// Security Center's own product states (WSC_SECURITY_PRODUCT_STATE_*).
enum class SecurityCenterState : std::uint32_t {
    On = 0,
    Off = 1,
    Snoozed = 2,
    Expired = 3,
};

// Security Center's sub-states (WSC_SECURITY_PRODUCT_SUBSTATUS_*).
enum class SecurityCenterSubState : std::uint32_t {
    NoAction = 1,
    ActionRecommended = 2,
    ActionNeeded = 3,
};

struct SubStates {
    SecurityCenterSubState protectionSettings = SecurityCenterSubState::NoAction;
    SecurityCenterSubState protectionUpdates = SecurityCenterSubState::NoAction;
};

// The product state for a state read back from Security Center; unknown values count as snoozed.
ProductState FromSecurityCenterState(SecurityCenterState state);

// The table from the agent's product state to Security Center's, without the expiration check;
// unknown values are reported as snoozed with an error line.
SecurityCenterState MapToSecurityCenterState(ProductState state);

}  // namespace Tessaro::Ravelin
