#include "common/foundation/CheckedArithmetic.h"

#include "common/foundation/Format.h"

#include <limits>
#include <stdexcept>

namespace Tessaro {

namespace {

template <typename T>
T Multiply(T a, T b)
{
    constexpr T maximum = std::numeric_limits<T>::max();
    if (a != 0 && b > maximum / a) {
        throw std::overflow_error(Format("{} {} {} would exceed maximum allowed result: {}", a, "*", b, maximum));
    }
    return a * b;
}

}  // namespace

std::uint64_t CheckedAdd(std::uint64_t a, std::uint64_t b)
{
    if (b != 0 && a > ~b) {
        throw std::overflow_error(Format("{} {} {} = {} (exceeds maximum allowed: {})", a, "+", b,
                                         static_cast<std::int64_t>(a + b), std::numeric_limits<std::uint64_t>::max()));
    }
    return a + b;
}

std::uint64_t CheckedSubtract(std::uint64_t a, std::uint64_t b)
{
    if (b > a) {
        throw std::underflow_error(
            Format("{} {} {} = {} (below minimum allowed: {})", a, "-", b, static_cast<std::int64_t>(a - b), 0));
    }
    return a - b;
}

std::uint64_t CheckedMultiply(std::uint64_t a, std::uint64_t b)
{
    return Multiply(a, b);
}

std::uint32_t CheckedMultiply(std::uint32_t a, std::uint32_t b)
{
    return Multiply(a, b);
}

}  // namespace Tessaro
