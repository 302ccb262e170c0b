#include "diagnostics/Log.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string_view>
#include <thread>

namespace {

using Tessaro::Testing::LogCapture;
using Tessaro::Vantrel::Common::InstallLogSink;
using Tessaro::Vantrel::Common::Log;
using Tessaro::Vantrel::Common::LogComponent;
using Tessaro::Vantrel::Common::LogFormat;
using Tessaro::Vantrel::Common::LogLevel;
using Tessaro::Vantrel::Common::LogSink;

TEST(LogTest, WithoutSinkLogCallsDoNothing)
{
    // A sink that is installed but then taken away: the calls after it reach nothing.
    const LogCapture capture;
    Log(LogComponent::SecurityCenter, LogLevel::Error, "captured");
    InstallLogSink({}, LogSink{});
    Log(LogComponent::SecurityCenter, LogLevel::Error, "nowhere");
    LogFormat(LogComponent::SecurityCenter, LogLevel::Error, "{}", 1);
    EXPECT_EQ(capture.Messages(), std::vector<std::string>{"captured"});
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
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2], "a\\u2028b\\u2029c\\u0085d\\u202ee \u540D\u524D \xE2\x80");
    EXPECT_EQ(messages[0], "Product: Name\\r\\n2026-01-01 00:00:00:0 [ERROR] forged\\x1b[2J\\t\\x7f | a\\x00b\nsecond");
    EXPECT_EQ(messages[1], "C:\\plain\\path 7") << "backslashes and numbers stay as they are";
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
                                    [](void* context, LogLevel, const std::string&, const std::string&,
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

// A sink may be destroyed as soon as it has been replaced, so replacing it must wait for calls
// that are still inside it.
TEST(LogTest, ReplacingTheSinkWaitsForCallsInsideIt)
{
    struct Gate {
        std::promise<void> entered;
        std::shared_future<void> release;
        std::atomic<bool> finished{false};
    };
    std::promise<void> releasePromise;
    Gate gate{{}, releasePromise.get_future().share()};
    InstallLogSink("Title",
                   LogSink{&gate,
                           [](void* context, LogLevel, const std::string&, const std::string&, const std::string&) {
                               auto* g = static_cast<Gate*>(context);
                               g->entered.set_value();
                               g->release.wait();
                               g->finished = true;
                           },
                           nullptr, nullptr});

    std::thread logger([] { Log(LogComponent::None, LogLevel::Info, "slow"); });
    gate.entered.get_future().wait();
    auto replacement = std::async(std::launch::async, [] { InstallLogSink({}, LogSink{}); });
    EXPECT_EQ(replacement.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    releasePromise.set_value();
    replacement.wait();
    EXPECT_TRUE(gate.finished);
    logger.join();
}

}  // namespace
