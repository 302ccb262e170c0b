#include "diagnostics/Log.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include <windows.h>

namespace Tessaro::Vantrel::Common {

namespace {

struct KeptLine {
    LogStamp stamp;
    LogComponent component;
    LogLevel level;
    std::string message;
};

struct LogState {
    std::shared_mutex lock;
    std::string title;
    LogSink sink;
    // Lines logged while no sink is installed, from KeepLogLinesUntilSinkInstalled on.
    std::mutex keptMutex;
    bool keeping = false;
    std::vector<KeptLine> kept;
    std::size_t keptDropped = 0;
    // Log calls currently inside the sink; a new sink waits for this to drop to zero.
    std::atomic<std::uint32_t> callsInSink{0};
    std::mutex idleMutex;
    std::condition_variable idle;
};

LogState& State()
{
    static LogState state;
    return state;
}

class CallInSink {
public:
    explicit CallInSink(LogState& state) : state_(state) {}
    CallInSink(const CallInSink&) = delete;
    CallInSink& operator=(const CallInSink&) = delete;
    ~CallInSink()
    {
        if (state_.callsInSink.fetch_sub(1) == 1) {
            std::lock_guard guard(state_.idleMutex);
            state_.idle.notify_all();
        }
    }

private:
    LogState& state_;
};

// Hands one line to the sink, or keeps it while there is none and lines are kept.
void Dispatch(const LogStamp& stamp, LogComponent component, LogLevel level, const std::string& message);

// New calls cannot enter while the exclusive lock is held; wait for the ones already inside.
void WaitUntilNoCallInSink(LogState& state)
{
    std::unique_lock idleLock(state.idleMutex);
    state.idle.wait(idleLock, [&state] { return state.callsInSink.load() == 0; });
}

}  // namespace

std::string_view ComponentName(LogComponent component) noexcept
{
    static constexpr std::array<std::string_view, 16> names = {
        "",
        "Detection",
        "Sensor",
        "Setup",
        "Configuration",
        "ProductProtection",
        "Update",
        "DecisionLogic",
        "BootSectorScan",
        "RuleDefinitionFile",
        "SecurityCenter",
        "FileScan",
        "FilterDriver",
        "Mitigation",
        "Fops",
        "CodeSign",
    };
    const auto index = static_cast<std::int32_t>(component);
    return index >= 0 && index < static_cast<std::int32_t>(names.size()) ? names[index] : std::string_view{};
}

void KeepLogLinesUntilSinkInstalled()
{
    LogState& state = State();
    std::lock_guard guard(state.keptMutex);
    state.keeping = true;
}

void InstallLogSink(const std::string& title, const LogSink& sink)
{
    LogState& state = State();
    std::vector<KeptLine> kept;
    std::size_t dropped = 0;
    {
        std::unique_lock exclusive(state.lock);
        WaitUntilNoCallInSink(state);
        state.title = title;
        state.sink = sink;
        if (sink.write != nullptr) {
            std::lock_guard guard(state.keptMutex);
            state.keeping = false;
            kept.swap(state.kept);
            dropped = std::exchange(state.keptDropped, 0);
        }
    }
    // Written through the sink like any other line, outside the lock: a sink may log itself.
    for (const auto& line : kept) {
        Dispatch(line.stamp, line.component, line.level, line.message);
    }
    if (dropped > 0) {
        Dispatch(LogStamp{std::chrono::system_clock::now(), GetCurrentThreadId()}, LogComponent::None, LogLevel::Warn,
                 FormatLogMessage("{} more lines were logged before the log was open and are lost",
                                  MakeFormatArgs(dropped)));
    }
}

void RemoveLogSink(const void* context)
{
    LogState& state = State();
    std::unique_lock exclusive(state.lock);
    WaitUntilNoCallInSink(state);
    if (state.sink.context == context) {
        state.title.clear();
        state.sink = LogSink{};
    }
}

void Log(LogComponent component, LogLevel level, const std::string& message) noexcept
{
    try {
        Dispatch(LogStamp{std::chrono::system_clock::now(), GetCurrentThreadId()}, component, level, message);
    } catch (...) {
        // Logging must never disturb the caller.
    }
}

namespace {

void Dispatch(const LogStamp& stamp, LogComponent component, LogLevel level, const std::string& message)
{
    try {
        LogState& state = State();
        std::string title;
        LogSink sink;
        {
            std::shared_lock shared(state.lock);
            if (state.sink.write == nullptr) {
                std::lock_guard guard(state.keptMutex);
                if (!state.keeping) {
                    return;
                }
                if (state.kept.size() < MaximumKeptLogLines) {
                    state.kept.push_back({stamp, component, level, message});
                } else {
                    ++state.keptDropped;
                }
                return;
            }
            title = state.title;
            sink = state.sink;
            state.callsInSink.fetch_add(1);
        }
        CallInSink inSink(state);

        const std::string componentName(ComponentName(component));
        bool passes = true;
        if (sink.filter != nullptr) {
            try {
                passes = sink.filter(sink.filterContext, level, title, componentName);
            } catch (...) {
                passes = true;
            }
        }
        if (passes) {
            sink.write(sink.context, stamp, level, title, componentName, message);
        }
    } catch (...) {
        // Logging must never disturb the caller.
    }
}

}  // namespace

namespace {

bool IsControlByte(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

// The character at `at` when it is one that Unicode-aware viewers take as a line break (the C1
// controls, NEL among them, and the line and paragraph separators) or that reorders the text
// around it (the direction marks, embeddings, overrides and isolates): its code point and the
// length of its UTF-8 form. A length of 0 when the text there starts with none of them.
struct LineBreakingCharacter {
    char32_t codePoint = 0;
    std::size_t length = 0;
};

LineBreakingCharacter LineBreakingCharacterAt(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t offset) -> unsigned {
        return at + offset < text.size() ? static_cast<unsigned char>(text[at + offset]) : 0u;
    };
    if (byte(0) == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F) {
        return {byte(1), 2};  // U+0080 to U+009F
    }
    if (byte(0) == 0xD8 && byte(1) == 0x9C) {
        return {0x061C, 2};
    }
    if (byte(0) == 0xE2 && byte(1) == 0x80 &&
        (byte(2) == 0x8E || byte(2) == 0x8F || (byte(2) >= 0xA8 && byte(2) <= 0xAE))) {
        return {0x2000 + byte(2) - 0x80, 3};  // U+200E, U+200F, U+2028 to U+202E
    }
    if (byte(0) == 0xE2 && byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9) {
        return {0x2040 + byte(2) - 0x80, 3};  // U+2066 to U+2069
    }
    return {};
}

}  // namespace

std::string EscapeControlCharacters(std::string_view text)
{
    // Every character escaped here starts with a control byte or with one of these lead bytes.
    const auto mayNeedEscape = [](char c) { return IsControlByte(c) || c == '\xC2' || c == '\xD8' || c == '\xE2'; };
    if (std::none_of(text.begin(), text.end(), mayNeedEscape)) {
        return std::string(text);
    }
    std::string escaped;
    escaped.reserve(text.size() + 8);
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        if (const auto special = LineBreakingCharacterAt(text, at); special.length != 0) {
            escaped += Format("\\u{:04x}", static_cast<std::uint32_t>(special.codePoint));
            at += special.length;
            continue;
        }
        switch (c) {
            case '\r':
                escaped += "\\r";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\t':
                escaped += "\\t";
                break;
            default:
                if (IsControlByte(c)) {
                    escaped += Format("\\x{:02x}", static_cast<unsigned char>(c));
                } else {
                    escaped += c;
                }
        }
        ++at;
    }
    return escaped;
}

std::string FormatLogMessage(std::string_view format, FormatArgs args) noexcept
{
    try {
        try {
            return FormatRuntime(format, args);
        } catch (const std::exception& exception) {
            return "Logger Message Format Error: <" + std::string(format) + "> (" + exception.what() + ")";
        }
    } catch (...) {
        try {
            return "Fatal Logger Message Format Error";
        } catch (...) {
            return {};
        }
    }
}

}  // namespace Tessaro::Vantrel::Common
