#include "runtime/EventPump.h"

#include "Dispatch.h"
#include "Startup.h"

#include <utility>

namespace runtime {

namespace {

std::function<bool(MSG &)> &messageFilter()
{
    static std::function<bool(MSG &)> filter;
    return filter;
}

std::optional<int> &quitRequest()
{
    static std::optional<int> exitCode;
    return exitCode;
}

} // namespace

namespace win32 {

void setMessageFilter(std::function<bool(MSG &)> filter)
{
    messageFilter() = std::move(filter);
}

void dispatchMessage(MSG &message)
{
    if (messageFilter() && messageFilter()(message))
        return;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
}

std::optional<int> takeQuitRequest()
{
    return std::exchange(quitRequest(), std::nullopt);
}

} // namespace win32

void doEvents()
{
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Kept for the main loop rather than posted again: a quit flag left in the queue
            // would wake every later wait at once and turn it into a busy loop.
            quitRequest() = static_cast<int>(message.wParam);
            return;
        }
        win32::dispatchMessage(message);
    }
}

void waitForEvents(int timeoutMs)
{
    // MWMO_INPUTAVAILABLE: messages that arrived before this call, already seen by a peek but
    // not yet taken, end the wait too.
    if (timeoutMs > 0)
        ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(timeoutMs), QS_ALLINPUT,
                                      MWMO_INPUTAVAILABLE);
    doEvents();
}

} // namespace runtime
