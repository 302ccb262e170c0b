#include "security_center/SecurityCenterState.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Tessaro::Ravelin;

// The known states are read back in every listing test; a state Security Center does not define
// counts as snoozed, and says so.
TEST(SecurityCenterStateTest, UnknownStateReadBackFromSecurityCenter)
{
    const Tessaro::Testing::LogCapture capture;
    EXPECT_EQ(FromSecurityCenterState(static_cast<SecurityCenterState>(9)), ProductState::Snoozed);
    EXPECT_EQ(capture.Messages(),
              std::vector<std::string>{"Unknown state to set in Windows Security Center (State: 9)"});
}

}  // namespace
