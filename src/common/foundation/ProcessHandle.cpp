#include "common/foundation/ProcessHandle.h"

#include <windows.h>

namespace Tessaro::Vantrel::Common::Utilities {

ProcessHandle::~ProcessHandle()
{
    if (handle_ != nullptr) {
        CloseHandle(handle_);
    }
}

}  // namespace Tessaro::Vantrel::Common::Utilities
