// failingtests.exe: stands in for the unit test program in the kit's own check. It writes the start
// of a test run as GoogleTest does, then, as RAVELIN_FAILING_TESTS says, crashes inside a test
// ("crash": an access violation that no handler catches), never ends ("hang"), or ends with 0 in the
// middle of a test ("quit", as a debugger that a crash starts may end it).

#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>

int wmain()
{
    std::printf(
        "[==========] Running 2 tests from 1 test suite.\n[ RUN      ] Probe.Passes\n"
        "[       OK ] Probe.Passes (0 ms)\n");
    std::array<char, 16> mode{};
    GetEnvironmentVariableA("RAVELIN_FAILING_TESTS", mode.data(), static_cast<DWORD>(mode.size()));
    const bool hang = std::strcmp(mode.data(), "hang") == 0;
    const bool quit = std::strcmp(mode.data(), "quit") == 0;
    std::printf("[ RUN      ] Probe.%s\n", hang ? "Hangs" : quit ? "Quits" : "Crashes");
    std::fflush(stdout);
    if (hang) {
        Sleep(INFINITE);
    }
    if (quit) {
        ExitProcess(0);
    }
    // An access violation that no handler catches, raised rather than made: the same end whatever
    // the compiler does with a write through a null pointer.
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return 0;
}
