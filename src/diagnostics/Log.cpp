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
        // Logging must never disturb the caller: it must not throw.
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
        // Logging must never disturb the caller: it must not throw.
    }
}

}  // namespace

namespace {

bool IsControlByte(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

// The characters escaped besides the C0 controls and DEL, because Unicode-aware viewers take them
// as line breaks, reorder the text around them, or show nothing for them: the C1 controls (NEL
// among them), the line and paragraph separators, every format character (general category Cf:
// the soft hyphen, the direction marks, embeddings, overrides and isolates, the zero-width
// characters and joiners, the invisible operators, the byte order mark, the interlinear
// annotation characters, ...) and the whole tag block. A name made of such characters could
// otherwise look exactly like another in a log line.
constexpr std::array<std::pair<char32_t, char32_t>, 21> EscapedRanges = {{
    {0x0080, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},
    {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
    {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0xE0000, 0xE007F},
}};

bool IsEscapedCodePoint(char32_t codePoint)
{
    return std::any_of(EscapedRanges.begin(), EscapedRanges.end(), [codePoint](const auto& range) {
        return codePoint >= range.first && codePoint <= range.second;
    });
}

// The code point of the well-formed UTF-8 sequence at `at` and its length; a length of 0 where no
// well-formed sequence of two or more bytes starts (an ASCII byte, or bytes that are not UTF-8).
struct EncodedCharacter {
    char32_t codePoint = 0;
    std::size_t length = 0;
};

EncodedCharacter DecodeAt(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t offset) -> char32_t {
        return at + offset < text.size() ? static_cast<unsigned char>(text[at + offset]) : 0u;
    };
    const auto continuation = [&](std::size_t offset) { return (byte(offset) & 0xC0) == 0x80; };
    const char32_t lead = byte(0);
    if (lead >= 0xC2 && lead <= 0xDF && continuation(1)) {
        return {((lead & 0x1F) << 6) | (byte(1) & 0x3F), 2};
    }
    if (lead >= 0xE0 && lead <= 0xEF && continuation(1) && continuation(2)) {
        const char32_t codePoint = ((lead & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
        const bool wellFormed = codePoint >= 0x800 && (codePoint < 0xD800 || codePoint > 0xDFFF);
        return wellFormed ? EncodedCharacter{codePoint, 3} : EncodedCharacter{};
    }
    if (lead >= 0xF0 && lead <= 0xF4 && continuation(1) && continuation(2) && continuation(3)) {
        const char32_t codePoint =
            ((lead & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
        const bool wellFormed = codePoint >= 0x10000 && codePoint <= 0x10FFFF;
        return wellFormed ? EncodedCharacter{codePoint, 4} : EncodedCharacter{};
    }
    return {};
}

}  // namespace

std::string EscapeControlCharacters(std::string_view text)
{
    // Every character escaped here is a control byte or starts with a byte beyond ASCII.
    const auto mayNeedEscape = [](char c) { return IsControlByte(c) || static_cast<unsigned char>(c) >= 0x80; };
    if (std::none_of(text.begin(), text.end(), mayNeedEscape)) {
        return std::string(text);
    }
    std::string escaped;
    escaped.reserve(text.size() + 8);
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        if (const auto character = DecodeAt(text, at); character.length != 0) {
            if (!IsEscapedCodePoint(character.codePoint)) {
                escaped.append(text.substr(at, character.length));
            } else if (character.codePoint <= 0xFFFF) {
                escaped += Format("\\u{:04x}", static_cast<std::uint32_t>(character.codePoint));
            } else {
                escaped += Format("\\U{:08x}", static_cast<std::uint32_t>(character.codePoint));
            }
            at += character.length;
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
