#pragma once

#include <cstdint>

namespace Tessaro::Ravelin {

class WindowsSecurityCenterAgent;

// Initialize, then Execute when that succeeded, with their failure lines; the command's code.
std::uint32_t RunAgent(WindowsSecurityCenterAgent& agent);

// Runs the one command of this process and returns its exit code. No exception leaves it: one
// that escapes the command's path ends as the exception barrier's code.
std::uint32_t RunAgentCommand(const char* commandLine) noexcept;

}  // namespace Tessaro::Ravelin
