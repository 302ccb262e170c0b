#include "agent/AgentEntry.h"
#include "diagnostics/TraceChannel.h"

#include <windows.h>

#include <clocale>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    // Narrow strings are UTF-8 throughout. The msvcrt runtime refuses this locale; the manifest's
    // UTF-8 code page and our own conversions keep the promise regardless.
    std::setlocale(LC_CTYPE, ".UTF8");
    namespace Trace = Tessaro::Vantrel::Common::TraceChannel;
    Trace::RegisterProviders();
    // The trace providers go last, after the agent and its log have ended.
    struct UnregisterAtExit {
        ~UnregisterAtExit() { Trace::UnregisterProviders(); }
    } unregisterAtExit;
    return static_cast<int>(Tessaro::Ravelin::RunAgentCommand(commandLine));
}
