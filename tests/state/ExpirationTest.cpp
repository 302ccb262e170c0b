#include "state/StateFixture.h"

#include <windows.h>

namespace {

using namespace std::chrono_literals;
using Tessaro::FromStoredSeconds;
using Tessaro::Ravelin::ProductState;
using Tessaro::Ravelin::SecurityCenterState;
using Tessaro::Ravelin::SecurityCenterSubState;
using Tessaro::Testing::FixedNow;

class ExpirationTest : public Tessaro::Testing::StateFixture {};

TEST_F(ExpirationTest, ExpiredOnlyStrictlyAfterTheExpirationTime)
{
    Store(L"ExpirationTime", FixedNow);
    EXPECT_FALSE(configuration->IsExpired(false));
    EXPECT_EQ(configuration->GetRemainingDaysToExpiration(), 0u);
    EXPECT_EQ(integration->ToSecurityCenterState(false, ProductState::On), SecurityCenterState::On);
    EXPECT_TRUE(Logged("Won't report product will be near to expire as the expire date passed already"));
    EXPECT_TRUE(Notices().empty());

    Store(L"ExpirationTime", FixedNow - 1s);
    EXPECT_EQ(integration->ToSecurityCenterState(false, ProductState::On), SecurityCenterState::Expired);
    EXPECT_EQ(integration->ToSecurityCenterState(true, ProductState::Snoozed), SecurityCenterState::Expired);
    EXPECT_TRUE(
        Logged("Reporting product got expired (Expire: 2026-06-01 11:59:59 - Notify: 2027-06-01 17:49:12 - "
               "Current: 2026-06-01 12:00:00)"));
    EXPECT_TRUE(Logged("The antivirus state got overridden by the expired state"));
    EXPECT_TRUE(Notices().empty()) << "an expired product gets no near-expiration notice";
}

TEST_F(ExpirationTest, RemainingDaysRoundUpAStartedDay)
{
    Store(L"ExpirationTime", FixedNow + 36h);
    EXPECT_EQ(configuration->GetRemainingDaysToExpiration(), 2u);
    Store(L"ExpirationTime", FixedNow + 1s);
    EXPECT_EQ(configuration->GetRemainingDaysToExpiration(), 1u);
    settings.Key()->DeleteValue(L"ExpirationTime");
    EXPECT_EQ(configuration->GetRemainingDaysToExpiration(), 1827u) << "five years of 365.2425 days, rounded up";

    EXPECT_EQ(integration->ToSecurityCenterState(false, ProductState::On), SecurityCenterState::On);
    EXPECT_EQ(Notices(), std::vector<std::uint32_t>{1827});
    EXPECT_TRUE(Logged("Reporting product will get expire in the 1827 days for the near to expire status"));
}

TEST_F(ExpirationTest, StatesOtherThanOnAndSnoozedSkipTheExpirationCheck)
{
    Store(L"ExpirationTime", FixedNow - 1s);
    EXPECT_EQ(integration->ToSecurityCenterState(false, ProductState::Off), SecurityCenterState::Off);
    EXPECT_EQ(integration->ToSecurityCenterState(false, ProductState::Unregistered), SecurityCenterState::Off);
    EXPECT_EQ(integration->ToSecurityCenterState(false, ProductState::Expired), SecurityCenterState::Snoozed);
    EXPECT_TRUE(log.Messages().empty());
    EXPECT_EQ(integration->ToSecurityCenterState(false, static_cast<ProductState>(5)), SecurityCenterState::Snoozed);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Unknown state to set in Windows Security Center (State: 5)"});
}

TEST_F(ExpirationTest, NoticeGoesOutOncePerUtcDayWithTheMarkerWrittenFirst)
{
    Store(L"LastNearExpirationNotificationTime", FromStoredSeconds(1'780'271'999));  // 2026-05-31 23:59:59
    integration->NotifyNearExpiration(30);
    EXPECT_EQ(Notices(), std::vector<std::uint32_t>{30});
    EXPECT_EQ(markersAtNotice, std::vector<std::uint64_t>{1'780'315'200u})
        << "today's marker is stored before the notice goes out";
    EXPECT_TRUE(Logged("Stored near expiration notification day marker for current UTC day before notify attempt"));

    Store(L"LastNearExpirationNotificationTime", FromStoredSeconds(1'780'272'000));  // 2026-06-01 00:00:00
    integration->NotifyNearExpiration(30);
    EXPECT_EQ(Notices().size(), 1u);
    EXPECT_TRUE(Logged("Skip near expiration notification because it was already sent for current UTC day"));

    // Before 1970 the days count down from there: noon of 1969-12-31 is not the day of 1970-01-01.
    StartRun("/UPDATE_WSC=ENABLE", FromStoredSeconds(-43'200));
    Store(L"LastNearExpirationNotificationTime", FromStoredSeconds(21'600));  // 1970-01-01 06:00:00
    integration->NotifyNearExpiration(30);
    EXPECT_EQ(Notices().size(), 1u);
}

// A settings key the agent may read but not write: the marker cannot be stored, which is only a
// warning, and the notice still goes out.
TEST_F(ExpirationTest, MarkerThatCannotBeStoredStillLetsTheNoticeGo)
{
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(settings.Path(), L"D:P(A;;KRWD;;;WD)"), 0u);
    StartRun("/UPDATE_WSC=ENABLE");
    integration->NotifyNearExpiration(30);
    ASSERT_EQ(Tessaro::Testing::SetKeyAccessList(settings.Path(), L"D:P(A;CI;KA;;;WD)"), 0u);
    EXPECT_TRUE(Logged("Failed to persist last near expiration notification time before notify attempt (Error: 5)"));
    EXPECT_EQ(Notices(), std::vector<std::uint32_t>{30});
}

TEST_F(ExpirationTest, StateUpdateRunsNotifyAtMostOncePerUtcDay)
{
    Store(L"ExpirationTime", FixedNow + 24h * 10);
    integration->ToSecurityCenterState(false, ProductState::On);
    integration->ComputeSubStates();
    EXPECT_EQ(Notices().size(), 1u) << "the status write and the sub-states of one run";

    StartRun("/UPDATE_WSC=ENABLE", FixedNow + 11h);  // 23:00 the same day
    integration->ToSecurityCenterState(false, ProductState::On);
    EXPECT_TRUE(Notices().empty()) << "a second run on the same UTC day";

    StartRun("/UPDATE_WSC=ENABLE", FixedNow + 12h);  // 00:00 the next day
    integration->ToSecurityCenterState(false, ProductState::On);
    EXPECT_EQ(Notices(), std::vector<std::uint32_t>{10});
}

// The stored state of the instance reaches the other states through a time word.
TEST_F(ExpirationTest, SubStatesForEachStoredState)
{
    Store(L"OutOfDateTime", FixedNow + 1h);
    const std::wstring instance = L"Instance\\" + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(settings.Child(instance)->CreateRecursively(), 0u);
    for (const auto& [stored, expectedSettings] : std::vector<std::pair<std::uint64_t, SecurityCenterSubState>>{
             {1, SecurityCenterSubState::ActionNeeded},
             {4, SecurityCenterSubState::ActionNeeded},
             {6, SecurityCenterSubState::ActionRecommended},
             {0, SecurityCenterSubState::ActionRecommended}}) {
        SCOPED_TRACE(stored);
        ASSERT_EQ(settings.Child(instance)->SetQword(L"StoredState", stored), 0u);
        StartRun("/UPDATE_WSC=SET_OUT_OF_DATE_TIME");
        const auto subStates = integration->ComputeSubStates();
        EXPECT_EQ(subStates.protectionSettings, expectedSettings);
        EXPECT_EQ(subStates.protectionUpdates, SecurityCenterSubState::NoAction);
    }
}

TEST_F(ExpirationTest, SnoozedSubStatesDoNotEvaluateUpToDateButExpiredOnDoes)
{
    Store(L"OutOfDateTime", FixedNow - 1h);
    StartRun("/UPDATE_WSC=SNOOZE");
    integration->ComputeSubStates();
    EXPECT_FALSE(Logged("Unable to get the product installation time")) << "no up-to-date evaluation";

    Store(L"ExpirationTime", FixedNow - 1s);
    StartRun("/UPDATE_WSC=ENABLE");
    const auto subStates = integration->ComputeSubStates();
    EXPECT_EQ(subStates.protectionSettings, SecurityCenterSubState::NoAction);
    EXPECT_EQ(subStates.protectionUpdates, SecurityCenterSubState::ActionRecommended);
    EXPECT_TRUE(Logged("The antivirus state got overriden by the up to date state"));
}

}  // namespace
