#include "WindowClass.h"

namespace runtime::win32::windowclass {

ATOM registerOnce(const wchar_t *name, WNDPROC procedure, UINT style)
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = style;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = name;
    if (const ATOM atom = RegisterClassExW(&windowClass); atom != 0)
        return atom;
    if (GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return 0;
    // Two threads may register at once; the class is the same, and so is its atom.
    WNDCLASSEXW found{};
    found.cbSize = sizeof(found);
    return static_cast<ATOM>(GetClassInfoExW(instance, name, &found));
}

} // namespace runtime::win32::windowclass
