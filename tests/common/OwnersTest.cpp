#include "common/UniqueLibrary.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using Tessaro::Vantrel::Common::Utilities::UniqueLibrary;

TEST(UniqueLibraryTest, FreesTheLoadedModuleAndIgnoresAnEmptyOne)
{
    ASSERT_EQ(GetModuleHandleW(L"msimg32.dll"), nullptr) << "the test needs a library nobody else loaded";
    {
        const UniqueLibrary library(LoadLibraryW(L"msimg32.dll"), L"msimg32.dll");
        ASSERT_NE(library.Get(), nullptr);
        EXPECT_EQ(GetModuleHandleW(L"msimg32.dll"), library.Get());
    }
    EXPECT_EQ(GetModuleHandleW(L"msimg32.dll"), nullptr);
    {
        const UniqueLibrary empty(nullptr, L"none.dll");
    }
}

}  // namespace
