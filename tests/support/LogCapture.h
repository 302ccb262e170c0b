#pragma once

#include "diagnostics/Log.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Tessaro::Testing {

// Installs itself as the process's log sink for its lifetime and keeps every line that passes.
class LogCapture {
public:
    struct Line {
        Vantrel::Common::LogLevel level;
        std::string componentName;
        std::string message;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Runs for each message as it is logged, inside the log call: a test acts at that very moment.
    void OnMessage(std::function<void(const std::string& message)> action);

    std::vector<Line> Lines() const;
    std::vector<std::string> Messages() const;
    bool Contains(const std::string& message) const;
    // How many messages begin with the text.
    std::size_t Count(const std::string& prefix) const;

private:
    static void Write(void* context, const Vantrel::Common::LogStamp& stamp, Vantrel::Common::LogLevel level,
                      const std::string& title, const std::string& componentName, const std::string& message);

    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    std::function<void(const std::string&)> action_;
};

}  // namespace Tessaro::Testing
