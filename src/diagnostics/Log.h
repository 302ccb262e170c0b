#pragma once

#include "common/foundation/Format.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>

namespace Tessaro::Vantrel::Common {

enum class LogLevel : std::uint32_t { Debug = 0, Info = 1, Warn = 2, Error = 3 };

// Component names appear in each line; 0 and values outside 1 to 15 have none.
enum class LogComponent : std::int32_t {
    None = 0,
    Detection = 1,
    Sensor = 2,
    Setup = 3,
    Configuration = 4,
    ProductProtection = 5,
    Update = 6,
    DecisionLogic = 7,
    BootSectorScan = 8,
    RuleDefinitionFile = 9,
    SecurityCenter = 10,
    FileScan = 11,
    FilterDriver = 12,
    Mitigation = 13,
    Fops = 14,
    CodeSign = 15,
};

std::string_view ComponentName(LogComponent component) noexcept;

// When and on which thread a line was logged, taken at the log call: a line kept until the sink
// exists is written with its own.
struct LogStamp {
    std::chrono::system_clock::time_point time;
    unsigned long threadId = 0;
};

// Where log calls go. Installed once by the agent; until then a log call does nothing, or, after
// KeepLogLinesUntilSinkInstalled, is kept for the sink.
struct LogSink {
    using WriteFunction = void (*)(void* context, const LogStamp& stamp, LogLevel level, const std::string& title,
                                   const std::string& componentName, const std::string& message);
    using FilterFunction = bool (*)(void* context, LogLevel level, const std::string& title,
                                    const std::string& componentName);

    void* context = nullptr;
    WriteFunction write = nullptr;
    void* filterContext = nullptr;
    FilterFunction filter = nullptr;
};

// Replaces the sink and the title once no log call is inside the current sink, so that a sink can
// be destroyed right after it has been replaced. An empty sink turns logging off.
void InstallLogSink(const std::string& title, const LogSink& sink);

// From now until a sink is installed, log calls are kept (the first MaximumKeptLogLines of them)
// instead of dropped, and the next InstallLogSink writes them to the new sink in their order, with
// their own times, followed by a Warn line that counts those that did not fit. The agent turns this
// on before its first log call, so what it logs before its log file is open (its settings and the
// instance clean-up are read first) is not lost. Lines kept when the process ends without a sink
// are lost.
inline constexpr std::size_t MaximumKeptLogLines = 256;
void KeepLogLinesUntilSinkInstalled();

// Removes the sink whose context is the given one, once no log call is inside it; any other
// installed sink stays. An owner of a sink calls this before it ends.
void RemoveLogSink(const void* context);

// Never throws and never reports failure to its caller.
void Log(LogComponent component, LogLevel level, const std::string& message) noexcept;

// Formats at run time; a format string that does not fit its arguments still yields a line.
std::string FormatLogMessage(std::string_view format, FormatArgs args) noexcept;

// A value as it goes into a log line: carriage returns, line feeds and the other control
// characters written escaped ("\r", "\n", "\t", "\x1b"), and so are the characters that
// Unicode-aware viewers take as line breaks, that reorder a line or that they do not show (the C1
// controls, U+2028, U+2029, every format character and the tag block: "\u0085", "\u202e",
// "\u200b", "\U000e0041"), so that no value (a display name, a product list entry, a path, the
// command line) can end its line, forge the next one, disguise its own or pass for another.
// Every other character, and text that is not valid UTF-8, stays as it is.
std::string EscapeControlCharacters(std::string_view text);

// Text values escaped, every other value as it is.
template <typename T>
decltype(auto) LoggedValue(const T& value)
{
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return EscapeControlCharacters(std::string_view(value));
    } else {
        return (value);
    }
}

// The format string is the caller's own text and is written as it is; the values are escaped.
template <typename... Args>
void LogFormat(LogComponent component, LogLevel level, std::string_view format, const Args&... args) noexcept
{
    try {
        Log(component, level, FormatLogMessage(format, MakeFormatArgs(LoggedValue(args)...)));
    } catch (...) {
        // Escaping may run out of memory; a log call must not throw regardless.
    }
}

}  // namespace Tessaro::Vantrel::Common
