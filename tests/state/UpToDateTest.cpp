#include "state/StateFixture.h"

namespace {

using namespace std::chrono_literals;
using Tessaro::TimePoint;
using Tessaro::Testing::FixedNow;

class UpToDateTest : public Tessaro::Testing::StateFixture {};

TEST_F(UpToDateTest, RegistrationRunIsAlwaysUpToDate)
{
    StartRun("/REGISTER");
    Store(L"OutOfDateTime", FixedNow - 24h);
    EXPECT_TRUE(configuration->IsUpToDate(false));
    EXPECT_TRUE(Logged("Reporting product is still up to date as the agent runs mode is a Security Center register"));
}

TEST_F(UpToDateTest, InstallationGraceHoldsStrictlyInsideOneDay)
{
    Store(L"OutOfDateTime", FixedNow - 48h);
    Store(L"ProductInstallationTime", FixedNow - 23h);
    EXPECT_TRUE(configuration->IsUpToDate(false));
    EXPECT_TRUE(
        Logged("Reporting product is still up to date as the product got just recently installed "
               "(InstallTime: 2026-05-31 13:00:00 - WaitEnd: 2026-06-01 13:00:00 - Current: 2026-06-01 12:00:00)"));

    for (const auto installed : {FixedNow - 24h, FixedNow, FixedNow + 1h}) {
        Store(L"ProductInstallationTime", installed);
        EXPECT_FALSE(configuration->IsUpToDate(false)) << "no grace at its ends or for a clock set back";
    }
}

// A grace period that would run past the end of time ends there: a clock near its end, with the
// installation an hour before it, is still inside the grace.
TEST_F(UpToDateTest, GraceEndingBeyondTheLastTickEndsAtIt)
{
    StartRun("/UPDATE_WSC=ENABLE", TimePoint::max() - 1h);
    Store(L"OutOfDateTime", FixedNow);
    Store(L"ProductInstallationTime", TimePoint::max() - 2h);
    EXPECT_TRUE(configuration->IsUpToDate(true));
}

TEST_F(UpToDateTest, RegistrationGraceLastsFifteenMinutes)
{
    Store(L"OutOfDateTime", FixedNow - 48h);
    Store(L"RegisterTime", FixedNow - 14min - 59s);
    EXPECT_TRUE(configuration->IsUpToDate(false));
    Store(L"RegisterTime", FixedNow - 15min);
    EXPECT_FALSE(configuration->IsUpToDate(false));
    settings.Key()->DeleteValue(L"RegisterTime");
    EXPECT_FALSE(configuration->IsUpToDate(false)) << "a missing registration time is now: no grace";
    EXPECT_TRUE(Logged("Unable to get the product installation time configuration entry"));
}

TEST_F(UpToDateTest, OutOfDateMomentAndItsFallBack)
{
    EXPECT_TRUE(configuration->IsUpToDate(false));
    EXPECT_TRUE(Logged("Reporting product is still up to date as no out-of-date information is available"));

    ASSERT_EQ(settings.Key()->SetQword(L"OutOfDateTime", 0), 0u);
    EXPECT_FALSE(configuration->IsUpToDate(false)) << "0 is the epoch, long past";

    ASSERT_EQ(settings.Key()->SetDword(L"OutOfDateTime", 4'000'000'000u), 0u);
    Store(L"DefinitionsUpdateTime", FixedNow - 24h * 7);
    EXPECT_FALSE(configuration->IsUpToDate(false)) << "a REG_DWORD is unreadable; definitions + 7 days is the limit";
    Store(L"DefinitionsUpdateTime", FixedNow - 24h * 7 + 1s);
    EXPECT_TRUE(configuration->IsUpToDate(false));
    EXPECT_TRUE(
        Logged("Reporting product is still up to date (OutOfDate: 2026-06-01 12:00:01 - InstallTime: <Unknown> - "
               "Current: 2026-06-01 12:00:00)"));

    Store(L"OutOfDateTime", FixedNow + 1s);
    Store(L"DefinitionsUpdateTime", FixedNow - 24h * 30);
    EXPECT_TRUE(configuration->IsUpToDate(false)) << "the out-of-date time wins over the definitions";
}

}  // namespace
