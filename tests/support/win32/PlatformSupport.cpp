#include "support/PlatformSupport.h"

#include "runtime/win32/WindowClass.h"
#include "support/SystemSupport.h"
#include "support/win32/StandInFormat.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <windows.h>

// ChildProcess keeps its handles in the int members its header gives every platform: Windows
// documents that only the low 32 bits of a handle are significant (HandleToLong, LongToHandle),
// and -1 stays "none" as it is on Linux.

namespace {

/// A path the build gives as Unix text, as a Windows program under Wine opens it: Wine maps the
/// Unix root to drive Z:. Windows paths pass unchanged.
std::string hostPath(const std::string &path)
{
    if (path.size() > 1 && path[0] == '/' && path[1] != '/')
        return "Z:" + path;
    return path;
}

std::wstring wideOf(const std::string &text, UINT codePage)
{
    const int size =
        ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          size);
    return wide;
}

/// One argument as the C runtime's parser (CommandLineToArgvW's rules) reads it back.
std::wstring quoted(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring text = L"\"";
    for (auto at = argument.begin();; ++at) {
        std::size_t backslashes = 0;
        while (at != argument.end() && *at == L'\\') {
            ++at;
            ++backslashes;
        }
        if (at == argument.end()) {
            text.append(backslashes * 2, L'\\');
            break;
        }
        if (*at == L'"') {
            text.append(backslashes * 2 + 1, L'\\');
        } else {
            text.append(backslashes, L'\\');
        }
        text.push_back(*at);
    }
    text.push_back(L'"');
    return text;
}

HANDLE handleOf(int value)
{
    return LongToHandle(value);
}

int valueOf(HANDLE handle)
{
    return HandleToLong(handle);
}

std::string lastError(const std::string &what)
{
    return what + ": error " + std::to_string(::GetLastError());
}

} // namespace

namespace support {

std::string markerProgram(const std::filesystem::path &marker, const std::string &word,
                          Ending ending, std::size_t padding)
{
    static const std::string image = readFile(hostPath(REFITOR_STAND_IN));
    const std::u8string markerText = marker.u8string();
    const std::string instructions = std::string(markerText.begin(), markerText.end()) + "\n" +
                                     word + "\n" +
                                     static_cast<char>('0' + static_cast<int>(ending)) + "\n";
    char length[standin::kLengthDigits + 1];
    std::snprintf(length, sizeof length, "%010zu", instructions.size());
    return image + std::string(padding, '#') + instructions + standin::kTag + " " + length;
}

std::string unstartableProgram()
{
    // A whole stand-in image that claims to take no memory once loaded: every byte its headers
    // describe is there, so it passes for a program of this computer, but Windows will not map an
    // image smaller than its own headers and refuses to start it.
    std::string image = readFile(hostPath(REFITOR_STAND_IN));
    IMAGE_DOS_HEADER dos{};
    std::memcpy(&dos, image.data(), sizeof dos);
    const DWORD noSize = 0;
    std::memcpy(image.data() + dos.e_lfanew + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                    offsetof(IMAGE_OPTIONAL_HEADER, SizeOfImage),
                &noSize, sizeof noSize);
    return image;
}

std::vector<std::string> inheritedDescriptors(const std::filesystem::path &marker)
{
    std::vector<std::string> found;
    const std::string listing = readFile(marker.string() + ".fds");
    std::size_t start = 0;
    while (start < listing.size()) {
        const std::size_t end = listing.find('\n', start);
        const std::string line = listing.substr(start, end - start);
        start = end == std::string::npos ? listing.size() : end + 1;
        if (!line.empty() && line != "none")
            found.push_back(line);
    }
    return found;
}

void setMode(const std::filesystem::path &, unsigned)
{
    // Windows files have no permission bits.
}

std::optional<unsigned> modeOf(const std::filesystem::path &)
{
    return std::nullopt;
}

namespace {

/// Whether a new file can be made in folder (and then goes again).
bool canAddFileTo(const std::filesystem::path &folder)
{
    const std::filesystem::path probe = folder / L"refitor-write-probe";
    const HANDLE file = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(file);
    return true;
}

} // namespace

bool makeFolderReadOnly(const std::filesystem::path &folder, bool readOnly)
{
    // A folder's read-only attribute keeps nobody from adding files on Windows, and Wine enforces
    // no access control list. Under Wine the folder is a Unix folder and the tests run as root,
    // whom only Linux's immutable attribute stops: Wine's ntdll runs chattr for it, and waits.
    // On Windows, without Wine's exports, there is no such folder to be had here.
    using UnixFileName = char *(CDECL *)(LPCWSTR);
    using UnixSpawn = LONG(CDECL *)(char *const *, int);
    const auto unixFileName = reinterpret_cast<UnixFileName>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    const auto unixSpawn = reinterpret_cast<UnixSpawn>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
    if (unixFileName == nullptr || unixSpawn == nullptr)
        return false;
    char *const unixName = unixFileName(folder.c_str());
    if (unixName == nullptr)
        return false;
    std::string program = "/usr/bin/chattr";
    std::string flag = readOnly ? "+i" : "-i";
    char *const arguments[] = {program.data(), flag.data(), unixName, nullptr};
    const LONG status = unixSpawn(arguments, TRUE);
    ::HeapFree(::GetProcessHeap(), 0, unixName);
    // What counts is whether the folder now takes a new file.
    return status == 0 && canAddFileTo(folder) != readOnly;
}

bool failFolderSyncs(bool)
{
    // Folder syncs are no-ops on Windows (renames are written through), so there is nothing to
    // fail.
    return false;
}

bool limitFileSize(std::uint64_t)
{
    return false;
}

namespace {

class HandleHeld final : public HeldFile
{
public:
    explicit HandleHeld(HANDLE file) : m_file(file) {}
    ~HandleHeld() override { ::CloseHandle(m_file); }

private:
    HANDLE m_file;
};

} // namespace

std::unique_ptr<HeldFile> holdWithoutSharing(const std::filesystem::path &path)
{
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error(lastError("cannot hold " + path.string()));
    return std::make_unique<HandleHeld>(file);
}

std::string howItEnds(Ending ending)
{
    // The status codes the stand-in ends with: its own kill, and the access violation of a write
    // through a null pointer.
    return ending == Ending::KilledAtOnce ? "0xC0000409" : "0xC0000005";
}

double processorSeconds()
{
    FILETIME created{};
    FILETIME ended{};
    FILETIME kernel{};
    FILETIME user{};
    ::GetProcessTimes(::GetCurrentProcess(), &created, &ended, &kernel, &user);
    const auto seconds = [](const FILETIME &time) {
        const std::uint64_t ticks =
            (std::uint64_t{time.dwHighDateTime} << 32U) | time.dwLowDateTime;
        return static_cast<double>(ticks) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

std::vector<std::pair<std::string, std::function<void()>>> terminationRequests()
{
    // Windows tells each top-level window of the session, the hidden one that watches for it
    // among them; sent as Windows sends it, a query and then the end.
    return {{"end of session", [] {
                 // This thread's own: other test programs in the prefix have theirs.
                 HWND watcher = nullptr;
                 ::EnumThreadWindows(
                     ::GetCurrentThreadId(),
                     [](HWND window, LPARAM found) -> BOOL {
                         wchar_t name[64] = {};
                         ::GetClassNameW(window, name, 64);
                         if (std::wstring_view(name) !=
                             runtime::win32::windowclass::kTerminationWatcher)
                             return TRUE;
                         *reinterpret_cast<HWND *>(found) = window;
                         return FALSE;
                     },
                     reinterpret_cast<LPARAM>(&watcher));
                 if (watcher == nullptr)
                     throw std::runtime_error("no window watches for the end of the session");
                 if (::SendMessageW(watcher, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF) != FALSE)
                     ::SendMessageW(watcher, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
             }}};
}

void killThisProcess()
{
    // What TerminateProcess from outside does, with an exit code that tells a kill from an exit.
    ::TerminateProcess(::GetCurrentProcess(), standin::kKilledExitCode);
    ::ExitProcess(standin::kKilledExitCode);
}

namespace {

/// A file's path as Wine's Unix side sees it; "" outside Wine.
std::string unixPathOf(const std::filesystem::path &path)
{
    using UnixName = char *(CDECL *)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName)
        return {};
    char *name = unixName(path.c_str());
    if (!name)
        return {};
    std::string text = name;
    ::HeapFree(::GetProcessHeap(), 0, name);
    return text;
}

/// Starts a Unix program under Wine, which starts one as it starts a Windows one, and waits up
/// to ten seconds for done to hold: the handle Wine gives for a Unix process tells nothing of
/// its end. Returns whether done held.
bool runUnixProgram(std::wstring commandLine, const std::function<bool()> &done)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &started))
        return false;
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return waitUntil(done, 30000);
}

bool nameIsThere(const std::filesystem::path &path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class WindowsLink final : public SymbolicLink
{
public:
    explicit WindowsLink(std::filesystem::path link) : m_link(std::move(link)) {}
    // Windows deletes a file link itself, never what it leads to.
    ~WindowsLink() override { ::DeleteFileW(m_link.c_str()); }

private:
    const std::filesystem::path m_link;
};

class WineUnixLink final : public SymbolicLink
{
public:
    WineUnixLink(std::filesystem::path link, std::string unixLink)
        : m_link(std::move(link)), m_unixLink(std::move(unixLink))
    {}
    // Wine would delete the file the link leads to, so the link goes as it came, through Unix.
    ~WineUnixLink() override
    {
        runUnixProgram(L"/bin/rm -f " + quoted(wideOf(m_unixLink, CP_UTF8)),
                       [this] { return !nameIsThere(m_link); });
    }

private:
    const std::filesystem::path m_link;
    const std::string m_unixLink;
};

} // namespace

std::unique_ptr<SymbolicLink> makeSymbolicLink(const std::filesystem::path &target,
                                               const std::filesystem::path &link)
{
    // Wine's CreateSymbolicLinkW says it made a link and makes nothing: only a link that is
    // there counts.
    if (::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                              SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        nameIsThere(link))
        return std::make_unique<WindowsLink>(link);
    // Wine makes no Windows links, but ln makes the Unix link that a Wine user's folder may well
    // hold.
    const std::string from = unixPathOf(target);
    const std::string to = unixPathOf(link);
    if (from.empty() || to.empty() ||
        !runUnixProgram(L"/bin/ln -s " + quoted(wideOf(from, CP_UTF8)) + L" " +
                            quoted(wideOf(to, CP_UTF8)),
                        [&] { return nameIsThere(link); }))
        return nullptr;
    return std::make_unique<WineUnixLink>(link, to);
}

bool runHostScript(const std::string &hostScript, const std::vector<HostArgument> &arguments,
                   const std::filesystem::path &produced)
{
    std::wstring commandLine = L"/bin/bash " + quoted(wideOf(hostScript, CP_UTF8));
    for (const HostArgument &argument : arguments) {
        const std::string word = std::holds_alternative<std::string>(argument)
                                     ? std::get<std::string>(argument)
                                     : unixPathOf(std::get<std::filesystem::path>(argument));
        if (word.empty())
            return false;
        commandLine += L" " + quoted(wideOf(word, CP_UTF8));
    }
    return runUnixProgram(commandLine, [&] { return nameIsThere(produced); });
}

namespace {

bool underWine()
{
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

} // namespace

std::unique_ptr<TlsServer> startTlsServer(std::string &whyNone)
{
    // The fixture's folder, a Linux path, which Wine shows on drive Z.
    const char *folder = std::getenv("REFITOR_TLS_SERVER");
    if (folder == nullptr || *folder != '/' || !underWine()) {
        whyNone = "no TLS server: under Wine, CTest's fixture starts one (tests/windows.cmake)";
        return nullptr;
    }
    auto server = std::make_unique<TlsServer>();
    const std::filesystem::path shared = std::filesystem::path("Z:" + std::string(folder));
    std::ifstream portFile(shared / "port");
    if (!(portFile >> server->port) || server->port <= 0) {
        whyNone = "the TLS server's port is not in " + (shared / "port").string();
        return nullptr;
    }
    server->authorityFile = shared / "ca.pem";
    return server;
}

namespace {

// The user's own decimal symbol in the regional settings, put back when it goes.
class Win32DecimalComma final : public DecimalComma
{
public:
    Win32DecimalComma()
    {
        ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, m_saved, 8);
        if (!::SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, L","))
            throw std::runtime_error(lastError("cannot set the decimal symbol"));
    }
    ~Win32DecimalComma() override
    {
        ::SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, m_saved);
    }

private:
    wchar_t m_saved[8] = {};
};

} // namespace

std::unique_ptr<DecimalComma> useDecimalComma()
{
    return std::make_unique<Win32DecimalComma>();
}

std::size_t longestFolderToStartProgramsIn()
{
    // A working folder must fit in MAX_PATH with its closing separator.
    return MAX_PATH - 2;
}

void disableCrashDumps()
{
    // The stand-ins set their own error mode; under Wine the tests' environment disables the
    // debugger that would otherwise catch a crash.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

ChildProcess::ChildProcess(const std::string &program, std::vector<std::string> arguments)
{
    static int counter = 0;
    const std::wstring pipeName = L"\\\\.\\pipe\\refitor-test-child-" +
                                  std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(++counter);
    // Its output comes through a named pipe read with overlapped I/O, so that readLine can wait
    // for a line with a timeout; an anonymous pipe has no such read.
    const HANDLE output = ::CreateNamedPipeW(
        pipeName.c_str(),
        PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 4096, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE)
        throw std::runtime_error(lastError("cannot make a pipe"));
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE childOutput = ::CreateFileW(pipeName.c_str(), GENERIC_WRITE, 0, &inherited,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE childInput = nullptr;
    HANDLE input = nullptr;
    HANDLE childError = nullptr;
    const bool piped =
        childOutput != INVALID_HANDLE_VALUE && ::CreatePipe(&childInput, &input, &inherited, 0) &&
        ::SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0) &&
        ::DuplicateHandle(::GetCurrentProcess(), ::GetStdHandle(STD_ERROR_HANDLE),
                          ::GetCurrentProcess(), &childError, 0, TRUE, DUPLICATE_SAME_ACCESS);

    std::wstring commandLine;
    for (const std::string &argument : arguments)
        commandLine += (commandLine.empty() ? L"" : L" ") + quoted(wideOf(argument, CP_ACP));
    // Only the three standard handles are handed down, not every inheritable handle a test made.
    HANDLE handed[] = {childInput, childOutput, childError};
    SIZE_T listSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> list(listSize);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = childInput;
    startup.StartupInfo.hStdOutput = childOutput;
    startup.StartupInfo.hStdError = childError;
    startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    const bool listed =
        ::InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &listSize) &&
        ::UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                    handed, sizeof handed, nullptr, nullptr);
    const std::wstring path = wideOf(hostPath(program), CP_ACP);
    PROCESS_INFORMATION started{};
    const bool ok = piped && listed &&
                    ::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                     CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                     nullptr, &startup.StartupInfo, &started);
    const std::string failure = lastError("cannot start " + program);
    if (listed)
        ::DeleteProcThreadAttributeList(startup.lpAttributeList);
    for (const HANDLE childEnd : handed) {
        if (childEnd != nullptr && childEnd != INVALID_HANDLE_VALUE)
            ::CloseHandle(childEnd);
    }
    m_input = input != nullptr ? valueOf(input) : -1;
    m_output = valueOf(output);
    if (!ok) {
        closeInput();
        ::CloseHandle(output);
        throw std::runtime_error(failure);
    }
    ::CloseHandle(started.hThread);
    m_pid = valueOf(started.hProcess);
}

ChildProcess::~ChildProcess()
{
    if (!m_ended && m_pid != -1) {
        ::TerminateProcess(handleOf(m_pid), 1);
        ::WaitForSingleObject(handleOf(m_pid), 10'000);
    }
    if (m_pid != -1)
        ::CloseHandle(handleOf(m_pid));
    closeInput();
    ::CloseHandle(handleOf(m_output));
}

std::string ChildProcess::readLine(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::string line;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            line.clear();
            break;
        }
        char c = 0;
        OVERLAPPED reading{};
        reading.hEvent = event;
        DWORD got = 0;
        if (!::ReadFile(handleOf(m_output), &c, 1, nullptr, &reading)) {
            if (::GetLastError() != ERROR_IO_PENDING)
                break; // the other end is closed: what came is the line
            if (::WaitForSingleObject(event, static_cast<DWORD>(left)) != WAIT_OBJECT_0)
                ::CancelIoEx(handleOf(m_output), &reading);
        }
        if (!::GetOverlappedResult(handleOf(m_output), &reading, &got, TRUE) || got != 1) {
            if (::GetLastError() == ERROR_OPERATION_ABORTED)
                line.clear();
            break;
        }
        if (c == '\n')
            break;
        if (c != '\r')
            line += c;
    }
    ::CloseHandle(event);
    return line;
}

void ChildProcess::closeInput()
{
    if (m_input != -1)
        ::CloseHandle(handleOf(m_input));
    m_input = -1;
}

bool ChildProcess::wait(int timeoutMs)
{
    if (m_ended)
        return true;
    if (::WaitForSingleObject(handleOf(m_pid), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
        return false;
    DWORD exitCode = 0;
    ::GetExitCodeProcess(handleOf(m_pid), &exitCode);
    m_ended = true;
    // Ended by an exception or a kill with an NTSTATUS code, as a signal ends a Linux process.
    m_killed = (exitCode >> 28U) == 0xCU;
    m_exitCode = m_killed ? -1 : static_cast<int>(exitCode);
    return true;
}

} // namespace support
