#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Tessaro::Testing {

struct AgentLogLine {
    std::string level;          // "INFO", "WARN", "ERROR", ...
    std::string componentName;  // empty for component 0
    std::string message;
};

// The log file an agent process of the given executable stem writes in the prefix's system
// temporary folder ("ravelin" for ravelin.exe).
std::wstring AgentLogPath(const std::wstring& executableStem = L"ravelin");

// The lines of the one agent run whose banner names the identifier: the banner line's thread and
// every later line of that thread, so that runs writing at the same time do not mix.
std::vector<AgentLogLine> AgentLogLinesOfRun(const std::string& identifier,
                                             const std::wstring& executableStem = L"ravelin");

std::vector<std::string> Messages(const std::vector<AgentLogLine>& lines);

// Every message in the agent's log files, oldest first, whichever run wrote it.
std::vector<std::string> AllAgentLogMessages(const std::wstring& executableStem = L"ravelin");

// A fresh identifier for a run, so that tests find their own lines.
std::string UniqueRunIdentifier(const std::string& prefix);

}  // namespace Tessaro::Testing
