#pragma once

#include "agent/RunMode.h"
#include "diagnostics/Result.h"

#include <cstdint>
#include <optional>
#include <string>

namespace Tessaro::Ravelin {

// The agent of one run: reads the command line, enters COM and executes the one command.
// Calling order: constructor, Initialize, Execute only when Initialize returned 0, destructor.
class WindowsSecurityCenterAgent {
public:
    explicit WindowsSecurityCenterAgent(const std::string& commandLine);
    ~WindowsSecurityCenterAgent();

    WindowsSecurityCenterAgent(const WindowsSecurityCenterAgent&) = delete;
    WindowsSecurityCenterAgent& operator=(const WindowsSecurityCenterAgent&) = delete;

    std::uint32_t Initialize();
    Vantrel::Common::Result<> Execute();

private:
    Vantrel::Common::Result<> RunSecurityCenterCommand();
    Vantrel::Common::Result<> RunRemediationLaunch();

    std::uint32_t commandLineResult_;
    std::optional<RunMode> runMode_;
    bool comInitialized_ = false;
};

}  // namespace Tessaro::Ravelin
