// remediationtool.exe: a stand-in for a product's remediation tool. It appends the command line
// it was started with, as one UTF-8 line, to remediation_calls.txt beside itself, and ends.

#include "common/StringConversion.h"
#include "common/FileSystem.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

int wmain()
{
    std::wstring folder = Tessaro::Vantrel::Common::Utilities::ModulePath();
    folder = folder.substr(0, folder.find_last_of(L'\\') + 1);
    std::ofstream calls(std::filesystem::path(folder + L"remediation_calls.txt"), std::ios::binary | std::ios::app);
    calls << Tessaro::Utf16ToUtf8(GetCommandLineW()) << "\n";
    return calls ? 0 : 1;
}
