#include "Startup.h"

#include "DelayLoad.h"
#include "Dispatch.h"
#include "runtime/RuntimeError.h"

#include <commctrl.h>
// GDI+'s headers need objidl.h's types before them.
// clang-format off
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

namespace runtime::win32 {

namespace {

// GetProcAddress gives a generic pointer; the detour through void (*)() is the one cast GCC
// accepts between unrelated function types without a warning.
template <typename Function> Function procedure(HMODULE module, const char *name)
{
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

void becomeDpiAware()
{
    // Asked at run time, newest first: each call exists only from some Windows version on. A
    // refusal means the manifest has decided already, which stands.
    using SetContext = BOOL(WINAPI *)(DPI_AWARENESS_CONTEXT);
    if (const auto setContext = procedure<SetContext>(::GetModuleHandleW(L"user32.dll"),
                                                      "SetProcessDpiAwarenessContext")) {
        if (setContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2) ||
            ::GetLastError() == ERROR_ACCESS_DENIED ||
            setContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE))
            return;
    }
    using SetAwareness = HRESULT(WINAPI *)(int);
    constexpr int kPerMonitorAware = 2;
    const HMODULE shcore = ::LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (const auto setAwareness = procedure<SetAwareness>(shcore, "SetProcessDpiAwareness")) {
        const HRESULT result = setAwareness(kPerMonitorAware);
        if (SUCCEEDED(result) || result == E_ACCESSDENIED)
            return;
    }
    ::SetProcessDPIAware();
}

} // namespace

Startup::Startup()
{
    // The updater runs from the product's folder, where downloads land, and a DLL planted there
    // must never be loaded in place of Windows' own. The loader has already loaded the import
    // table's DLLs by now, which is why it holds KnownDLLs alone, and those come from System32
    // whatever the folder holds. From here on every later load searches System32 only: the
    // delay-loaded DLLs (WinHTTP, GDI+, the common controls), loaded and bound next, and whatever
    // Windows' own DLLs load for themselves.
    if (!::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        throw RuntimeError(ErrorKind::Unavailable, "the DLL search cannot be kept to System32");
    loadDelayLoadedLibraries();
    becomeDpiAware();
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                        ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    if (!::InitCommonControlsEx(&controls))
        throw RuntimeError(ErrorKind::Unavailable, "the common controls cannot start");
    // Nothing here needs COM (no shell dialog, no drag and drop), so it is not started.
    const Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&m_gdiplusToken, &input, nullptr) != Gdiplus::Ok)
        throw RuntimeError(ErrorKind::Unavailable, "GDI+ cannot start");
}

Startup::~Startup()
{
    Gdiplus::GdiplusShutdown(m_gdiplusToken);
}

int runMessageLoop()
{
    MSG message;
    for (;;) {
        if (const auto exitCode = takeQuitRequest())
            return *exitCode;
        // Only an invalid window handle makes GetMessageW fail, and none is given.
        if (::GetMessageW(&message, nullptr, 0, 0) <= 0)
            return static_cast<int>(message.wParam);
        dispatchMessage(message);
    }
}

} // namespace runtime::win32
