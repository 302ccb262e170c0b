// What ravelin.exe asks of the loader before any of its code runs: the libraries it imports and
// the protections its image header asks for. A new import is a decision, not an accident.

#include "e2e/AgentProcess.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

using Tessaro::Testing::AgentExecutablePath;

// Every run needs these, and Windows takes each of them from the system directory only. Everything
// else is loaded at first use (common/OnDemandApi).
const std::set<std::string> AllowedImports = {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "NTDLL.DLL"};

class Image {
public:
    explicit Image(const std::wstring& path)
    {
        std::ifstream file(std::filesystem::path(path), std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    template <typename T>
    const T* At(std::size_t offset) const
    {
        return offset + sizeof(T) <= bytes_.size() ? reinterpret_cast<const T*>(bytes_.data() + offset) : nullptr;
    }

    const IMAGE_NT_HEADERS64* Headers() const
    {
        const auto* dos = At<IMAGE_DOS_HEADER>(0);
        return dos != nullptr && dos->e_magic == IMAGE_DOS_SIGNATURE
                   ? At<IMAGE_NT_HEADERS64>(static_cast<std::size_t>(dos->e_lfanew))
                   : nullptr;
    }

    // The file offset of an address of the loaded image.
    std::size_t Offset(DWORD rva) const
    {
        const auto* headers = Headers();
        const auto* section = IMAGE_FIRST_SECTION(headers);
        for (WORD index = 0; index < headers->FileHeader.NumberOfSections; ++index, ++section) {
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize) {
                return rva - section->VirtualAddress + section->PointerToRawData;
            }
        }
        return bytes_.size();
    }

    std::string Text(DWORD rva) const
    {
        const std::size_t offset = Offset(rva);
        if (offset >= bytes_.size()) {
            return {};
        }
        const char* text = bytes_.data() + offset;
        return std::string(text, strnlen(text, bytes_.size() - offset));
    }

    std::set<std::string> ImportedLibraries() const
    {
        std::set<std::string> names;
        const auto& directory = Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (std::size_t offset = Offset(directory.VirtualAddress);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const auto* descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(offset);
            if (descriptor == nullptr || descriptor->Name == 0) {
                return names;
            }
            std::string name = Text(descriptor->Name);
            std::transform(name.begin(), name.end(), name.begin(), [](char c) { return std::toupper(c); });
            names.insert(name);
        }
    }

private:
    std::vector<char> bytes_;
};

TEST(ExecutableImageTest, ImportsOnlyWhatEveryRunNeeds)
{
    const Image image(AgentExecutablePath());
    ASSERT_NE(image.Headers(), nullptr);
    const auto imported = image.ImportedLibraries();
    EXPECT_FALSE(imported.empty());
    for (const auto& name : imported) {
        EXPECT_TRUE(AllowedImports.count(name) == 1) << name << " is imported at load time";
    }
}

TEST(ExecutableImageTest, HeaderAsksForTheProtectionsOfAShippedExecutable)
{
    const Image image(AgentExecutablePath());
    ASSERT_NE(image.Headers(), nullptr);
    const WORD characteristics = image.Headers()->OptionalHeader.DllCharacteristics;
    EXPECT_TRUE(characteristics & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);
    EXPECT_TRUE(characteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(characteristics & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA);
    EXPECT_TRUE(characteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
}

}  // namespace
