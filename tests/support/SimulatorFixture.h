#pragma once

#include "SimulatorState.h"
#include "security_center/com/ComApartment.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Tessaro::Testing {

// Tests against the simulated Security Center installed in the test prefix: each starts from a
// fresh state with "wscsvc" stopped, on a thread in the COM multithreaded apartment.
class SimulatorFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The "wscsvc" service through the service control manager.
    static DWORD ServiceState();
    static bool StartSimulatedService();
    static void StopSimulatedService();
    // Waits up to the time for the service to reach the state.
    static bool WaitForServiceState(DWORD state, DWORD milliseconds);
    // How many calls of that name the simulated Security Center's journal holds.
    static std::size_t CallsOf(const std::wstring& call);

private:
    std::unique_ptr<Ravelin::ComApartment> apartment_;
};

}  // namespace Tessaro::Testing
