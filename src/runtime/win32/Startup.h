#pragma once

#include <functional>
#include <windows.h>

namespace runtime::win32 {

/// What the Win32 runtime needs before the first window: DLLs loaded from System32 alone, the
/// common controls, GDI+, per-monitor DPI awareness where the executable's manifest did not give
/// it (test programs have none). One per program, made first thing on the UI thread, before
/// anything calls into WinHTTP, GDI+ or the common controls, and kept until the program ends.
class Startup
{
public:
    /// UI thread. Throws RuntimeError (Unavailable) when the DLL search cannot be restricted to
    /// System32, or a delay-loaded DLL, the common controls or GDI+ cannot start.
    Startup();
    /// UI thread. Shuts GDI+ down; no GDI+ object may outlive it. Never throws.
    ~Startup();
    Startup(const Startup &) = delete;
    Startup &operator=(const Startup &) = delete;

private:
    ULONG_PTR m_gdiplusToken = 0;
};

/// UI thread. Dispatches messages until a WM_QUIT arrives (or one a nested loop took first),
/// and returns its exit code. Never throws.
int runMessageLoop();

/// UI thread. Every message any of the runtime's loops takes from the queue goes to filter
/// first, which returns true when it has handled it (as IsDialogMessageW does for keyboard
/// navigation); the rest are translated and dispatched. An empty function removes it. Never
/// throws beyond std::bad_alloc.
void setMessageFilter(std::function<bool(MSG &)> filter);

} // namespace runtime::win32
