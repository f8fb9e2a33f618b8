#pragma once

#include <span>
#include <string>
#include <vector>
#include <windows.h>
// delayimp.h needs windows.h's types before it.
#include <delayimp.h>

namespace runtime::win32 {

/// The descriptor of each DLL this program imports through delay loading, as the toolchain's
/// delay-load helper reads it: Windows' own DLLs that are not KnownDLLs (WinHTTP, GDI+, the
/// common controls), which the loader would otherwise look for in the program's own folder
/// before anywhere else. The build lists them (cmake/DelayLoad.cmake makes this function). Any
/// thread. Never throws.
std::span<const ImgDelayDescr *const> delayLoadDescriptors();

/// One delay-loaded DLL as this process has it now.
struct DelayLoadedLibrary
{
    std::string name;                   ///< as the import table names it ("winhttp.dll")
    HMODULE module = nullptr;           ///< null until it is loaded
    std::vector<const void *> bindings; ///< each imported function's address as called now
};

/// Any thread. What each delay-loaded DLL has become in this process: before
/// loadDelayLoadedLibraries, a binding points at the helper's stub in this program; after it,
/// into the DLL. Throws std::bad_alloc only.
std::vector<DelayLoadedLibrary> delayLoadedLibraries();

/// UI thread, once, first thing, before a second thread starts and before anything calls into a
/// delay-loaded DLL. Loads every delay-loaded DLL from System32 (the common controls from the
/// side-by-side assembly the manifest names) and binds each of its functions now. Binding at first
/// call instead would go through the toolchain's x64 stub, which keeps the integer argument
/// registers across the helper but not xmm0 to xmm3, where GDI+ takes its REAL arguments. Throws
/// RuntimeError (Unavailable) naming a DLL that cannot be loaded; a function missing from one ends
/// the program with the helper's exception (0xC06D007F), as a missing import would have kept it
/// from starting.
void loadDelayLoadedLibraries();

} // namespace runtime::win32
