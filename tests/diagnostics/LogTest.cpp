#include "diagnostics/Log.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string_view>
#include <thread>

namespace {

using Tessaro::Testing::LogCapture;
using Tessaro::Vantrel::Common::ComponentName;
using Tessaro::Vantrel::Common::InstallLogSink;
using Tessaro::Vantrel::Common::Log;
using Tessaro::Vantrel::Common::LogComponent;
using Tessaro::Vantrel::Common::LogFormat;
using Tessaro::Vantrel::Common::LogLevel;
using Tessaro::Vantrel::Common::LogSink;
using Tessaro::Vantrel::Common::LogStamp;
using Tessaro::Vantrel::Common::RemoveLogSink;

// Once asked to, lines logged before a sink exists wait for it: the first sink gets them in their
// order, with the times they were logged at, then one line that counts those beyond the limit.
// After that, and before being asked, a line with no sink is dropped as always.
TEST(LogTest, LinesLoggedBeforeTheSinkAreKeptForIt)
{
    struct Written {
        LogStamp stamp;
        LogLevel level;
        std::string componentName;
        std::string message;
    };
    std::vector<Written> written;
    const LogSink recorder{
        &written,
        [](void* context, const LogStamp& stamp, LogLevel level, const std::string&, const std::string& componentName,
           const std::string& message) {
            static_cast<std::vector<Written>*>(context)->push_back({stamp, level, componentName, message});
        },
        nullptr, nullptr};
    InstallLogSink({}, LogSink{});
    Log(LogComponent::Setup, LogLevel::Warn, "before keeping");
    Tessaro::Vantrel::Common::KeepLogLinesUntilSinkInstalled();
    constexpr std::size_t limit = 256;  // as the integration guide documents it
    for (std::size_t line = 0; line < limit + 2; ++line) {
        Log(LogComponent::Setup, LogLevel::Warn, "early " + std::to_string(line));
    }
    InstallLogSink({}, LogSink{});  // no log yet: the kept lines wait
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto installed = std::chrono::system_clock::now();
    InstallLogSink("Title", recorder);
    Log(LogComponent::Setup, LogLevel::Info, "after");
    InstallLogSink({}, LogSink{});
    Log(LogComponent::Setup, LogLevel::Info, "after the sink is gone");
    InstallLogSink("Title", recorder);
    InstallLogSink({}, LogSink{});

    ASSERT_EQ(written.size(), limit + 2);
    for (std::size_t line = 0; line < limit; ++line) {
        EXPECT_EQ(written[line].message, "early " + std::to_string(line));
        EXPECT_EQ(written[line].level, LogLevel::Warn);
        EXPECT_EQ(written[line].componentName, "Setup");
        EXPECT_LT(written[line].stamp.time, installed) << "written with the time it was logged at";
    }
    EXPECT_EQ(written[limit].message, "2 more lines were logged before the log was open and are lost");
    EXPECT_EQ(written[limit].level, LogLevel::Warn);
    EXPECT_EQ(written[limit + 1].message, "after");
}

// A value (a display name, a product list entry, a command line) cannot end its line and forge
// the next one; the caller's own format string keeps its line breaks.
TEST(LogTest, ControlCharactersInValuesAreWrittenEscaped)
{
    const LogCapture capture;
    const std::string forged = "Name\r\n2026-01-01 00:00:00:0 [ERROR] forged\x1b[2J\t\x7f";
    LogFormat(LogComponent::SecurityCenter, LogLevel::Info, "Product: {} | {}\nsecond", forged,
              std::string_view("a\0b", 3));
    LogFormat(LogComponent::SecurityCenter, LogLevel::Info, "{} {}", "C:\\plain\\path", 7);
    // Line and paragraph separators, NEL and a direction override; other scripts and a cut
    // sequence (not valid UTF-8) stay as they are.
    LogFormat(LogComponent::SecurityCenter, LogLevel::Info, "{}",
              "a\u2028b\u2029c\u0085d\u202Ee \u540D\u524D \xE2\x80");
    LogFormat(LogComponent::SecurityCenter, LogLevel::Info, "{}", "\u202E");
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[3], "\\u202e") << "a value of nothing but such a character";
    EXPECT_EQ(messages[2], "a\\u2028b\\u2029c\\u0085d\\u202ee \u540D\u524D \xE2\x80");
    EXPECT_EQ(messages[0], "Product: Name\\r\\n2026-01-01 00:00:00:0 [ERROR] forged\\x1b[2J\\t\\x7f | a\\x00b\nsecond");
    EXPECT_EQ(messages[1], "C:\\plain\\path 7") << "backslashes and numbers stay as they are";
}

// The characters viewers do not show or take as line breaks and direction changes, by Unicode's
// tables: the C1 controls, the line and paragraph separators and every format character (general
// category Cf) of Unicode 15, the tag block among them. Each range is escaped from its first to
// its last character, and the characters just outside it stay as they are.
TEST(LogTest, EveryInvisibleCharacterRangeIsEscapedToItsEndsAndNoFurther)
{
    const std::pair<char32_t, char32_t> ranges[] = {
        {0x0080, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
        {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},
        {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
        {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
        {0xE0000, 0xE007F},
    };
    const auto utf8 = [](char32_t c) {
        const auto byte = [](unsigned value) { return static_cast<char>(value); };
        if (c < 0x800) {
            return std::string{byte(0xC0 | (c >> 6)), byte(0x80 | (c & 0x3F))};
        }
        if (c < 0x10000) {
            return std::string{byte(0xE0 | (c >> 12)), byte(0x80 | ((c >> 6) & 0x3F)), byte(0x80 | (c & 0x3F))};
        }
        return std::string{byte(0xF0 | (c >> 18)), byte(0x80 | ((c >> 12) & 0x3F)), byte(0x80 | ((c >> 6) & 0x3F)),
                           byte(0x80 | (c & 0x3F))};
    };
    const auto escaped = [](char32_t c) {
        char text[16];
        std::snprintf(text, sizeof text, c <= 0xFFFF ? "\\u%04x" : "\\U%08x", static_cast<unsigned>(c));
        return std::string(text);
    };
    for (const auto& [first, last] : ranges) {
        const LogCapture capture;
        // Below 0x80 is DEL, a control of its own.
        const std::string before = first == 0x80 ? "\x7f" : utf8(first - 1);
        LogFormat(LogComponent::SecurityCenter, LogLevel::Info, "{}",
                  before + utf8(first) + "|" + utf8(last) + utf8(last + 1));
        EXPECT_EQ(capture.Messages().at(0),
                  (first == 0x80 ? "\\x7f" : before) + escaped(first) + "|" + escaped(last) + utf8(last + 1))
            << std::hex << static_cast<unsigned>(first) << "-" << static_cast<unsigned>(last);
    }
}

// The name each line carries for its component, by the component's number: other components of
// the product log under the same numbers. 0 and numbers outside 1 to 15 have none.
TEST(LogTest, EachComponentNumberHasItsName)
{
    const std::pair<LogComponent, std::string_view> names[] = {
        {LogComponent::None, ""},
        {LogComponent::Detection, "Detection"},
        {LogComponent::Sensor, "Sensor"},
        {LogComponent::Setup, "Setup"},
        {LogComponent::Configuration, "Configuration"},
        {LogComponent::ProductProtection, "ProductProtection"},
        {LogComponent::Update, "Update"},
        {LogComponent::DecisionLogic, "DecisionLogic"},
        {LogComponent::BootSectorScan, "BootSectorScan"},
        {LogComponent::RuleDefinitionFile, "RuleDefinitionFile"},
        {LogComponent::SecurityCenter, "SecurityCenter"},
        {LogComponent::FileScan, "FileScan"},
        {LogComponent::FilterDriver, "FilterDriver"},
        {LogComponent::Mitigation, "Mitigation"},
        {LogComponent::Fops, "Fops"},
        {LogComponent::CodeSign, "CodeSign"},
    };
    for (int number = 0; number < 16; ++number) {
        EXPECT_EQ(static_cast<int>(names[number].first), number) << names[number].second;
        EXPECT_EQ(ComponentName(static_cast<LogComponent>(number)), names[number].second);
    }
    EXPECT_EQ(ComponentName(static_cast<LogComponent>(16)), "");
    EXPECT_EQ(ComponentName(static_cast<LogComponent>(-1)), "");
}

TEST(LogTest, FormatErrorStillWritesALineNamingTheFormat)
{
    const LogCapture capture;
    LogFormat(LogComponent::None, LogLevel::Info, "{:d} value", std::string("text"));
    LogFormat(LogComponent::None, LogLevel::Info, "{} and {}", 1);
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("Logger Message Format Error: <{:d} value> (", 0), 0u) << messages[0];
    EXPECT_EQ(messages[1].rfind("Logger Message Format Error: <{} and {}> (", 0), 0u) << messages[1];
}

struct FilterProbe {
    bool pass = true;
    bool raise = false;
    static bool Filter(void* context, LogLevel, const std::string&, const std::string&)
    {
        auto* probe = static_cast<FilterProbe*>(context);
        if (probe->raise) {
            throw std::runtime_error("filter");
        }
        return probe->pass;
    }
};

TEST(LogTest, FilterDropsAndAFailingFilterCountsAsPass)
{
    std::vector<std::string> written;
    FilterProbe probe;
    InstallLogSink("Title", LogSink{&written,
                                    [](void* context, const LogStamp&, LogLevel, const std::string&, const std::string&,
                                       const std::string& message) {
                                        static_cast<std::vector<std::string>*>(context)->push_back(message);
                                    },
                                    &probe, &FilterProbe::Filter});
    probe.pass = false;
    Log(LogComponent::None, LogLevel::Info, "dropped");
    probe.raise = true;
    Log(LogComponent::None, LogLevel::Info, "kept");
    InstallLogSink({}, LogSink{});
    EXPECT_EQ(written, std::vector<std::string>{"kept"});
}

// A sink may be destroyed as soon as it has been replaced or removed, so either must wait for calls
// that are still inside it.
TEST(LogTest, ReplacingOrRemovingTheSinkWaitsForCallsInsideIt)
{
    struct Gate {
        std::promise<void> entered;
        std::shared_future<void> release;
        std::atomic<bool> finished{false};
    };
    for (const bool remove : {false, true}) {
        std::promise<void> releasePromise;
        Gate gate{{}, releasePromise.get_future().share()};
        InstallLogSink("Title", LogSink{&gate,
                                        [](void* context, const LogStamp&, LogLevel, const std::string&,
                                           const std::string&, const std::string&) {
                                            auto* g = static_cast<Gate*>(context);
                                            g->entered.set_value();
                                            g->release.wait();
                                            g->finished = true;
                                        },
                                        nullptr, nullptr});

        std::thread logger([] { Log(LogComponent::None, LogLevel::Info, "slow"); });
        gate.entered.get_future().wait();
        auto ending = std::async(std::launch::async,
                                 [remove, &gate] { remove ? RemoveLogSink(&gate) : InstallLogSink({}, LogSink{}); });
        EXPECT_EQ(ending.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout) << remove;
        releasePromise.set_value();
        ending.wait();
        EXPECT_TRUE(gate.finished) << remove;
        logger.join();
    }
}

}  // namespace
