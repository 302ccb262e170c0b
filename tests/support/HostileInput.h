#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace Tessaro::Testing {

// Generated input for property tests: text and bytes built from the pieces that break parsers
// (the system's own keywords, prefixes and separators, quotes, blanks, control characters,
// invalid encodings, very long runs), from a fixed seed so that every run tries the same cases.
// Case N of a test uses the seed PropertySeed() + N; a failing case names it, and
// RAVELIN_PROPERTY_SEED=<seed> in the environment replays the run from that seed.
class HostileInput {
public:
    explicit HostileInput(std::uint64_t seed) : random_(seed) {}

    std::uint32_t Below(std::uint32_t bound);
    bool OneIn(std::uint32_t chances) { return Below(chances) == 0; }

    std::vector<std::uint8_t> Bytes(std::size_t size);
    // Mostly small sizes, the edges around 2, 4 and 8 bytes, now and then a large one.
    std::size_t Size();
    // Narrow text of the given pieces, random bytes (invalid UTF-8 among them) and long runs.
    std::string Text(const std::vector<std::string>& pieces, std::size_t maximumPieces);
    // Wide text of the given pieces, unpaired surrogates, NULs, control characters and long runs.
    std::wstring WideText(const std::vector<std::wstring>& pieces, std::size_t maximumPieces);

private:
    std::mt19937_64 random_;
};

std::uint64_t PropertySeed();

// How many cases a property test tries.
constexpr std::uint32_t PropertyCases = 2000;

// Runs the body for that many cases, each with its own input. A case that fails, raises an
// exception the body does not expect, or crashes the process (a trap of the trapping build, an
// access violation) is reported with its seed.
void ForEachCase(std::uint32_t cases, const std::function<void(HostileInput& input)>& body);

}  // namespace Tessaro::Testing
