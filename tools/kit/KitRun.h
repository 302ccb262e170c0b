#pragma once

#include <filesystem>
#include <string>

namespace Kit {

// What run-tests.cmd passes on: run-tests.cmd [/roundtrip] [/agent PATH] [/filter PATTERN] [/timeout SECONDS]
struct RunOptions {
    bool roundTrip = false;
    std::wstring agent;          // empty: ravelin.exe beside the kit's helper
    std::wstring filter = L"*";  // GoogleTest's filter
    // How long the unit test program may run before it counts as hung and is ended with everything
    // it started. The whole suite takes a few minutes on a slow machine.
    unsigned timeoutSeconds = 1800;
};

// The line of Security Center's product list for `name`, read over WMI as the agent reads it:
// "absent", or its decoded state and whether it is up to date ("On up-to-date", ...). An error
// code other than 0 when the list could not be read (the text then says why).
std::string ProductEntry(const std::string& name, std::uint32_t& error);

// The kit's whole run, from the kit's folder: removes test roots a killed run left trusted, runs the
// unit test program (its output, its XML and how it ended go to `report`), takes the round trip when
// asked, removes the test roots again. Every step's outcome is written into the report folder; the
// summary is made from them afterwards.
void RunKit(const std::filesystem::path& kit, const std::filesystem::path& report, const RunOptions& options);

// The whole content of a file, or nothing when it cannot be read.
std::string ReadText(const std::filesystem::path& path);

// The GoogleTest test that had started and not finished when the program's output ends ("" when
// none): the test a crash or a hang happened in.
std::string UnfinishedTest(const std::string& output);

}  // namespace Kit
