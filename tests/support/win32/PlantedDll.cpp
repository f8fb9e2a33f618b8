// refitor-planted.dll: what an attacker would leave in the installation folder, where downloads
// land, under the name of a Windows DLL (winhttp.dll, gdiplus.dll, ...). The tests place copies
// of it beside Refitor.exe. Whenever a process loads it, it appends one line to the file that
// the environment variable REFITOR_PLANTED_MARKER names (a Windows path):
//     <its own file name> in <the file name of the process's executable>
// and stays loaded, as a real one would. It exports nothing: a program that imports functions
// from it gets none, which does not matter, since the line is written before anything is called.

#include <string>
#include <windows.h>

namespace {

std::wstring fileNameOf(HMODULE module)
{
    std::wstring path(MAX_PATH, L'\0');
    path.resize(::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size())));
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void appendLine(const std::wstring &marker, const std::wstring &line)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(),
                          size, nullptr, nullptr);
    // Appending, and sharing the file, because several copies load into one process.
    const HANDLE file =
        ::CreateFileW(marker.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    std::wstring marker(MAX_PATH, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(L"REFITOR_PLANTED_MARKER", marker.data(),
                                                   static_cast<DWORD>(marker.size()));
    if (length == 0 || length >= marker.size())
        return TRUE;
    marker.resize(length);
    appendLine(marker, fileNameOf(self) + L" in " + fileNameOf(nullptr) + L"\n");
    return TRUE;
}
