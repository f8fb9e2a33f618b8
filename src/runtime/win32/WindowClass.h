#pragma once

#include <windows.h>

// The window classes this runtime registers. Each is the program's own (not a global class), so
// the names need only be distinct within the program; they name no product.
namespace runtime::win32::windowclass {

/// A top-level window of the runtime's (Win32Window).
inline constexpr wchar_t kWindow[] = L"Runtime.Window";
/// The child that shows a control face's picture.
inline constexpr wchar_t kControlFace[] = L"Runtime.ControlFace";
/// The message-only window that brings transfers' notifications to the UI thread.
inline constexpr wchar_t kTransferNotifications[] = L"Runtime.TransferNotifications";
/// The hidden top-level window that hears of the session's end.
inline constexpr wchar_t kTerminationWatcher[] = L"Runtime.TerminationWatcher";
/// The message-only window of a test's ticker.
inline constexpr wchar_t kTestTimer[] = L"Runtime.TestTimer";

/// Any thread. Registers name for this program with procedure, style and the arrow cursor, or
/// finds it registered already; the same atom either way. 0 when it cannot be registered
/// (GetLastError tells why). Never throws.
ATOM registerOnce(const wchar_t *name, WNDPROC procedure, UINT style = 0);

} // namespace runtime::win32::windowclass
