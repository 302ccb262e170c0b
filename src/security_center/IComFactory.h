#pragma once

#include "common/OnDemandApi.h"

#include <objbase.h>

namespace Tessaro::Ravelin {

// Creates COM objects; replaceable so that tests can stand in for Security Center's answers.
class IComFactory {
public:
    virtual ~IComFactory() = default;
    virtual HRESULT CreateInstance(REFCLSID classId, IUnknown** object) = 0;
};

// CoCreateInstance, in process, asking for IUnknown.
class ComFactory : public IComFactory {
public:
    HRESULT CreateInstance(REFCLSID classId, IUnknown** object) override
    {
        return OnDemand::CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                          reinterpret_cast<void**>(object));
    }
};

}  // namespace Tessaro::Ravelin
