#include "runtime/win32/DelayLoad.h"

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <windows.h>

// WinHTTP, GDI+ and the common controls are delay loaded, so that the loader never looks for
// them in the program's own folder, where downloads land. The test main starts the runtime as
// Refitor.exe does; these tests read what that left in this process: where each DLL came from,
// and that every function was bound before first use.

using runtime::win32::delayLoadedLibraries;

namespace {

std::wstring lowerCase(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

std::wstring pathOf(HMODULE module)
{
    std::wstring path(MAX_PATH, L'\0');
    path.resize(::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size())));
    return lowerCase(path);
}

std::wstring systemFolder()
{
    std::wstring folder(MAX_PATH, L'\0');
    folder.resize(::GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size())));
    return lowerCase(folder);
}

/// The module whose image holds address, null when none does.
HMODULE moduleHolding(const void *address)
{
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCWSTR>(address), &module);
    return module;
}

} // namespace

TEST(Win32DelayLoad, WindowsOwnDllsAreLoadedFromTheSystemAndBoundBeforeFirstUse)
{
    const auto libraries = delayLoadedLibraries();
    std::set<std::string> names;
    for (const auto &library : libraries)
        names.insert(library.name);
    for (const char *needed : {"winhttp.dll", "gdiplus.dll", "comctl32.dll"})
        EXPECT_TRUE(names.contains(needed)) << needed << " is not delay loaded";

    const HMODULE program = ::GetModuleHandleW(nullptr);
    for (const auto &library : libraries) {
        SCOPED_TRACE(library.name);
        if (library.bindings.empty())
            continue;
        ASSERT_NE(library.module, nullptr);
        const std::wstring path = pathOf(library.module);
        if (library.name == "comctl32.dll") {
            // Version 6, from the side-by-side assembly the manifest names; System32 holds 5.
            EXPECT_NE(path.find(L"microsoft.windows.common-controls_"), std::wstring::npos)
                << std::filesystem::path(path).string();
            EXPECT_NE(path.find(L"_6.0."), std::wstring::npos)
                << std::filesystem::path(path).string();
        } else {
            EXPECT_EQ(std::filesystem::path(path).parent_path(),
                      std::filesystem::path(systemFolder()));
        }
        // An unbound entry points at the helper's stub in this program, whose first call would
        // lose floating-point arguments.
        for (const void *binding : library.bindings) {
            const HMODULE holder = moduleHolding(binding);
            EXPECT_NE(holder, nullptr);
            EXPECT_NE(holder, program);
        }
    }
}
