#pragma once

#include <cstdint>

namespace Tessaro::Ravelin {

class Configuration;

// Starts the product's remediation tool with the agent's own command line, in a new console, and
// returns at once: 0, 1168 without a configured tool, or the start's error code.
std::uint32_t LaunchRemediationTool(Configuration& configuration);

}  // namespace Tessaro::Ravelin
