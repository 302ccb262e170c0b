#include "agent/AgentEntry.h"

#include "agent/WindowsSecurityCenterAgent.h"
#include "common/foundation/StringConversion.h"
#include "configuration/CommandLine.h"
#include "diagnostics/Exception.h"
#include "diagnostics/Log.h"

#include <windows.h>

#include <string>

namespace Tessaro::Ravelin {

namespace {

using Vantrel::Common::LogComponent;
using Vantrel::Common::LogFormat;
using Vantrel::Common::LogLevel;

}  // namespace

std::uint32_t RunAgent(WindowsSecurityCenterAgent& agent)
{
    // Guarded here as well, while the agent and its log are alive, so that an exception on the
    // command's path is logged before the agent ends.
    return Vantrel::Common::Exceptions::Exception::CatchAllAndConvertToErrorCode(
        [&agent] {
            const std::uint32_t initializeCode = agent.Initialize();
            if (initializeCode != ERROR_SUCCESS) {
                LogFormat(LogComponent::None, LogLevel::Error, "Initialize failed with error: {}", initializeCode);
                return initializeCode;
            }
            const std::uint32_t code = agent.Execute().ErrorCode();
            if (code != ERROR_SUCCESS && code != ERROR_SHUTDOWN_IN_PROGRESS) {
                LogFormat(LogComponent::SecurityCenter, LogLevel::Error, "Execute command failed with error: {}", code);
            }
            return code;
        },
        "Agent command");
}

std::uint32_t RunAgentCommand(const wchar_t* processCommandLine) noexcept
{
    try {
        return Vantrel::Common::Exceptions::Exception::CatchAllAndConvertToErrorCode(
            [processCommandLine] {
                const std::wstring arguments(
                    ArgumentsAfterProgramName(processCommandLine != nullptr ? processCommandLine : L""));
                WindowsSecurityCenterAgent agent(Utf16ToUtf8(arguments));
                return RunAgent(agent);
            },
            "Agent command");
    } catch (...) {
        // Only an exception from the barrier's own error handling can arrive here.
        return Vantrel::Common::Exceptions::Exception::UnknownExceptionCode;
    }
}

}  // namespace Tessaro::Ravelin
