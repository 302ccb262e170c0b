// logwriter.exe PATH WRITER COUNT [MAXIMUM_SIZE]
// Writes COUNT lines "writer WRITER line I <padding>" through the real file logger into PATH, as
// an agent process would, then prints "lines COUNT seconds S". Used by the multi-process log test
// and by the log benchmark.

#include "common/foundation/StringConversion.h"
#include "diagnostics/FileLogger.h"
#include "diagnostics/Log.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <memory>

using namespace Tessaro::Vantrel::Common;

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::fputs("usage: logwriter PATH WRITER COUNT [MAXIMUM_SIZE]\n", stderr);
        return 2;
    }
    const unsigned writer = static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10));
    const unsigned count = static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10));
    const auto maximumSize =
        argc > 4 ? static_cast<std::uint32_t>(std::wcstoul(argv[4], nullptr, 10)) : LogFileWriter::DefaultMaximumSize;

    const auto started = std::chrono::steady_clock::now();
    {
        FileLogger logger(std::make_unique<LogFileWriter>(argv[1], maximumSize));
        logger.Install("Log Writer");
        for (unsigned line = 0; line < count; ++line) {
            LogFormat(LogComponent::SecurityCenter, LogLevel::Info, "writer {} line {} {}", writer, line,
                      "padding-padding-padding-padding-padding");
        }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    std::printf("lines %u seconds %.3f\n", count, elapsed.count());
    return 0;
}
