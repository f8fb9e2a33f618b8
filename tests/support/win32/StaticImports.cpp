// refitor-static-imports: proof that a planted DLL can load at all. It imports one function of
// each DLL that Refitor.exe loads from System32 alone, the ordinary way, through its import
// table, so the loader looks for each in this program's own folder first, as it did for
// Refitor.exe before it stopped importing them. Placed in a folder with copies of
// refitor-planted.dll under those names (and Wine told to prefer them to its own), it loads every
// one, and each writes its line. It never calls them: a planted copy exports nothing.
// Exits 0.

#include <windows.h>

// clang-format off
#include <bcrypt.h>
#include <commctrl.h>
#include <objidl.h>
#include <gdiplus.h>
#include <winhttp.h>
// clang-format on

int main()
{
    // Taking each address is what puts the function into the import table; keeping them where
    // the compiler cannot see them unused keeps it from dropping them.
    using Function = void (*)();
    static volatile Function imported[] = {
        reinterpret_cast<Function>(&WinHttpCheckPlatform),
        reinterpret_cast<Function>(&Gdiplus::GdiplusStartup),
        reinterpret_cast<Function>(&InitCommonControlsEx),
        reinterpret_cast<Function>(&BCryptOpenAlgorithmProvider),
    };
    return imported[0] == nullptr ? 1 : 0;
}
