#pragma once

#include <filesystem>
#include <string>
#include <windows.h>

// What the file functions make of a Win32 error, shared by the files, executables and lock
// parts of the runtime.
namespace runtime::win32 {

/// Any thread. Whether error says that a name (or a folder on its way) is not there. Never
/// throws.
bool isMissing(DWORD error);

/// Any thread. Whether error says that someone else holds the file open in a way that keeps
/// this operation out. Never throws.
bool isBusy(DWORD error);

/// Any thread. Whether error says that this user may not do it: no permission, a read-only
/// medium. Never throws.
bool isDenied(DWORD error);

/// Any thread. Whether another handle holds path open without sharing deletion, so that it
/// can be neither renamed nor deleted now. Never throws.
bool isHeldOpen(const std::filesystem::path &path);

/// Any thread. Throws RuntimeError for error, its kind told from the error (NotFound, Exists,
/// Busy, Denied, else Failed), the sentence what followed by Windows' text.
[[noreturn]] void failWith(DWORD error, const std::string &what);

} // namespace runtime::win32
