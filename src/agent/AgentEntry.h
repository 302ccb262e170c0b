#pragma once

#include <cstdint>

namespace Tessaro::Ravelin {

class WindowsSecurityCenterAgent;

// Initialize, then Execute when that succeeded, with their failure lines; the command's code.
std::uint32_t RunAgent(WindowsSecurityCenterAgent& agent);

// Runs the one command of the process's command line (the program name, then the arguments, as
// GetCommandLineW gives it) and returns its exit code. No exception leaves it: one that escapes the
// command's path, a command line that is not valid UTF-16 among them, ends as the exception
// barrier's code.
std::uint32_t RunAgentCommand(const wchar_t* processCommandLine) noexcept;

}  // namespace Tessaro::Ravelin
