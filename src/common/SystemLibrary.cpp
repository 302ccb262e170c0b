#include "common/SystemLibrary.h"

#include <windows.h>

namespace Tessaro::Vantrel::Common::Utilities {

void* SystemLibrary::Procedure(const char* name)
{
    std::call_once(loaded_, [this] {
        if (const HMODULE module = LoadLibraryExW(fileName_, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
            library_ = std::make_unique<UniqueLibrary>(module, fileName_);
        }
    });
    if (library_ == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return library_->GetProcedure(name);
}

}  // namespace Tessaro::Vantrel::Common::Utilities
