#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct HINSTANCE__;

namespace Tessaro::Vantrel::Common::Utilities {

// Owns a loaded library and frees it when the owner ends. Loading verifies the file's
// Authenticode signature first and keeps the file open, shared for reading only, from the check
// to the load, so that it cannot be swapped in between. A file without an embedded signature is
// looked up in the system catalogs, which is how Windows signs most of its own files. Every
// failure raises std::system_error whose text carries a diagnostic report of the paths, the
// file, its signer, how it was verified and the load.
class UniqueLibrary {
public:
    using Module = HINSTANCE__*;

    enum class LoadMode : std::uint32_t {
        AbsolutePath = 0,    // the name is an absolute path
        System32Signed = 1,  // the name is a bare file name inside the system directory
    };

    UniqueLibrary(std::wstring name, LoadMode mode);
    // Takes over a module that is already loaded.
    UniqueLibrary(Module module, std::wstring name);
    ~UniqueLibrary();

    UniqueLibrary(const UniqueLibrary&) = delete;
    UniqueLibrary& operator=(const UniqueLibrary&) = delete;

    Module Get() const noexcept { return module_; }
    const std::wstring& Name() const noexcept { return name_; }
    // The export's address, or null when the module has none.
    void* GetProcedure(const std::string& name) const;
    // The same report a refusal carries, for the library as it was loaded.
    std::string DiagnosticReport() const;

    // Called while the file is held for verification (tests look at the file then).
    static void SetVerificationObserver(std::function<void(const std::wstring& path)> observer);

    static bool IsAbsolutePath(const std::wstring& path);
    // The weakly canonical final form: the existing part resolved through its handle.
    static std::wstring GetFinalPath(const std::wstring& path);
    static std::wstring ResolveInSystem32(const std::wstring& name);

    // How the signature was found: in the file ("embedded") or in a system catalog ("catalog",
    // with the catalog file's path). When the file carries none and no catalog can be used, the
    // catalog note says why ("n/a(...)").
    struct Verification {
        std::string method;
        std::string catalogFile;
    };

private:
    Module module_ = nullptr;
    std::wstring name_;
    std::wstring verifiedPath_;
    std::uint32_t loadFlags_ = 0;
    Verification verification_;
};

}  // namespace Tessaro::Vantrel::Common::Utilities
