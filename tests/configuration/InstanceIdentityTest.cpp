#include "configuration/InstanceIdentity.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

using namespace Tessaro::Ravelin;
using Tessaro::FromStoredSeconds;
using Tessaro::TimePoint;

TEST(InstanceIdentityTest, GeneratedIdentifierCountsMillisecondsFromItsEpoch)
{
    const TimePoint reference = FromStoredSeconds(947'164'455);
    EXPECT_EQ(MakeGeneratedIdentifier(reference, std::nullopt), "Cid_1");
    EXPECT_EQ(MakeGeneratedIdentifier(reference + std::chrono::milliseconds(0x1000), 0x20), "Cid_1021");
    EXPECT_EQ(MakeGeneratedIdentifier(reference - std::chrono::milliseconds(2), std::nullopt), "Cid_ffffffffffffffff");
}

TEST(InstanceIdentityTest, InstanceNamesParseLikeTheStandardConversion)
{
    EXPECT_EQ(ParseInstanceProcessId(L"1234"), 1234);
    EXPECT_EQ(ParseInstanceProcessId(L"12x"), 12);
    EXPECT_EQ(ParseInstanceProcessId(L"09"), 9) << "the first and last digits lead";
    EXPECT_EQ(ParseInstanceProcessId(L"+90"), 90);
    EXPECT_EQ(ParseInstanceProcessId(L"  -5"), -5);
    EXPECT_EQ(ParseInstanceProcessId(L"2147483647"), 2147483647);
    EXPECT_EQ(ParseInstanceProcessId(L"-2147483648"), -2147483647 - 1);
    for (const wchar_t* invalid : {L"abc", L"", L"-", L" x1"}) {
        try {
            ParseInstanceProcessId(invalid);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "invalid stol argument");
        }
    }
    for (const wchar_t* tooLarge : {L"99999999999", L"2147483648", L"-2147483649"}) {
        try {
            ParseInstanceProcessId(tooLarge);
            ADD_FAILURE() << "accepted";
        } catch (const std::out_of_range& error) {
            EXPECT_STREQ(error.what(), "stol argument out of range");
        }
    }
}

}  // namespace
