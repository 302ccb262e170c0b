#pragma once

#include "common/OsInfoImpl.h"
#include "configuration/Configuration.h"
#include "security_center/WindowsSecurityCenterIntegration.h"
#include "support/LogCapture.h"
#include "support/ScratchRegistryKey.h"
#include "state/StateCommand.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Tessaro::Testing {

// 2026-06-01 12:00:00 UTC: a whole second, so stored seconds can equal now to the tick.
inline const TimePoint FixedNow = FromStoredSeconds(1'780'315'200);

// Records the notices instead of calling Security Center, with the day marker as it stood when
// each notice went out.
class RecordingIntegration : public Ravelin::WindowsSecurityCenterIntegration {
public:
    using WindowsSecurityCenterIntegration::WindowsSecurityCenterIntegration;
    void SendNearExpirationNotification(std::uint32_t days) override
    {
        notices.push_back(days);
        markersAtNotice.push_back(readMarker ? readMarker() : 0);
    }
    std::vector<std::uint32_t> notices;
    std::vector<std::uint64_t> markersAtNotice;
    std::function<std::uint64_t()> readMarker;
};

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
        integration = std::make_shared<RecordingIntegration>(configuration, std::make_shared<Ravelin::ComFactory>(),
                                                             std::make_shared<OsInfoImpl>());
        integration->readMarker = [this] {
            return settings.Key()->GetQword(L"LastNearExpirationNotificationTime", 0).Value();
        };
    }

    void Store(const wchar_t* name, TimePoint time)
    {
        ASSERT_EQ(settings.Key()->SetQword(name, static_cast<std::uint64_t>(ToStoredSeconds(time))), 0u);
    }

    bool Logged(const std::string& prefix) const
    {
        for (const auto& message : log.Messages()) {
            if (message.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    ScratchRegistryKey settings;
    TimePoint clock = FixedNow;
    std::shared_ptr<Ravelin::Configuration> configuration;
    std::shared_ptr<RecordingIntegration> integration;
    LogCapture log;
};

}  // namespace Tessaro::Testing
