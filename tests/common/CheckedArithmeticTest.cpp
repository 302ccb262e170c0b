#include "common/foundation/CheckedArithmetic.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

namespace {

using Tessaro::CheckedAdd;
using Tessaro::CheckedMultiply;
using Tessaro::CheckedSubtract;

constexpr auto Max64 = std::numeric_limits<std::uint64_t>::max();

template <typename Exception, typename Function>
std::string MessageOf(Function function)
{
    try {
        function();
    } catch (const Exception& exception) {
        return exception.what();
    }
    return "no exception";
}

TEST(CheckedArithmeticTest, OverflowAndUnderflowNameTheOperation)
{
    EXPECT_EQ(MessageOf<std::overflow_error>([] { CheckedAdd(Max64, 2); }),
              "18446744073709551615 + 2 = 1 (exceeds maximum allowed: 18446744073709551615)");
    EXPECT_EQ(MessageOf<std::underflow_error>([] { CheckedSubtract(1, 3); }), "1 - 3 = -2 (below minimum allowed: 0)");
    EXPECT_EQ(
        MessageOf<std::overflow_error>([] { CheckedMultiply(std::uint64_t{1} << 32, (std::uint64_t{1} << 32) + 1); }),
        "4294967296 * 4294967297 would exceed maximum allowed result: 18446744073709551615");
    EXPECT_EQ(MessageOf<std::overflow_error>([] { CheckedMultiply(std::uint32_t{65536}, std::uint32_t{65537}); }),
              "65536 * 65537 would exceed maximum allowed result: 4294967295");
}

}  // namespace
