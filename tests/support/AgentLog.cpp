#include "support/AgentLog.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <atomic>
#include <fstream>
#include <optional>
#include <sstream>

namespace Tessaro::Testing {

std::wstring AgentLogPath(const std::wstring& executableStem)
{
    std::array<wchar_t, MAX_PATH> windows{};
    const UINT length = GetWindowsDirectoryW(windows.data(), static_cast<UINT>(windows.size()));
    return std::wstring(windows.data(), length) + L"\\SystemTemp\\" + executableStem +
           L"_9E1C8D64_E25A_431A_9C7D_FA4605A88234.log";
}

namespace {

// Takes "[text] " at the position, returning the text; nothing when the line does not go on so.
std::optional<std::string> TakeBracket(const std::string& line, std::size_t& position)
{
    if (position >= line.size() || line[position] != '[') {
        return std::nullopt;
    }
    const auto close = line.find("] ", position);
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::string text = line.substr(position + 1, close - position - 1);
    position = close + 2;
    return text;
}

bool IsComponentName(const std::string& text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
}

// "<date> <time>:<ms> [LEVEL] [thread] [title] [component] message" (parsed by hand: lines can be
// far longer than a regular expression engine's recursion allows).
std::optional<AgentLogLine> ParseLine(std::string line, std::string& threadId)
{
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::size_t position = line.find(" [");
    if (position == std::string::npos) {
        return std::nullopt;
    }
    ++position;
    const auto level = TakeBracket(line, position);
    if (!level) {
        return std::nullopt;
    }
    while (position < line.size() && line[position] == ' ') {
        ++position;
    }
    if (line.compare(position, 19, "[UNKNOWN SEVERITY] ") == 0) {
        position += 19;
    }
    const auto thread = TakeBracket(line, position);
    const auto title = TakeBracket(line, position);
    if (!thread || !title || *title != "Windows Security Center Agent") {
        return std::nullopt;
    }
    threadId = *thread;
    AgentLogLine parsed{*level, {}, {}};
    std::size_t afterComponent = position;
    if (const auto component = TakeBracket(line, afterComponent); component && IsComponentName(*component)) {
        parsed.componentName = *component;
        position = afterComponent;
    }
    parsed.message = line.substr(position);
    return parsed;
}

// The rotated files (stem_1.log, stem_2.log, ...) and then the current one, so that a run whose
// lines were split by a rotation is still found whole.
std::vector<std::filesystem::path> LogFilesOldestFirst(const std::filesystem::path& current)
{
    std::vector<std::filesystem::path> files;
    for (unsigned number = 1;; ++number) {
        auto rotated = current.parent_path() / (current.stem().native() + L"_" + std::to_wstring(number) + L".log");
        if (!std::filesystem::exists(rotated)) {
            break;
        }
        files.push_back(std::move(rotated));
    }
    files.push_back(current);
    return files;
}

// Every file of the agent's log: in SystemTemp, and in Temp, where the log of a run that may not
// write SystemTemp goes (on Windows, an administrator's that is not SYSTEM).
std::vector<std::filesystem::path> AgentLogFiles(const std::wstring& executableStem)
{
    const std::filesystem::path systemTemp(AgentLogPath(executableStem));
    std::vector<std::filesystem::path> files;
    for (const auto& current : {systemTemp.parent_path().parent_path() / L"Temp" / systemTemp.filename(), systemTemp}) {
        for (auto& file : LogFilesOldestFirst(current)) {
            if (std::filesystem::exists(file)) {
                files.push_back(std::move(file));
            }
        }
    }
    return files;
}

}  // namespace

std::vector<AgentLogLine> AgentLogLinesOfRun(const std::string& identifier, const std::wstring& executableStem)
{
    const std::string banner = "Agent command " + identifier + " started with pid: ";
    std::stringstream text;
    for (const auto& path : AgentLogFiles(executableStem)) {
        std::ifstream file(path, std::ios::binary);
        text << file.rdbuf();
    }

    // The last run with that banner, should an identifier ever be used twice.
    std::vector<AgentLogLine> lines;
    std::string thread;
    bool collecting = false;
    AgentLogLine previous;
    std::string previousThread;
    for (std::string raw; std::getline(text, raw);) {
        std::string threadId;
        const auto parsed = ParseLine(raw, threadId);
        if (!parsed.has_value()) {
            continue;
        }
        AgentLogLine current = *parsed;
        const bool isBanner = current.message.rfind("Agent command ", 0) == 0;
        if (isBanner && current.message.rfind(banner, 0) == 0) {
            thread = threadId;
            collecting = true;
            lines.clear();
            if (previousThread == thread) {
                lines.push_back(previous);  // the separator above the banner
            }
        } else if (collecting && threadId == thread && isBanner) {
            collecting = false;  // a later process that got the same thread id
        }
        if (collecting && threadId == thread) {
            lines.push_back(current);
        }
        previous = std::move(current);
        previousThread = threadId;
    }
    return lines;
}

std::vector<std::string> AllAgentLogMessages(const std::wstring& executableStem)
{
    std::vector<std::string> messages;
    for (const auto& path : AgentLogFiles(executableStem)) {
        std::ifstream file(path, std::ios::binary);
        std::string threadId;
        for (std::string raw; std::getline(file, raw);) {
            if (const auto parsed = ParseLine(raw, threadId)) {
                messages.push_back(parsed->message);
            }
        }
    }
    return messages;
}

std::vector<std::string> Messages(const std::vector<AgentLogLine>& lines)
{
    std::vector<std::string> messages;
    for (const auto& line : lines) {
        messages.push_back(line.message);
    }
    return messages;
}

std::string UniqueRunIdentifier(const std::string& prefix)
{
    static std::atomic<unsigned> counter{0};
    return prefix + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) + "-" +
           std::to_string(++counter);
}

}  // namespace Tessaro::Testing
