#include "runtime/Termination.h"

#include "SystemError.h"
#include "WindowClass.h"
#include "runtime/RuntimeError.h"

#include <atomic>
#include <windows.h>

namespace runtime {

namespace {

// What the console handler's thread posts to the watcher's window.
constexpr UINT kConsoleRequest = WM_APP + 0x2E1;
// Windows ends a process about five seconds after a console close, logoff or shutdown event;
// the handler gets most of that to end the program tidily.
constexpr DWORD kConsoleGraceMs = 4500;

std::atomic<HWND> g_window{nullptr};

/// Set by the UI thread once it has run the handler for a console event.
HANDLE handledEvent()
{
    static const HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    // A thread of its own, made by Windows for this call: the request is carried to the UI
    // thread, which owns the window.
    const HWND window = g_window.load();
    if (window == nullptr || !::PostMessageW(window, kConsoleRequest, event, 0))
        return FALSE;
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        ::WaitForSingleObject(handledEvent(), kConsoleGraceMs);
    return TRUE;
}

class SessionWatcher final : public TerminationWatcher
{
public:
    explicit SessionWatcher(std::function<void()> handler) : m_handler(std::move(handler))
    {
        handledEvent();
        const HINSTANCE instance = ::GetModuleHandleW(nullptr);
        const ATOM windowClass = win32::windowclass::registerOnce(
            win32::windowclass::kTerminationWatcher, &SessionWatcher::windowProc);
        if (windowClass == 0)
            throw RuntimeError("cannot watch for the end of the session: " +
                               win32::lastErrorText());
        // A hidden top-level window: a message-only one would never hear of the session's end,
        // which is broadcast to top-level windows alone.
        m_window = ::CreateWindowExW(WS_EX_TOOLWINDOW, MAKEINTATOM(windowClass), L"", WS_POPUP, 0,
                                     0, 0, 0, nullptr, nullptr, instance, this);
        if (m_window == nullptr)
            throw RuntimeError("cannot watch for the end of the session: " +
                               win32::lastErrorText());
        g_window = m_window;
        ::SetConsoleCtrlHandler(&onConsoleEvent, TRUE);
    }

    ~SessionWatcher() override
    {
        ::SetConsoleCtrlHandler(&onConsoleEvent, FALSE);
        g_window = nullptr;
        ::DestroyWindow(m_window);
    }

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_NCCREATE) {
            const auto *creation = reinterpret_cast<const CREATESTRUCTW *>(lParam);
            ::SetWindowLongPtrW(window, GWLP_USERDATA,
                                reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
        }
        auto *watcher =
            reinterpret_cast<SessionWatcher *>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        switch (message) {
        case WM_QUERYENDSESSION:
            // The end is not opposed; the program ends tidily once it is certain.
            return TRUE;
        case WM_ENDSESSION:
            // Windows may end the process as soon as this returns, so the handler runs now.
            if (wParam != FALSE && watcher != nullptr)
                watcher->m_handler();
            return 0;
        case kConsoleRequest:
            if (watcher != nullptr)
                watcher->m_handler();
            if (wParam != CTRL_C_EVENT && wParam != CTRL_BREAK_EVENT)
                ::SetEvent(handledEvent());
            return 0;
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
        }
    }

    std::function<void()> m_handler;
    HWND m_window = nullptr;
};

} // namespace

std::unique_ptr<TerminationWatcher> watchTermination(std::function<void()> handler)
{
    if (g_window.load() != nullptr)
        throw RuntimeError(ErrorKind::Busy, "a termination watcher exists already");
    return std::make_unique<SessionWatcher>(std::move(handler));
}

} // namespace runtime
