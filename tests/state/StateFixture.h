#pragma once

#include "common/OsInfoImpl.h"
#include "configuration/Configuration.h"
#include "security_center/WindowsSecurityCenterIntegration.h"
#include "support/LogCapture.h"
#include "support/SecurityCenterDoubles.h"
#include "support/ScratchRegistryKey.h"
#include "state/StateCommand.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace Tessaro::Testing {

// 2026-06-01 12:00:00 UTC: a whole second, so stored seconds can equal now to the tick.
inline const TimePoint FixedNow = FromStoredSeconds(1'780'315'200);

// A configuration on a scratch settings key with a clock that stands still.
class StateFixture : public ::testing::Test {
protected:
    StateFixture() { StartRun("/UPDATE_WSC=ENABLE"); }

    // A new agent run on the same settings key.
    void StartRun(const std::string& commandLine, TimePoint now = FixedNow)
    {
        configuration = std::make_shared<Ravelin::Configuration>();
        configuration->SetClock([this] { return clock; });
        clock = now;
        Ravelin::InstallStateCommands(*configuration, nullptr);
        configuration->ParseCommandLine(commandLine, settings.Key(), nullptr);
        factory = std::make_shared<FakeFactory>();
        // The day marker as it stands when each notice goes out.
        factory->object.onNotify = [this](std::uint32_t) {
            markersAtNotice.push_back(settings.Key()->GetQword(L"LastNearExpirationNotificationTime", 0).Value());
        };
        integration = std::make_shared<Ravelin::WindowsSecurityCenterIntegration>(configuration, factory,
                                                                                  std::make_shared<OsInfoImpl>());
    }

    void Store(const wchar_t* name, TimePoint time)
    {
        ASSERT_EQ(settings.Key()->SetQword(name, static_cast<std::uint64_t>(ToStoredSeconds(time))), 0u);
    }

    bool Logged(const std::string& prefix) const { return log.Count(prefix) > 0; }

    ScratchRegistryKey settings;
    TimePoint clock = FixedNow;
    std::shared_ptr<Ravelin::Configuration> configuration;
    std::shared_ptr<FakeFactory> factory;
    std::shared_ptr<Ravelin::WindowsSecurityCenterIntegration> integration;
    // The near-expiration notices Security Center was sent, and the day marker at each.
    const std::vector<std::uint32_t>& Notices() const { return factory->object.notices; }
    std::vector<std::uint64_t> markersAtNotice;
    LogCapture log;
};

}  // namespace Tessaro::Testing
