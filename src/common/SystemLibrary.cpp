#include "common/SystemLibrary.h"

#include <windows.h>

namespace Tessaro::Vantrel::Common::Utilities {

void* SystemLibrary::Procedure(const char* name)
{
    std::call_once(loaded_, [this] {
        auto library = std::make_unique<UniqueLibrary>(LoadLibraryExW(fileName_, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32),
                                                       fileName_);
        if (library->Get() != nullptr) {
            library_ = std::move(library);
        }
    });
    if (library_ == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return library_->GetProcedure(name);
}

}  // namespace Tessaro::Vantrel::Common::Utilities
