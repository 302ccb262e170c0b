#include "agent/AgentEntry.h"
#include "diagnostics/TraceChannel.h"

#include <windows.h>

#include <clocale>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    // Before anything can load a library: a name is looked up in the system directory only, never
    // in the executable's folder, the working folder or the search path, where anybody who can
    // write there could plant one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
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
