#pragma once

#include <string>

struct HINSTANCE__;

namespace Tessaro::Vantrel::Common::Utilities {

// Owns a loaded library and frees it when the owner ends.
class UniqueLibrary {
public:
    using Module = HINSTANCE__*;

    UniqueLibrary(Module module, std::wstring name);
    ~UniqueLibrary();

    UniqueLibrary(const UniqueLibrary&) = delete;
    UniqueLibrary& operator=(const UniqueLibrary&) = delete;

    Module Get() const noexcept { return module_; }
    const std::wstring& Name() const noexcept { return name_; }

private:
    Module module_;
    std::wstring name_;
};

}  // namespace Tessaro::Vantrel::Common::Utilities
