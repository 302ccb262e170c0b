#pragma once

#include <string>
#include <vector>

namespace Tessaro::Testing {

struct AgentLogLine {
    std::string level;          // "INFO", "WARN", "ERROR", ...
    std::string componentName;  // empty for component 0
    std::string message;
};

// The log file the agent writes in the prefix's system temporary folder.
std::wstring AgentLogPath();

// The lines of the one agent run whose banner names the identifier: the banner line's thread and
// every later line of that thread, so that runs writing at the same time do not mix.
std::vector<AgentLogLine> AgentLogLinesOfRun(const std::string& identifier);

std::vector<std::string> Messages(const std::vector<AgentLogLine>& lines);

// A fresh identifier for a run, so that tests find their own lines.
std::string UniqueRunIdentifier(const std::string& prefix);

}  // namespace Tessaro::Testing
