#pragma once

#include <objbase.h>

namespace Tessaro::Simulator {

// Creates the Security Center antivirus status object (IWscAVStatus, IWscAVStatus2,
// IWscAVStatus4) and hands out the requested interface.
HRESULT CreateStatusObject(REFIID iid, void** object);

}  // namespace Tessaro::Simulator
