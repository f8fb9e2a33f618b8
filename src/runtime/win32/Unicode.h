#pragma once

#include <string>
#include <string_view>

// The runtime's functions speak UTF-8; the Win32 API they call speaks UTF-16, whatever the
// ANSI code page of the machine.
namespace runtime::win32 {

/// Any thread. UTF-16 of UTF-8 text; a malformed sequence becomes U+FFFD. Never throws beyond
/// std::bad_alloc.
std::wstring utf16FromUtf8(std::string_view text);

/// Any thread. UTF-8 of UTF-16 text; a lone surrogate (names on Windows may hold one) becomes
/// U+FFFD. Never throws beyond std::bad_alloc.
std::string utf8FromUtf16(std::wstring_view text);

} // namespace runtime::win32
