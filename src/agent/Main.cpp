#include "agent/AgentEntry.h"
#include "diagnostics/Log.h"
#include "diagnostics/TraceChannel.h"

#include <windows.h>

#include <clocale>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    namespace Common = Tessaro::Vantrel::Common;
    // What is logged before the log file is open (this warning; the settings are read and the
    // instance keys cleaned up before the agent opens its log) waits for it.
    Common::KeepLogLinesUntilSinkInstalled();
    // Before anything can load a library: a name is looked up in the system directory only, never
    // in the executable's folder, the working folder or the search path, where anybody who can
    // write there could plant one. Refused, the run goes on with the system's search, and says so.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        Common::LogFormat(Common::LogComponent::Setup, Common::LogLevel::Warn,
                          "Failed to restrict the library search to the system folder (Error: {})", GetLastError());
    }
    // Narrow strings are UTF-8 throughout. The msvcrt runtime refuses this locale; our own
    // conversions keep the promise regardless. The command line is taken in its wide form: the
    // narrow one is UTF-8 only where the manifest's code page is honoured (Windows 10 1903 and
    // later), elsewhere any character outside the ANSI code page is lost in it.
    std::setlocale(LC_CTYPE, ".UTF8");  // NOLINT(cert-err33-c): refused by msvcrt, as said; nothing relies on it
    namespace Trace = Tessaro::Vantrel::Common::TraceChannel;
    Trace::RegisterProviders();
    // The trace providers go last, after the agent and its log have ended.
    struct UnregisterAtExit {
        ~UnregisterAtExit() { Trace::UnregisterProviders(); }
    } unregisterAtExit;
    return static_cast<int>(Tessaro::Ravelin::RunAgentCommand(GetCommandLineW()));
}
