#include "runtime/Programs.h"

#include "FileErrors.h"
#include "KernelHandle.h"
#include "SystemError.h"
#include "runtime/EventPump.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"

#include <algorithm>
#include <cstdio>
#include <windows.h>

namespace runtime {

namespace {

// Exception codes a process ends with when it dies of one; the severity of an NTSTATUS error
// is their top four bits.
constexpr DWORD kUnhandledCppException = 0xE06D7363;
constexpr DWORD kUnhandledDotNetException = 0xE0434352;

bool endedByException(DWORD exitCode)
{
    // Any other exit code, -1 (0xFFFFFFFF) among them, is a program's own choice.
    return (exitCode >> 28U) == 0xCU || exitCode == kUnhandledCppException ||
           exitCode == kUnhandledDotNetException;
}

std::string exceptionName(DWORD code)
{
    struct Named
    {
        DWORD code;
        const char *name;
    };
    static constexpr Named kNames[] = {
        {0xC0000005, "an access violation"},
        {0xC0000006, "an in-page error"},
        {0xC0000017, "a lack of memory"},
        {0xC000001D, "an illegal instruction"},
        {0xC0000025, "a noncontinuable exception"},
        {0xC000008C, "an array bounds violation"},
        {0xC000008E, "a floating-point division by zero"},
        {0xC0000094, "an integer division by zero"},
        {0xC0000095, "an integer overflow"},
        {0xC0000096, "a privileged instruction"},
        {0xC00000FD, "a stack overflow"},
        {0xC0000135, "a missing DLL"},
        {0xC0000139, "an entry point missing from a DLL"},
        {0xC000013A, "Ctrl+C"},
        {0xC0000142, "a DLL that could not start"},
        {0xC0000374, "a corrupted heap"},
        {0xC0000409, "a fail-fast exit"},
        {kUnhandledCppException, "an unhandled C++ exception"},
        {kUnhandledDotNetException, "an unhandled .NET exception"},
    };
    char number[16];
    std::snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(code));
    for (const Named &named : kNames) {
        if (named.code == code)
            return std::string(named.name) + " (" + number + ")";
    }
    return std::string("the error ") + number;
}

class ChildProgram final : public StartedProgram
{
public:
    explicit ChildProgram(HANDLE process) : m_process(process) {}

    State watch(std::chrono::milliseconds within) override
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + within;
        const HANDLE process = m_process.get();
        while (!ended()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            // Sleeps until the program ends or a message arrives, whichever is first.
            const DWORD woke = ::MsgWaitForMultipleObjectsEx(
                1, &process, static_cast<DWORD>(std::min<decltype(left)>(left, 60'000)),
                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
            if (woke == WAIT_OBJECT_0 + 1)
                doEvents();
            else if (woke == WAIT_FAILED)
                break;
        }
        return m_state;
    }

    std::string crash() const override { return m_crash; }

private:
    bool ended()
    {
        if (m_state != State::Running)
            return true;
        DWORD exitCode = 0;
        if (::WaitForSingleObject(m_process.get(), 0) != WAIT_OBJECT_0 ||
            !::GetExitCodeProcess(m_process.get(), &exitCode))
            return false;
        if (endedByException(exitCode)) {
            m_state = State::Crashed;
            m_crash = exceptionName(exitCode);
        } else {
            m_state = State::Exited;
        }
        return true;
    }

    win32::KernelHandle m_process;
    State m_state = State::Running;
    std::string m_crash;
};

WORD showCommand(WindowState state)
{
    switch (state) {
    case WindowState::Hidden:
        return SW_HIDE;
    case WindowState::MinimizedFocus:
        return SW_SHOWMINIMIZED;
    case WindowState::MaximizedFocus:
        return SW_SHOWMAXIMIZED;
    case WindowState::Normal:
        break;
    }
    return SW_SHOWNORMAL;
}

} // namespace

std::unique_ptr<StartedProgram> startProgram(const std::filesystem::path &path, WindowState state)
{
    if (path.empty())
        throw RuntimeError(ErrorKind::NotFound, "no program to start");
    std::error_code failure;
    const std::filesystem::path program = std::filesystem::absolute(path, failure);
    if (failure)
        throw RuntimeError(ErrorKind::NotFound,
                           "cannot start " + utf8FromPath(path) + ": " + failure.message());
    const std::filesystem::path folder = program.parent_path();
    // A working folder must fit in MAX_PATH with its closing separator, long paths enabled or
    // not; a longer one is not merely refused everywhere (Wine's process start overruns on it).
    if (folder.native().size() > MAX_PATH - 2)
        throw RuntimeError(ErrorKind::Failed, "cannot start " + utf8FromPath(path) +
                                                  ": its folder's path is longer "
                                                  "than the " +
                                                  std::to_string(MAX_PATH - 2) +
                                                  " characters Windows can start a program in");
    // The path alone, quoted, is the whole command line: the program takes no arguments.
    std::wstring commandLine = L"\"" + program.native() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = showCommand(state);
    PROCESS_INFORMATION started{};
    // No handle of ours is inherited, and the program gets Windows' default error mode, not
    // ours. It leaves our job where the job allows, so that whatever ends us (a launcher that
    // kills its job) does not end the product too.
    const DWORD flags = CREATE_DEFAULT_ERROR_MODE | CREATE_NEW_PROCESS_GROUP;
    const auto create = [&](DWORD extra) {
        return ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                flags | extra, nullptr, folder.c_str(), &startup, &started);
    };
    if (!create(CREATE_BREAKAWAY_FROM_JOB) &&
        (::GetLastError() != ERROR_ACCESS_DENIED || !create(0))) {
        const DWORD error = ::GetLastError();
        throw RuntimeError(win32::isMissing(error) ? ErrorKind::NotFound : ErrorKind::Failed,
                           "cannot start " + utf8FromPath(path) + ": " +
                               win32::systemErrorText(error));
    }
    ::CloseHandle(started.hThread);
    // We have the foreground; the product may take it from us for its first window.
    ::AllowSetForegroundWindow(started.dwProcessId);
    return std::make_unique<ChildProgram>(started.hProcess);
}

void ignoreWriteSignals()
{
    // Windows has neither SIGPIPE nor an inherited limit on file sizes: a write to a closed
    // connection or a full disk already fails as a write error.
}

} // namespace runtime
