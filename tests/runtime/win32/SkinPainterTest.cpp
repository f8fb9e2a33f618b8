// What only the Win32 runtime's skin painter shows: the font family GDI+ draws for one the
// system lacks. The cases every runtime shares are in runtime/SkinPainterTest.cpp.

#include "runtime/win32/SkinPaint.h"

#include <gtest/gtest.h>
#include <string>

TEST(Win32SkinPainter, AFamilyTheSystemLacksResolvesToAnInstalledOne)
{
    const std::wstring resolved = runtime::win32::resolveFontFamily(L"Refitor No Such Family");
    EXPECT_NE(resolved, L"");
    EXPECT_NE(resolved, L"Refitor No Such Family");
    EXPECT_EQ(runtime::win32::resolveFontFamily(L"DejaVu Sans"), L"DejaVu Sans")
        << "an installed family is itself";
}
