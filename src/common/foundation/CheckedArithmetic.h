#pragma once

#include <cstdint>

namespace Tessaro {

// Exact unsigned arithmetic: the result, or std::overflow_error / std::underflow_error naming the
// operands, instead of a silently wrapped value.
std::uint64_t CheckedAdd(std::uint64_t a, std::uint64_t b);
std::uint64_t CheckedSubtract(std::uint64_t a, std::uint64_t b);
std::uint64_t CheckedMultiply(std::uint64_t a, std::uint64_t b);
std::uint32_t CheckedMultiply(std::uint32_t a, std::uint32_t b);

}  // namespace Tessaro
