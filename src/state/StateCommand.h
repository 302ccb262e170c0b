#pragma once

#include "state/ProductState.h"

#include <cstdint>
#include <string>

namespace Tessaro::Ravelin {

class Configuration;
class IProductStateQuery;

// Turns the word after "/UPDATE_WSC=" into the product state to report: "SNOOZE" and "ENABLE"
// name it; the four time words keep the current state, the instance's "StoredState" or else what
// Security Center shows (through the query). 87 for any other word, leaving the state unchanged.
std::uint32_t ParseStateCommand(const std::string& word, ProductState& state, const Configuration& configuration,
                                IProductStateQuery* productStateQuery);

}  // namespace Tessaro::Ravelin
