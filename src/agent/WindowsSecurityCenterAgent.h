#pragma once

#include "common/FileInfo.h"
#include "diagnostics/FileLogger.h"
#include "diagnostics/Result.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Tessaro::Ravelin {

class ComApartment;
class WindowsSecurityCenterService;

// The agent of one run: reads the command line, enters COM and executes the one command.
// Calling order: constructor, Initialize, Execute only when Initialize returned 0, destructor.
class WindowsSecurityCenterAgent {
public:
    explicit WindowsSecurityCenterAgent(const std::string& commandLine);
    // With the Security Center service object the command waits on.
    WindowsSecurityCenterAgent(const std::string& commandLine, std::shared_ptr<WindowsSecurityCenterService> service);
    ~WindowsSecurityCenterAgent();

    WindowsSecurityCenterAgent(const WindowsSecurityCenterAgent&) = delete;
    WindowsSecurityCenterAgent& operator=(const WindowsSecurityCenterAgent&) = delete;

    std::uint32_t Initialize();
    Vantrel::Common::Result<> Execute();

    // The log file's name in the temporary folder: the executable's name without its extension
    // followed by this suffix.
    static constexpr const char* LogFileSuffix = "_9E1C8D64_E25A_431A_9C7D_FA4605A88234.log";
    static constexpr const char* LogTitle = "Windows Security Center Agent";

private:
    void InitializeLogger();
    void WriteBanner() const;

    std::uint32_t commandLineResult_;
    Vantrel::Common::Utilities::FileInfo logFile_;
    // Declared last so that it ends first: no log call reaches it once it is gone.
    std::unique_ptr<Vantrel::Common::FileLogger> logger_;
    // The run's COM apartment, entered by Initialize; it is left before the logger ends.
    std::unique_ptr<ComApartment> apartment_;
};

}  // namespace Tessaro::Ravelin
