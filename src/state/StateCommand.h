#pragma once

#include "state/ProductState.h"

#include <cstdint>
#include <string>

namespace Tessaro::Ravelin {

class Configuration;

// Turns the word after "/UPDATE_WSC=" into the product state to report: "SNOOZE" and "ENABLE"
// name it, the four time words keep the current state. 87 for any other word (state unchanged).
std::uint32_t ParseStateCommand(const std::string& word, ProductState& state, const Configuration& configuration);

}  // namespace Tessaro::Ravelin
