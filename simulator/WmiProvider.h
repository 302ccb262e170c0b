#pragma once

#include <objbase.h>

namespace Tessaro::Simulator {

// Creates the WMI locator that serves root\SecurityCenter2 and its AntiVirusProduct class from
// the simulator's products.
HRESULT CreateWmiLocator(REFIID iid, void** object);

}  // namespace Tessaro::Simulator
