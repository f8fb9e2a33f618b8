#pragma once

#include <string>
#include <windows.h>

namespace runtime::win32 {

/// Any thread. What Windows says about a Win32 error code, as it would stand inside a sentence:
/// without the final full stop or line end ("Access is denied"); the messages of module are
/// asked first where given (WinHTTP's own codes). "error N" where Windows says nothing. Never
/// throws beyond std::bad_alloc.
std::string systemErrorText(DWORD error, HMODULE module = nullptr);

/// Any thread. systemErrorText of GetLastError(), read before anything else can change it.
/// Never throws beyond std::bad_alloc.
std::string lastErrorText();

} // namespace runtime::win32
