#pragma once

#include <cstdint>
#include <string>

namespace Tessaro::Testing {

// ravelin.exe, which the build puts beside the test executables.
std::wstring AgentExecutablePath();

// Starts the agent (ravelin.exe unless another copy is named) with the given arguments (after its
// quoted path), waits for it and returns its Windows exit code. Fails the calling test when the
// process cannot be started or hangs.
std::uint32_t RunAgentProcess(const std::wstring& arguments, const std::wstring& executable = AgentExecutablePath());

}  // namespace Tessaro::Testing
