#pragma once

#include "common/UniqueLibrary.h"

#include <memory>
#include <mutex>

namespace Tessaro::Vantrel::Common::Utilities {

// A platform library that not every run needs. It is loaded from the system directory when one
// of its procedures is first asked for, never from the executable's folder or the search path,
// and its owner keeps it loaded from then on. Each library exists once per process (OnDemandApi).
class SystemLibrary {
public:
    explicit SystemLibrary(const wchar_t* fileName) : fileName_(fileName) {}

    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    // The procedure's address, or null when the library or the procedure is missing; the thread's
    // last error then says which (126 or 127).
    void* Procedure(const char* name);

    template <typename Function>
    Function Resolve(const char* name)
    {
        return reinterpret_cast<Function>(Procedure(name));
    }

private:
    const wchar_t* fileName_;
    std::once_flag loaded_;
    std::unique_ptr<UniqueLibrary> library_;
};

}  // namespace Tessaro::Vantrel::Common::Utilities
