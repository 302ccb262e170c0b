// Plants what an ordinary user could plant where the vendor lets users write, for the benchmark of
// planted input:
//   planter keys KEY PREFIX COUNT       COUNT empty subkeys PREFIX1 ... PREFIXCOUNT below KEY
//   planter value KEY NAME MEBIBYTES    a REG_BINARY value NAME of that many MiB in KEY
// KEY is below HKEY_LOCAL_MACHINE and is created when missing.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5) {
        std::fputws(L"usage: planter keys KEY PREFIX COUNT | planter value KEY NAME MEBIBYTES\n", stderr);
        return 2;
    }
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, argv[2], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        std::fputws(L"planter: cannot create the key\n", stderr);
        return 1;
    }
    const unsigned long count = std::wcstoul(argv[4], nullptr, 10);
    LSTATUS status = ERROR_SUCCESS;
    if (std::wcscmp(argv[1], L"keys") == 0) {
        for (unsigned long index = 1; index <= count && status == ERROR_SUCCESS; ++index) {
            HKEY planted = nullptr;
            const std::wstring name = std::wstring(argv[3]) + std::to_wstring(index);
            status = RegCreateKeyExW(key, name.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &planted, nullptr);
            RegCloseKey(planted);
        }
    } else {
        const std::vector<BYTE> bytes(static_cast<std::size_t>(count) << 20, 0x5A);
        status = RegSetValueExW(key, argv[3], 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : 1;
}
