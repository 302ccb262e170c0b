#include "security_center/com/ComApartment.h"

#include "common/OnDemandApi.h"

#include <objbase.h>

namespace Tessaro::Ravelin {

ComApartment::ComApartment() : result_(OnDemand::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}

ComApartment::~ComApartment()
{
    if (Entered()) {
        OnDemand::CoUninitialize();
    }
}

}  // namespace Tessaro::Ravelin
