#include "diagnostics/FileLogger.h"
#include "support/ChildProcess.h"
#include "support/HeldLogTurn.h"
#include "support/Platform.h"
#include "support/ProcessToken.h"
#include "support/ScratchFolder.h"
#include "common/foundation/WinHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <vector>

namespace {

using Tessaro::Testing::ChildProcess;
using Tessaro::Testing::FileText;
using Tessaro::Testing::HeldLogTurn;
using Tessaro::Testing::ScratchFolder;
using Tessaro::Testing::WriteText;
using Tessaro::Vantrel::Common::FileLogger;
using Tessaro::Vantrel::Common::Log;
using Tessaro::Vantrel::Common::LogComponent;
using Tessaro::Vantrel::Common::LogFileWriter;
using Tessaro::Vantrel::Common::LogFormat;
using Tessaro::Vantrel::Common::LogLevel;

constexpr std::uint32_t FiveMebibytes = 5'242'880;

std::chrono::system_clock::time_point At(std::int64_t seconds, std::int64_t milliseconds)
{
    return std::chrono::system_clock::time_point(std::chrono::seconds(seconds) +
                                                 std::chrono::milliseconds(milliseconds));
}

TEST(FileLoggerTest, LineCarriesTimestampLevelThreadTitleAndComponent)
{
    // 2024-03-01 09:15:02 UTC
    const auto time = At(1709284502, 7);
    EXPECT_EQ(FileLogger::FormatLine(time, LogLevel::Info, 4312, "Windows Security Center Agent", "SecurityCenter",
                                     "Command line: /REGISTER"),
              "2024-03-01 09:15:02:7 [INFO]  [4312] [Windows Security Center Agent] [SecurityCenter] Command line: "
              "/REGISTER\r\n");
    EXPECT_EQ(FileLogger::FormatLine(At(1709284502, 999), LogLevel::Warn, 1, "T", "", "m"),
              "2024-03-01 09:15:02:999 [WARN]  [1] [T] m\r\n");
    EXPECT_EQ(FileLogger::FormatLine(time, LogLevel::Error, 1, "T", "", "m"),
              "2024-03-01 09:15:02:7 [ERROR] [1] [T] m\r\n");
    EXPECT_EQ(FileLogger::FormatLine(time, LogLevel::Debug, 1, "T", "", "m"),
              "2024-03-01 09:15:02:7 [DEBUG] [1] [T] m\r\n");
    EXPECT_EQ(FileLogger::FormatLine(time, static_cast<LogLevel>(9), 1, "T", "", "m"),
              "2024-03-01 09:15:02:7 [ERROR] [UNKNOWN SEVERITY] [1] [T] m\r\n");
    // A message of several lines has the file's one kind of line end throughout.
    EXPECT_EQ(FileLogger::FormatLine(time, LogLevel::Warn, 1, "T", "", "held by:\n  - Pid 4\r\n  - Pid 8"),
              "2024-03-01 09:15:02:7 [WARN]  [1] [T] held by:\r\n  - Pid 4\r\n  - Pid 8\r\n");
}

// A line kept until the log opened is written with the time it was logged at, not the time it
// reached the file.
TEST(FileLoggerTest, LineIsWrittenWithTheTimeItWasLoggedAt)
{
    const ScratchFolder folder;
    FileLogger logger(std::make_unique<LogFileWriter>(folder.Path() / "agent.log"));
    const Tessaro::Vantrel::Common::LogStamp stamp{
        std::chrono::system_clock::time_point(std::chrono::seconds(1577836800)), 42};
    FileLogger::Write(&logger, stamp, LogLevel::Warn, "Title", "Setup", "kept");
    EXPECT_EQ(FileText(folder.Path() / "agent.log").rfind("2020-01-01 00:00:00:0 [WARN]  [42] [Title] [Setup] kept", 0),
              0u)
        << FileText(folder.Path() / "agent.log");
}

TEST(FileLoggerTest, ThresholdIsInfoUnlessTheTableSaysOtherwise)
{
    FileLogger logger(nullptr);
    EXPECT_FALSE(logger.Passes(LogLevel::Debug, "Agent", "SecurityCenter"));
    EXPECT_TRUE(logger.Passes(LogLevel::Info, "Agent", ""));

    logger.AddThreshold({"Agent", "", false, LogLevel::Debug});
    logger.AddThreshold({"Agent", "SecurityCenter", true, LogLevel::Warn});
    logger.AddThreshold({"Agent", "SecurityCenter", true, LogLevel::Error});
    EXPECT_TRUE(logger.Passes(LogLevel::Debug, "Agent", "Setup"));
    EXPECT_FALSE(logger.Passes(LogLevel::Warn, "Agent", "SecurityCenter")) << "the last component entry wins";
    EXPECT_TRUE(logger.Passes(LogLevel::Error, "Agent", "SecurityCenter"));
    EXPECT_FALSE(logger.Passes(LogLevel::Debug, "Other", ""));
}

TEST(FileLoggerTest, InstalledLoggerWritesPassingLinesAndStopsWhenItEnds)
{
    const ScratchFolder folder;
    const auto path = folder.Path() / "agent.log";
    {
        FileLogger logger(std::make_unique<LogFileWriter>(path));
        logger.Install("Windows Security Center Agent");
        Log(LogComponent::SecurityCenter, LogLevel::Debug, "not written");
        Log(LogComponent::SecurityCenter, LogLevel::Info, "written");
        LogFormat(LogComponent::None, LogLevel::Warn, "{}", std::string("formatted"));
    }
    Log(LogComponent::SecurityCenter, LogLevel::Error, "after the logger ended");

    const std::string text = FileText(path);
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{1,3} \[(?:INFO|WARN)\]  \[\d+\] )"
                          R"(\[Windows Security Center Agent\] ([^\r]*)\r\n)");
    std::vector<std::string> messages;
    for (std::sregex_iterator match(text.begin(), text.end(), line), end; match != end; ++match) {
        messages.push_back((*match)[1]);
    }
    ASSERT_EQ(messages.size(), 2u) << text;
    EXPECT_EQ(messages[0], "[SecurityCenter] written");
    EXPECT_EQ(messages[1], "formatted") << "no component, no bracket";
}

TEST(FileLoggerTest, RotatesAtExactlyFiveMebibytesAndNotOneByteBelow)
{
    const ScratchFolder folder;
    const auto path = folder.Path() / "agent.log";
    WriteText(path, std::string(FiveMebibytes - 1, 'x'));
    LogFileWriter writer(path);
    writer.Write("below\r\n");
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "agent_1.log"));
    EXPECT_EQ(std::filesystem::file_size(path), FiveMebibytes - 1 + 7);

    std::filesystem::resize_file(path, FiveMebibytes);
    writer.Write("after\r\n");
    ASSERT_TRUE(std::filesystem::exists(folder.Path() / "agent_1.log"));
    EXPECT_EQ(std::filesystem::file_size(folder.Path() / "agent_1.log"), FiveMebibytes);
    EXPECT_EQ(FileText(path), "after\r\n");
}

// Another agent's rotation moves the file a writer holds open: its next line goes to the new file
// at the log's path, not after the other's lines in the rotated one (which would grow without end).
TEST(FileLoggerTest, WriterFollowsTheRotationOfAnotherWriter)
{
    const ScratchFolder folder;
    const auto path = folder.Path() / "agent.log";
    LogFileWriter first(path, 64);
    LogFileWriter second(path, 64);
    second.Write("second 1\r\n");
    first.Write(std::string(62, 'x') + "\r\n");
    first.Write("first 2\r\n");
    second.Write("second 2\r\n");
    EXPECT_EQ(FileText(folder.Path() / "agent_1.log"), "second 1\r\n" + std::string(62, 'x') + "\r\n");
    EXPECT_EQ(FileText(path), "first 2\r\nsecond 2\r\n");
}

// Rotation takes the lowest free number and never replaces a file, also when the writer starts. The
// agent's log path is in long-path form; on Windows the C runtime sees no such file, so a check
// through it would never rotate.
TEST(FileLoggerTest, RotationTakesTheLowestFreeNumberInEveryPathForm)
{
    for (const std::wstring prefix : {L"", L"\\\\?\\", L"\\??\\"}) {
        const ScratchFolder folder;
        for (const int number : {1, 2, 4}) {
            WriteText(folder.Path() / ("agent_" + std::to_string(number) + ".log"), std::to_string(number));
        }
        WriteText(folder.Path() / "agent.log", std::string(FiveMebibytes, 'x'));
        const std::filesystem::path path = prefix + (folder.Path() / "agent.log").native();

        LogFileWriter writer(path);
        ASSERT_TRUE(std::filesystem::exists(folder.Path() / "agent_3.log")) << "at the start: " << path.string();
        writer.Write("next\r\n");
        EXPECT_EQ(FileText(folder.Path() / "agent_1.log"), "1");
        EXPECT_EQ(FileText(folder.Path() / "agent_4.log"), "4");
        EXPECT_EQ(std::filesystem::file_size(folder.Path() / "agent_3.log"), FiveMebibytes);
        EXPECT_EQ(FileText(folder.Path() / "agent.log"), "next\r\n");
        EXPECT_EQ(writer.NextRotationTarget(), prefix + (folder.Path() / "agent_5.log").native());
    }
}

// Whoever holds the turn (a suspended agent, anybody who can open the file in a shared folder)
// costs a writer one bounded wait, not one per line and not forever; the lines still arrive.
TEST(FileLoggerTest, HeldTurnCostsOneBoundedWaitAndTheLinesStillArrive)
{
    const ScratchFolder folder;
    const HeldLogTurn held((folder.Path() / "agent.lock").native());
    ASSERT_TRUE(held.Held());
    const auto started = std::chrono::steady_clock::now();
    {
        LogFileWriter writer(folder.Path() / "agent.log");
        for (int line = 0; line < 20; ++line) {
            writer.Write("line\r\n");
        }
    }
    // One wait of two seconds, the bound the writer gives a turn, not one per line.
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::seconds(2));
    EXPECT_LT(waited, std::chrono::seconds(8));
    std::string expected;
    for (int line = 0; line < 20; ++line) {
        expected += "line\r\n";
    }
    EXPECT_EQ(FileText(folder.Path() / "agent.log"), expected);
}

// The log folder may be one that other users can write. A name they planted there is never
// written through: the writer runs without a log instead.
TEST(FileLoggerTest, PlantedHardLinksAreNotWrittenThrough)
{
    const ScratchFolder folder;
    const auto elsewhere = folder.Path() / "elsewhere.txt";
    std::ofstream(elsewhere, std::ios::binary) << "precious";
    for (const char* planted : {"agent.log", "agent.lock"}) {
        SCOPED_TRACE(planted);
        std::filesystem::remove(folder.Path() / planted);
        ASSERT_TRUE(CreateHardLinkW((folder.Path() / planted).c_str(), elsewhere.c_str(), nullptr)) << GetLastError();
        {
            LogFileWriter writer(folder.Path() / "agent.log");
            writer.Write("line\r\n");
        }
        EXPECT_EQ(FileText(elsewhere), "precious");
        EXPECT_EQ(std::filesystem::exists(folder.Path() / "agent.log"), std::string(planted) == "agent.log")
            << "no log beside a planted lock file";
        std::filesystem::remove(folder.Path() / planted);
    }
    // A symbolic link at the log's name is refused as itself, not followed. (Wine makes one, but
    // its writer is refused for another reason; only Windows shows this refusal. Windows lets an
    // account create one only with the privilege for it or in developer mode.)
    if (CreateSymbolicLinkW((folder.Path() / "agent.log").c_str(), elsewhere.c_str(),
                            SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        {
            LogFileWriter writer(folder.Path() / "agent.log");
            EXPECT_TRUE(Tessaro::Testing::RunningUnderWine() || !writer.IsUsable());
            writer.Write("line\r\n");
        }
        EXPECT_EQ(FileText(elsewhere), "precious");
        std::filesystem::remove(folder.Path() / "agent.log");
    }
    // Once the names are its own again, the writer logs.
    LogFileWriter writer(folder.Path() / "agent.log");
    writer.Write("line\r\n");
    EXPECT_EQ(FileText(folder.Path() / "agent.log"), "line\r\n");
}

// The owners whose files may hold the log. (Wine gives every file the token's user as its owner
// and keeps no other, so a file planted by somebody else cannot be made here; the decision is
// checked on the owners themselves.)
TEST(FileLoggerTest, OnlyTheSystemAdministratorsAndThisTokenOwnTheLog)
{
    const auto owns = [](const wchar_t* text) {
        PSID sid = nullptr;
        if (!ConvertStringSidToSidW(text, &sid)) {
            ADD_FAILURE() << "no SID";
            return false;
        }
        const bool owned = LogFileWriter::IsOwnFileOwner(sid);
        LocalFree(sid);
        return owned;
    };
    EXPECT_TRUE(owns(L"S-1-5-18")) << "SYSTEM";
    EXPECT_TRUE(owns(L"S-1-5-32-544")) << "Administrators";
    EXPECT_FALSE(owns(L"S-1-5-32-545")) << "Users";
    EXPECT_FALSE(owns(L"S-1-1-0")) << "Everyone";
    EXPECT_FALSE(owns(L"S-1-5-21-1111-2222-3333-1001")) << "another user";
    EXPECT_FALSE(LogFileWriter::IsOwnFileOwner(nullptr));
    EXPECT_TRUE(owns(Tessaro::Testing::TokenSidText(TokenUser).c_str())) << "the files this process creates";
}

// A log whose folder is missing makes no folder: the writer says why it is not usable, and its
// lines are dropped, not kept for later.
TEST(FileLoggerTest, WriterWithoutAFileDropsLines)
{
    const ScratchFolder folder;
    LogFileWriter writer(folder.Path() / "missing-folder" / "agent.log");
    EXPECT_FALSE(writer.IsUsable());
    EXPECT_EQ(writer.OpenError(), static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND));
    writer.Write("dropped\r\n");
    ASSERT_FALSE(std::filesystem::exists(folder.Path() / "missing-folder"));
    std::filesystem::create_directories(folder.Path() / "missing-folder");
    writer.Write("later\r\n");
    EXPECT_EQ(FileText(folder.Path() / "missing-folder" / "agent.log"), "later\r\n");

    // The error told is the last open's: a folder in the log's place, then the log.
    std::filesystem::create_directory(folder.Path() / "held.log");
    LogFileWriter held(folder.Path() / "held.log");
    EXPECT_EQ(held.OpenError(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    std::filesystem::remove(folder.Path() / "held.log");
    held.Write("now\r\n");
    EXPECT_EQ(held.OpenError(), 0u);
}

// Several agents append to one log at once, rotating it as they go: every line must arrive once,
// whole, in the log or one of its rotated files.
TEST(FileLoggerTest, ProcessesWritingAtOnceLoseAndTearNoLine)
{
    constexpr int Writers = 4;
    constexpr int LinesPerWriter = 4000;
    const ScratchFolder folder;
    const auto path = folder.Path() / "shared.log";
    std::vector<std::unique_ptr<ChildProcess>> processes;
    for (int writer = 0; writer < Writers; ++writer) {
        // A small maximum size makes the processes rotate the file under each other.
        processes.push_back(
            std::make_unique<ChildProcess>(L"logwriter.exe", L"\"" + path.native() + L"\" " + std::to_wstring(writer) +
                                                                 L" " + std::to_wstring(LinesPerWriter) + L" 131072"));
    }
    for (const auto& process : processes) {
        EXPECT_EQ(process->WaitForExit(), 0u);
    }

    const std::regex whole(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{1,3} \[INFO\]  \[\d+\] \[Log Writer\] )"
                           R"(\[SecurityCenter\] writer (\d) line (\d+) padding-padding-padding-padding-padding)");
    std::map<std::pair<int, int>, int> seen;
    int rotated = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        const std::wstring name = entry.path().filename().native();
        if (entry.path().extension() != L".log") {
            continue;  // the turn's lock companion holds no lines
        }
        rotated += name.rfind(L"shared_", 0) == 0 ? 1 : 0;
        const std::string text = FileText(entry.path());
        std::size_t start = 0;
        for (auto end = text.find("\r\n"); end != std::string::npos; start = end + 2, end = text.find("\r\n", start)) {
            const std::string line = text.substr(start, end - start);
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, whole)) << "torn line: " << line;
            ++seen[{std::stoi(match[1]), std::stoi(match[2])}];
        }
        EXPECT_EQ(start, text.size()) << "text after the last line end in " << entry.path().string();
    }
    EXPECT_GT(rotated, 0) << "the test is meant to rotate";
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(Writers * LinesPerWriter));
    for (const auto& [line, count] : seen) {
        EXPECT_EQ(count, 1) << "writer " << line.first << " line " << line.second;
    }
}

}  // namespace
