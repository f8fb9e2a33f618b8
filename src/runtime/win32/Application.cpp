#include "runtime/Application.h"

#include "SystemError.h"
#include "Unicode.h"
#include "runtime/ApplicationState.h"
#include "runtime/RuntimeError.h"

#include <cstdio>
#include <windows.h>

namespace runtime {

namespace {

std::wstring executablePath()
{
    // GetModuleFileNameW truncates silently when the buffer is too small: it is grown until the
    // name fits with room to spare.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            throw RuntimeError(ErrorKind::Unavailable,
                               "the application folder is unknown: " + win32::lastErrorText());
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

} // namespace

std::string separator()
{
    return "\\";
}

std::string applicationFolder()
{
    if (!state::applicationFolderOverride().empty())
        return state::applicationFolderOverride();
    const std::wstring path = executablePath();
    const std::size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        throw RuntimeError(ErrorKind::Unavailable, "the application folder is unknown");
    // A root folder ("C:\") keeps its separator; every other folder is given without one.
    const bool root = slash == 0 || (slash == 2 && path[1] == L':');
    return win32::utf8FromUtf16(path.substr(0, root ? slash + 1 : slash));
}

void endProgram(int exitCode)
{
    if (state::endProgramHandler()) {
        state::endProgramHandler()(exitCode);
        return;
    }
    std::fflush(nullptr);
    // Ends at once: no message is dispatched and no destructor or atexit hook runs after this;
    // Windows closes every handle, which removes the lock file.
    ::ExitProcess(static_cast<UINT>(exitCode));
}

} // namespace runtime
