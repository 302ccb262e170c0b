#pragma once

#include "security_center/com/ComPointer.h"

#include <objbase.h>

#include <atomic>

namespace Tessaro::Simulator {

// Counts the live objects of the server so that DllCanUnloadNow can answer.
std::atomic<long>& LiveObjects();

// Reference counting shared by the simulator's COM objects.
class ReferenceCounted {
public:
    ReferenceCounted() { ++LiveObjects(); }
    virtual ~ReferenceCounted() { --LiveObjects(); }

protected:
    ULONG AddReference() { return static_cast<ULONG>(++references_); }
    ULONG ReleaseReference()
    {
        const long left = --references_;
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

private:
    std::atomic<long> references_{1};
};

// Hands a new object out through the interface asked for. The creator's own reference ends here,
// so the caller's is the only one left, and an interface the object lacks deletes it again.
template <typename Interface>
HRESULT HandOut(Interface* created, REFIID iid, void** object)
{
    const Ravelin::ComPointer<Interface> owner(created);
    return owner->QueryInterface(iid, object);
}

#define SIMULATOR_IUNKNOWN_REFERENCES          \
    ULONG STDMETHODCALLTYPE AddRef() override  \
    {                                          \
        return AddReference();                 \
    }                                          \
    ULONG STDMETHODCALLTYPE Release() override \
    {                                          \
        return ReleaseReference();             \
    }

}  // namespace Tessaro::Simulator
