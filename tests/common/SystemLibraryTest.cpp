#include "common/SystemLibrary.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

using Tessaro::Testing::TestProgramFolder;
using Tessaro::Vantrel::Common::Utilities::SystemLibrary;

TEST(SystemLibraryTest, ResolvesFromTheSystemDirectoryOnly)
{
    SystemLibrary version(L"version.dll");
    EXPECT_NE(version.Procedure("GetFileVersionInfoSizeW"), nullptr);
    EXPECT_EQ(version.Procedure("NoSuchProcedure"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    // A library beside the executable is one the default search would take; this one is not.
    const std::wstring planted = TestProgramFolder() + L"ravelin_planted_probe.dll";
    ASSERT_TRUE(CopyFileW((TestProgramFolder() + L"signedprobe.dll").c_str(), planted.c_str(), FALSE));
    SystemLibrary beside(L"ravelin_planted_probe.dll");
    EXPECT_EQ(beside.Procedure("RavelinProbe"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    {
        const HMODULE searched = LoadLibraryW(L"ravelin_planted_probe.dll");
        ASSERT_NE(searched, nullptr) << "the default search would have found it";
        const Tessaro::Vantrel::Common::Utilities::UniqueLibrary owner(searched, L"ravelin_planted_probe.dll");
    }
    DeleteFileW(planted.c_str());
}

}  // namespace
