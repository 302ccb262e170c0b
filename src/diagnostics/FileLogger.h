#pragma once

#include "diagnostics/Log.h"
#include "diagnostics/LogFileWriter.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

namespace Tessaro::Vantrel::Common {

// The log sink of the agent: filters by level and writes one formatted line per message through
// its LogFileWriter. Removes itself from the process's log state when it ends.
class FileLogger {
public:
    struct Threshold {
        std::string title;
        std::string componentName;
        bool hasComponent = false;
        LogLevel minimumLevel = LogLevel::Info;
    };

    explicit FileLogger(std::unique_ptr<LogFileWriter> writer);
    ~FileLogger();

    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    // Makes this logger the process's sink under the given title.
    void Install(const std::string& title);

    // Overrides the default threshold (Info) for a title, or for a title and component.
    void AddThreshold(Threshold threshold);

    bool Passes(LogLevel level, const std::string& title, const std::string& componentName) const;

    static std::string FormatLine(std::chrono::system_clock::time_point time, LogLevel level, unsigned long threadId,
                                  const std::string& title, const std::string& componentName,
                                  const std::string& message);

    static void Write(void* context, const LogStamp& stamp, LogLevel level, const std::string& title,
                      const std::string& componentName, const std::string& message);
    static bool Filter(void* context, LogLevel level, const std::string& title, const std::string& componentName);

private:
    mutable std::shared_mutex thresholdsLock_;
    std::vector<Threshold> thresholds_;
    std::atomic<bool> enabled_{true};
    std::unique_ptr<LogFileWriter> writer_;
};

}  // namespace Tessaro::Vantrel::Common
