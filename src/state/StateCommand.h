#pragma once

#include "configuration/ProductState.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Tessaro::Ravelin {

class Configuration;
class IProductStateQuery;

// Turns the word after "/UPDATE_WSC=" into the product state to report: "SNOOZE" and "ENABLE"
// name it; the four time words keep the current state, the instance's "StoredState" or else what
// Security Center shows (through the query). 87 for any other word, leaving the state unchanged.
std::uint32_t ParseStateCommand(const std::string& word, ProductState& state, const Configuration& configuration,
                                IProductStateQuery* productStateQuery);

// Lets the configuration read the state word of its command line with ParseStateCommand; the
// query (none: the time words find no state shown) is kept for as long as the configuration.
void InstallStateCommands(Configuration& configuration, std::shared_ptr<IProductStateQuery> productStateQuery);

}  // namespace Tessaro::Ravelin
