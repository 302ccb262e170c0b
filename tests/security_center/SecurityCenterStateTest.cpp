#include "security_center/SecurityCenterState.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Tessaro::Ravelin;

TEST(SecurityCenterStateTest, StatesReadBackFromSecurityCenter)
{
    const Tessaro::Testing::LogCapture capture;
    EXPECT_EQ(FromSecurityCenterState(SecurityCenterState::On), ProductState::On);
    EXPECT_EQ(FromSecurityCenterState(SecurityCenterState::Off), ProductState::Off);
    EXPECT_EQ(FromSecurityCenterState(SecurityCenterState::Snoozed), ProductState::Snoozed);
    EXPECT_EQ(FromSecurityCenterState(SecurityCenterState::Expired), ProductState::Expired);
    EXPECT_TRUE(capture.Messages().empty());
    EXPECT_EQ(FromSecurityCenterState(static_cast<SecurityCenterState>(9)), ProductState::Snoozed);
    EXPECT_EQ(capture.Messages(),
              std::vector<std::string>{"Unknown state to set in Windows Security Center (State: 9)"});
}

}  // namespace
