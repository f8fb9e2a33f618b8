// refitor-stand-in: a real Windows program that stands in for the product in the tests. Started
// with instructions appended to its own file (StandInFormat.h), it
//   - appends its word and a line end to the marker file,
//   - writes its working folder to MARKER.cwd and the show state it was started with to
//     MARKER.show ("default" when none was given),
//   - ends as told: exit 0 or 3; killed (a fail-fast exit code, as TerminateProcess gives);
//     crashed (an access violation); having put a folder in place of the updater's backup
//     and then killed; or having listed its handles in MARKER.fds, then exit 0.
// Started without instructions, it stays running until a file named "release" appears in its
// working folder (or a minute passes): a program that is still running when it is watched.
//
// Windows has no table of inherited descriptors to list. MARKER.fds lists, one a line, every
// handle the program holds as it starts that is a file, a pipe, a socket or a device, its
// standard handles excepted: a file by its path, a socket as "socket:[N]", a pipe as
// "pipe:[N]", a device as "device:[N]"; "none" when there is no such handle. Beyond what was
// inherited, that includes what Windows opens for every process (its working folder).

#include "StandInFormat.h"

#include <string>
#include <vector>
#include <windows.h>
#include <winsock2.h>

namespace {

// Handle values are multiples of four; a process started by the tests holds a few hundred at
// most, and an inherited one keeps the value it had in its parent.
constexpr ULONG_PTR kHighestHandle = 0x10000;
constexpr DWORD kReleaseWaitMs = 60'000;

std::string utf8Of(const std::wstring &text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                          size, nullptr, nullptr);
    return bytes;
}

std::wstring wideOf(const std::string &text)
{
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          size);
    return wide;
}

std::wstring ownPath()
{
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

/// The instructions appended to this program's file, "" when there are none.
std::string instructions()
{
    const HANDLE self =
        ::CreateFileW(ownPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    if (self == INVALID_HANDLE_VALUE)
        return {};
    std::string found;
    LARGE_INTEGER size{};
    char footer[standin::kFooterBytes];
    DWORD got = 0;
    LARGE_INTEGER at{};
    at.QuadPart = -static_cast<LONGLONG>(sizeof footer);
    if (::GetFileSizeEx(self, &size) && size.QuadPart > static_cast<LONGLONG>(sizeof footer) &&
        ::SetFilePointerEx(self, at, nullptr, FILE_END) &&
        ::ReadFile(self, footer, sizeof footer, &got, nullptr) && got == sizeof footer &&
        std::string(footer, standin::kTagBytes) == standin::kTag) {
        const std::size_t length =
            std::stoul(std::string(footer + standin::kTagBytes + 1, standin::kLengthDigits));
        found.resize(length);
        at.QuadPart = -static_cast<LONGLONG>(sizeof footer + length);
        if (!::SetFilePointerEx(self, at, nullptr, FILE_END) ||
            !::ReadFile(self, found.data(), static_cast<DWORD>(length), &got, nullptr) ||
            got != length)
            found.clear();
    }
    ::CloseHandle(self);
    return found;
}

void write(const std::wstring &path, const std::string &bytes, bool append)
{
    const HANDLE file =
        ::CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

bool isSocket(HANDLE handle)
{
    // Asked for its address, a socket answers, or says it is not bound yet; anything else says
    // it is no socket. (Wine refuses getsockopt on an inherited socket, but not this.)
    sockaddr_storage address{};
    int size = sizeof address;
    return ::getsockname(reinterpret_cast<SOCKET>(handle), reinterpret_cast<sockaddr *>(&address),
                         &size) == 0 ||
           ::WSAGetLastError() == WSAEINVAL;
}

/// The values of every handle this process holds but its standard ones.
std::vector<HANDLE> heldHandles()
{
    const HANDLE standard[] = {::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE),
                               ::GetStdHandle(STD_ERROR_HANDLE)};
    std::vector<HANDLE> held;
    for (ULONG_PTR value = 4; value < kHighestHandle; value += 4) {
        const auto handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (::GetHandleInformation(handle, &flags) && handle != standard[0] &&
            handle != standard[1] && handle != standard[2])
            held.push_back(handle);
    }
    return held;
}

/// Those of handles that are files, pipes, sockets or devices, as described above.
std::vector<std::string> describeFiles(const std::vector<HANDLE> &handles)
{
    std::vector<std::string> found;
    for (const HANDLE handle : handles) {
        std::string number = "[";
        number += std::to_string(reinterpret_cast<ULONG_PTR>(handle));
        number += "]";
        switch (::GetFileType(handle)) {
        case FILE_TYPE_DISK: {
            std::wstring path(32768, L'\0');
            path.resize(::GetFinalPathNameByHandleW(handle, path.data(),
                                                    static_cast<DWORD>(path.size()), 0));
            found.push_back(path.empty() ? "file:" + number : utf8Of(path));
            break;
        }
        case FILE_TYPE_PIPE:
            found.push_back((isSocket(handle) ? "socket:" : "pipe:") + number);
            break;
        case FILE_TYPE_CHAR:
            found.push_back("device:" + number);
            break;
        default:
            // Events, keys, sections: not files, so nothing a started program could write to.
            break;
        }
    }
    return found;
}

std::string workingFolder()
{
    std::wstring folder(32768, L'\0');
    folder.resize(::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
    return utf8Of(folder);
}

std::string showState()
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ::GetStartupInfoW(&startup);
    if ((startup.dwFlags & STARTF_USESHOWWINDOW) == 0)
        return "default";
    return std::to_string(startup.wShowWindow);
}

[[noreturn]] void endKilled()
{
    ::TerminateProcess(::GetCurrentProcess(), standin::kKilledExitCode);
    ::ExitProcess(standin::kKilledExitCode);
}

[[noreturn]] void crash()
{
    // A pointer the compiler cannot see is null, so the write really happens (and faults)
    // instead of being turned into a trap instruction.
    volatile int *volatile nowhere = nullptr;
    *nowhere = 1;
    ::ExitProcess(1);
}

int waitForRelease()
{
    const HANDLE change = ::FindFirstChangeNotificationW(L".", FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    const ULONGLONG deadline = ::GetTickCount64() + kReleaseWaitMs;
    while (::GetFileAttributesW(L"release") == INVALID_FILE_ATTRIBUTES) {
        const ULONGLONG now = ::GetTickCount64();
        if (change == INVALID_HANDLE_VALUE || now >= deadline ||
            ::WaitForSingleObject(change, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0)
            return 1;
        ::FindNextChangeNotification(change);
    }
    return 0;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // Never a crash dialog, on Windows as under Wine: the tests wait for the program to end.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    // Taken before this program opens anything of its own, sockets included.
    const std::vector<HANDLE> held = heldHandles();
    WSADATA sockets;
    ::WSAStartup(MAKEWORD(2, 2), &sockets);

    const std::string told = instructions();
    const std::size_t wordAt = told.find('\n') + 1;
    const std::size_t endingAt = told.find('\n', wordAt) + 1;
    if (told.empty() || wordAt == 0 || endingAt == 0 || endingAt >= told.size())
        return waitForRelease();
    const std::wstring marker = wideOf(told.substr(0, wordAt - 1));
    const std::string word = told.substr(wordAt, endingAt - 1 - wordAt);
    const auto ending = static_cast<standin::Ending>(told[endingAt]);

    write(marker, word + "\n", true);
    write(marker + L".cwd", workingFolder() + "\n", false);
    write(marker + L".show", showState() + "\n", false);
    switch (ending) {
    case standin::Ending::Exit0:
        return 0;
    case standin::Ending::Exit3:
        return 3;
    case standin::Ending::KilledAtOnce:
        endKilled();
    case standin::Ending::CrashesAtOnce:
        crash();
    case standin::Ending::TakesItsBackupAlong:
        ::DeleteFileW(L"Korvane.exe.refitor-backup");
        ::CreateDirectoryW(L"Korvane.exe.refitor-backup", nullptr);
        endKilled();
    case standin::Ending::ListsItsHandles: {
        std::string listing;
        for (const std::string &handle : describeFiles(held))
            listing += handle + "\n";
        write(marker + L".fds", listing.empty() ? "none\n" : listing, false);
        return 0;
    }
    }
    return 2;
}
