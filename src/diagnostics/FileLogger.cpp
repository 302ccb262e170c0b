#include "diagnostics/FileLogger.h"

#include "common/foundation/Format.h"

#include <windows.h>

#include <mutex>
#include <utility>

namespace Tessaro::Vantrel::Common {

namespace {

std::string_view LevelTag(LogLevel level)
{
    switch (level) {
        case LogLevel::Debug:
            return " [DEBUG] ";
        case LogLevel::Info:
            return " [INFO]  ";
        case LogLevel::Warn:
            return " [WARN]  ";
        case LogLevel::Error:
            return " [ERROR] ";
    }
    return " [ERROR] [UNKNOWN SEVERITY] ";
}

// All file writes and rotations of the process go through this one lock.
std::mutex& FileWriteMutex()
{
    static std::mutex mutex;
    return mutex;
}

}  // namespace

FileLogger::FileLogger(std::unique_ptr<LogFileWriter> writer) : writer_(std::move(writer)) {}

FileLogger::~FileLogger()
{
    // No log call may reach this logger once it is gone.
    RemoveLogSink(this);
    enabled_ = false;
    std::unique_lock guard(thresholdsLock_);
    thresholds_.clear();
}

void FileLogger::Install(const std::string& title)
{
    InstallLogSink(title, LogSink{this, &FileLogger::Write, this, &FileLogger::Filter});
}

void FileLogger::AddThreshold(Threshold threshold)
{
    std::unique_lock guard(thresholdsLock_);
    thresholds_.push_back(std::move(threshold));
}

bool FileLogger::Passes(LogLevel level, const std::string& title, const std::string& componentName) const
{
    if (!enabled_) {
        return true;
    }
    std::shared_lock guard(thresholdsLock_);
    LogLevel minimum = LogLevel::Info;
    for (const auto& threshold : thresholds_) {
        if (!threshold.hasComponent && threshold.title == title) {
            minimum = threshold.minimumLevel;
            break;
        }
    }
    for (const auto& threshold : thresholds_) {
        if (threshold.hasComponent && threshold.title == title && threshold.componentName == componentName) {
            minimum = threshold.minimumLevel;
        }
    }
    return level >= minimum;
}

std::string FileLogger::FormatLine(std::chrono::system_clock::time_point time, LogLevel level, unsigned long threadId,
                                   const std::string& title, const std::string& componentName,
                                   const std::string& message)
{
    using namespace std::chrono;
    const auto sinceEpoch = time.time_since_epoch();
    const auto seconds = floor<std::chrono::seconds>(sinceEpoch);
    const auto milliseconds = duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();

    std::string line =
        Format("{:%Y-%m-%d %X}:{}", UtcCalendarTime(static_cast<std::time_t>(seconds.count())), milliseconds);
    line += LevelTag(level);
    line += Format("[{}] [{}] ", threadId, title);
    if (!componentName.empty()) {
        line += Format("[{}] ", componentName);
    }
    // Windows text-file line ends, also inside a message that spans several lines (the report of the
    // processes that hold a file): the log is read with the system's own tools, and a file with one
    // kind of line end reads the same in all of them.
    for (std::size_t start = 0;;) {
        const auto end = message.find('\n', start);
        const auto piece = std::string_view(message).substr(start, end == std::string::npos ? end : end - start);
        line += piece.size() > 0 && piece.back() == '\r' ? piece.substr(0, piece.size() - 1) : piece;
        line += "\r\n";
        if (end == std::string::npos) {
            return line;
        }
        start = end + 1;
    }
}

void FileLogger::Write(void* context, const LogStamp& stamp, LogLevel level, const std::string& title,
                       const std::string& componentName, const std::string& message)
{
    auto* logger = static_cast<FileLogger*>(context);
    if (logger == nullptr || !logger->Passes(level, title, componentName)) {
        return;
    }
    const std::string line = FormatLine(stamp.time, level, stamp.threadId, title, componentName, message);
    std::lock_guard guard(FileWriteMutex());
    logger->writer_->Write(line);
}

bool FileLogger::Filter(void* context, LogLevel level, const std::string& title, const std::string& componentName)
{
    const auto* logger = static_cast<const FileLogger*>(context);
    return logger != nullptr && logger->Passes(level, title, componentName);
}

}  // namespace Tessaro::Vantrel::Common
