// Stored times are whatever the product (or anyone with write access) left in the registry: signed
// seconds that may lie at either end of the range. None of them may turn an expired or outdated
// product into a valid or current one, and every log line about them stays readable.

#include "state/StateFixture.h"

#include <cstdint>

namespace {

using namespace std::chrono_literals;
using Tessaro::Ravelin::ProductState;
using Tessaro::Ravelin::SecurityCenterState;
using Tessaro::Testing::FixedNow;

class StoredTimeTest : public Tessaro::Testing::StateFixture {
protected:
    void StoreRaw(const wchar_t* name, std::uint64_t bits) { ASSERT_EQ(settings.Key()->SetQword(name, bits), 0u); }
};

// The 64 bits as stored, and whether they mean a moment long past (else the far future).
struct Extreme {
    std::uint64_t bits;
    bool past;
    const char* name;
};
constexpr Extreme Extremes[] = {
    {0xFFFFFFFFFFFFFFFFull, true, "-1"},
    {0x8000000000000000ull, true, "INT64_MIN, also 2^63 unsigned"},
    {0x7FFFFFFFFFFFFFFFull, false, "INT64_MAX"},
    {922'337'203'686ull, false, "one second beyond the tick range"},
    {static_cast<std::uint64_t>(-922'337'203'686ll), true, "one second before the tick range"},
};

// Each stored time at either end: the expiration, the out-of-date and definitions times, and the
// installation and registration times that would grant a grace period.
TEST_F(StoredTimeTest, EveryStoredTimeAtEitherEnd)
{
    for (const auto& extreme : Extremes) {
        SCOPED_TRACE(extreme.name);
        StoreRaw(L"ExpirationTime", extreme.bits);
        EXPECT_EQ(configuration->IsExpired(true), extreme.past);
        EXPECT_EQ(integration->ToSecurityCenterState(true, ProductState::On),
                  extreme.past ? SecurityCenterState::Expired : SecurityCenterState::On);
        if (extreme.past) {
            EXPECT_EQ(configuration->GetRemainingDaysToExpiration(), 0u);
        } else {
            // Days to the end of the tick range (about year 31,000), not a wrapped count.
            EXPECT_GT(configuration->GetRemainingDaysToExpiration(), 10'000'000u);
        }

        StoreRaw(L"OutOfDateTime", extreme.bits);
        EXPECT_EQ(configuration->IsUpToDate(true), !extreme.past) << "OutOfDateTime";
        settings.Key()->DeleteValue(L"OutOfDateTime");
        StoreRaw(L"DefinitionsUpdateTime", extreme.bits);
        EXPECT_EQ(configuration->IsUpToDate(true), !extreme.past) << "DefinitionsUpdateTime + 7 days";
        settings.Key()->DeleteValue(L"DefinitionsUpdateTime");

        Store(L"OutOfDateTime", FixedNow - 1s);
        StoreRaw(L"ProductInstallationTime", extreme.bits);
        StoreRaw(L"RegisterTime", extreme.bits);
        EXPECT_FALSE(configuration->IsUpToDate(false)) << "no grace from either";
        settings.Key()->DeleteValue(L"OutOfDateTime");
        settings.Key()->DeleteValue(L"ProductInstallationTime");
        settings.Key()->DeleteValue(L"RegisterTime");
    }
    EXPECT_FALSE(Logged("Reporting product is still up to date")) << "no grace was granted";
}

// Every retry and poll waits through the real pause unless a test puts its own in: it must sleep
// (a lower bound only: how long beyond that is the scheduler's business).
TEST(PacingTest, RealPauseSleepsAtLeastMostOfItsDuration)
{
    const auto started = std::chrono::steady_clock::now();
    Tessaro::Pacing{}.pause(200ms);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 150ms);
}

}  // namespace
