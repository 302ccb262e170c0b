#include "common/UniqueLibrary.h"

#include <windows.h>

#include <utility>

namespace Tessaro::Vantrel::Common::Utilities {

UniqueLibrary::UniqueLibrary(Module module, std::wstring name) : module_(module), name_(std::move(name)) {}

UniqueLibrary::~UniqueLibrary()
{
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

}  // namespace Tessaro::Vantrel::Common::Utilities
