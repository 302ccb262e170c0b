#include "support/LogCapture.h"

#include <algorithm>

namespace Tessaro::Testing {

using Vantrel::Common::InstallLogSink;
using Vantrel::Common::LogSink;

LogCapture::LogCapture()
{
    InstallLogSink("Test", LogSink{this, &LogCapture::Write, nullptr, nullptr});
}

LogCapture::~LogCapture()
{
    InstallLogSink({}, LogSink{});
}

void LogCapture::Write(void* context, const Vantrel::Common::LogStamp&, Vantrel::Common::LogLevel level,
                       const std::string&, const std::string& componentName, const std::string& message)
{
    auto* self = static_cast<LogCapture*>(context);
    std::function<void(const std::string&)> action;
    {
        std::lock_guard guard(self->mutex_);
        self->lines_.push_back({level, componentName, message});
        action = self->action_;
    }
    if (action) {
        action(message);
    }
}

void LogCapture::OnMessage(std::function<void(const std::string& message)> action)
{
    std::lock_guard guard(mutex_);
    action_ = std::move(action);
}

std::vector<LogCapture::Line> LogCapture::Lines() const
{
    std::lock_guard guard(mutex_);
    return lines_;
}

std::vector<std::string> LogCapture::Messages() const
{
    std::vector<std::string> messages;
    for (const auto& line : Lines()) {
        messages.push_back(line.message);
    }
    return messages;
}

bool LogCapture::Contains(const std::string& message) const
{
    const auto messages = Messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

std::size_t LogCapture::Count(const std::string& prefix) const
{
    const auto messages = Messages();
    return static_cast<std::size_t>(std::count_if(
        messages.begin(), messages.end(), [&](const std::string& message) { return message.rfind(prefix, 0) == 0; }));
}

}  // namespace Tessaro::Testing
