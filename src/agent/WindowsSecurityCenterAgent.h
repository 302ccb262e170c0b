#pragma once

#include "common/FileInfo.h"
#include "common/foundation/TrustedWriters.h"
#include "diagnostics/FileLogger.h"
#include "diagnostics/LogFileWriter.h"
#include "diagnostics/Result.h"

#include <cstdint>
#include <filesystem>
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

    // Where a run logs: the file and its writer (a writer without a path drops every line).
    struct LogDestination {
        Vantrel::Common::Utilities::FileInfo file;
        std::unique_ptr<Vantrel::Common::LogFileWriter> writer;
        // The folder that refused the log this run, when the next candidate was taken instead.
        Vantrel::Common::Utilities::FileInfo refusedFolder;
    };
    // The log named `fileName` in the temporary folder of `windowsFolder`. A folder in which the
    // log or its companion is refused for access (SystemTemp to an elevated administrator: there
    // only SYSTEM may create files) gives way to the next candidate for this run. A run above
    // ordinary users (`account`) that can use neither (a log or companion that somebody else
    // planted in Temp is refused) keeps its log in the Windows folder's "Logs", which it takes
    // only when administrators alone may add, remove or rename what it holds.
    static LogDestination OpenLog(const std::filesystem::path& windowsFolder, const std::wstring& fileName,
                                  const RunAccount& account = RunAccount::Current());

private:
    void InitializeLogger();
    void WriteBanner() const;

    std::uint32_t commandLineResult_;
    // Declared last so that it ends first: no log call reaches it once it is gone.
    std::unique_ptr<Vantrel::Common::FileLogger> logger_;
    // The run's COM apartment, entered by Initialize; it is left before the logger ends.
    std::unique_ptr<ComApartment> apartment_;
};

}  // namespace Tessaro::Ravelin
