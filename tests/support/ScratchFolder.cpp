#include "support/ScratchFolder.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace Tessaro::Testing {

ScratchFolder::ScratchFolder()
{
    static std::atomic<unsigned> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            (L"ravelin_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace Tessaro::Testing
