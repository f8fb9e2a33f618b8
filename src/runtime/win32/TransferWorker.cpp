#include "TransferWorker.h"

#include "SystemError.h"
#include "Unicode.h"
#include "WindowClass.h"
#include "runtime/Application.h"
#include "runtime/RuntimeError.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace runtime::win32 {

namespace {

using namespace std::chrono_literals;

constexpr DWORD kWakeRetryMs = 50;
constexpr UINT kRunCalls = WM_APP + 1;

} // namespace

struct NotificationWindow::Queue
{
    std::mutex mutex;
    std::deque<std::function<void()>> calls; // guarded by mutex
    HWND window = nullptr;
    bool wakePosted = false; // guarded by mutex
    bool wakeOwed = false;   // guarded by mutex
    bool closed = false;     // guarded by mutex

    // With mutex held. One message stands for every call queued so far, so that a burst of
    // notifications cannot fill the UI thread's message queue.
    void requestWake() noexcept
    {
        if (::PostMessageW(window, kRunCalls, 0, 0)) {
            wakePosted = true;
            wakeOwed = false;
        } else {
            wakeOwed = true;
        }
    }

    // Each call is taken out before it runs and nothing is touched after it but this queue,
    // which the caller holds: a call may destroy the window and its owner.
    void deliver() noexcept
    {
        std::size_t count = 0;
        {
            const std::lock_guard lock(mutex);
            wakePosted = false;
            count = calls.size();
        }
        // Calls queued meanwhile wait for their own message, so that other messages are
        // dispatched in between even under a steady stream.
        while (count-- > 0) {
            std::function<void()> call;
            {
                const std::lock_guard lock(mutex);
                if (closed || calls.empty())
                    return;
                call = std::move(calls.front());
                calls.pop_front();
            }
            call();
        }
    }
};

NotificationWindow::NotificationWindow() : m_queue(std::make_shared<Queue>())
{
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    const ATOM windowClass = windowclass::registerOnce(windowclass::kTransferNotifications,
                                                       &NotificationWindow::windowProcedure);
    m_window = windowClass == 0 ? nullptr
                                : ::CreateWindowExW(0, MAKEINTATOM(windowClass), L"", 0, 0, 0, 0, 0,
                                                    HWND_MESSAGE, nullptr, instance, nullptr);
    if (!m_window) {
        throw RuntimeError(ErrorKind::Unavailable,
                           "the download notifications could not start: " + lastErrorText());
    }
    ::SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_queue->window = m_window;
}

NotificationWindow::~NotificationWindow()
{
    // Dropped outside the lock: a call's captures may run destructors of any kind.
    std::deque<std::function<void()>> dropped;
    {
        const std::lock_guard lock(m_queue->mutex);
        m_queue->closed = true;
        dropped.swap(m_queue->calls);
    }
    ::SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
    ::DestroyWindow(m_window);
}

void NotificationWindow::post(std::function<void()> call)
{
    Queue &queue = *m_queue;
    const std::lock_guard lock(queue.mutex);
    if (queue.closed)
        return;
    queue.calls.push_back(std::move(call));
    if (!queue.wakePosted)
        queue.requestWake();
}

bool NotificationWindow::retryWake() noexcept
{
    Queue &queue = *m_queue;
    const std::lock_guard lock(queue.mutex);
    if (queue.closed || !queue.wakeOwed || queue.wakePosted)
        return false;
    queue.requestWake();
    return queue.wakeOwed;
}

// noexcept: nothing may unwind through the message loop, so a throwing handler ends the program.
LRESULT CALLBACK NotificationWindow::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                                     LPARAM lParam) noexcept
{
    if (message != kRunCalls)
        return ::DefWindowProcW(window, message, wParam, lParam);
    const auto *self =
        reinterpret_cast<const NotificationWindow *>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self)
        return 0;
    const std::shared_ptr<Queue> queue = self->m_queue;
    queue->deliver();
    return 0;
}

TransferWorker::TransferWorker(NotificationWindow &window,
                               std::shared_ptr<const transfer::ReaderHandlers> handlers)
    : m_window(window), m_handlers(std::move(handlers)), m_inbox(std::make_shared<Inbox>())
{
    // The updater's name as the program set it, from the product's identity.
    const std::wstring agent = utf16FromUtf8(applicationName());
    const wchar_t *const userAgent = agent.empty() ? nullptr : agent.c_str();
    m_session = ::WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!m_session) {
        // Before Windows 8.1 a session cannot follow the user's proxy settings by itself, so
        // each request looks its proxy up.
        m_session = ::WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
        m_proxy.automatic = false;
        m_proxy.lookupSession = ::WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    }
    const auto closeSessions = [this] {
        if (m_session)
            ::WinHttpCloseHandle(m_session);
        if (m_proxy.lookupSession)
            ::WinHttpCloseHandle(m_proxy.lookupSession);
    };
    if (!m_session) {
        const DWORD error = ::GetLastError();
        closeSessions();
        throw RuntimeError(ErrorKind::Unavailable,
                           "the network library could not start: " +
                               systemErrorText(error, ::GetModuleHandleW(L"winhttp.dll")));
    }
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error &error) {
        closeSessions();
        throw RuntimeError(ErrorKind::Unavailable,
                           std::string("the download thread could not start: ") + error.what());
    }
}

TransferWorker::~TransferWorker()
{
    m_pending.cancelAll();
    {
        const std::lock_guard lock(m_mutex);
        m_stopRequested = true;
    }
    m_inbox->wake();
    m_thread.join();
    ::WinHttpCloseHandle(m_session);
    if (m_proxy.lookupSession)
        ::WinHttpCloseHandle(m_proxy.lookupSession);
}

void TransferWorker::submit(TransferRequest request)
{
    std::shared_ptr<std::atomic<bool>> flag;
    const std::string name = request.setup.name;
    try {
        flag = m_pending.add(name);
        auto transfer = std::make_unique<Transfer>(std::move(request), flag);
        const std::lock_guard lock(m_mutex);
        m_incoming.push_back(std::move(transfer));
    } catch (...) {
        // Without a transfer the request still holds the file, and discards it when it goes.
        if (flag)
            m_pending.drop(name, flag);
        throw;
    }
    m_inbox->wake();
}

void TransferWorker::cancel(const std::string &name) noexcept
{
    if (m_pending.cancel(name))
        m_inbox->wake();
}

bool TransferWorker::isRunning(const std::string &name) const noexcept
{
    return m_pending.isRunning(name);
}

void TransferWorker::run()
{
    for (;;) {
        std::vector<std::unique_ptr<Transfer>> incoming;
        bool stop = false;
        {
            const std::lock_guard lock(m_mutex);
            incoming.swap(m_incoming);
            stop = m_stopRequested;
        }
        if (stop) {
            // ~Transfer closes each request without waiting and deletes each unfinished file.
            incoming.clear();
            m_waiting.clear();
            m_active.clear();
            m_inbox->close();
            return;
        }
        for (auto &transfer : incoming)
            m_waiting.push_back(std::move(transfer));
        beginDue(Clock::now());
        takeNotices(Clock::now());
        const auto now = Clock::now();
        for (const auto &transfer : m_active)
            transfer->check(now);
        finishEnded();
        for (const auto &transfer : m_active)
            offerProgress(*transfer, now, false);
        const bool wakeOwed = m_window.retryWake();
        m_inbox->wait(wakeOwed ? std::min(kWakeRetryMs, waitMs(now)) : waitMs(now));
    }
}

// A request waits its set-up's delay here before it goes out; a cancel or a deadline ends the
// wait, which check() then tells like any other end.
void TransferWorker::beginDue(Clock::time_point now)
{
    for (std::size_t i = 0; i < m_waiting.size();) {
        Transfer &transfer = *m_waiting[i];
        const bool due = transfer.core().startsAt() <= now;
        if (due || !transfer.core().checkTime(now)) {
            std::unique_ptr<Transfer> leaving = std::move(m_waiting[i]);
            m_waiting.erase(m_waiting.begin() + static_cast<std::ptrdiff_t>(i));
            m_active.push_back(std::move(leaving));
            if (due && transfer.core().error() == TransferError::None)
                transfer.begin(m_session, m_proxy, m_inbox, now);
            else
                transfer.check(now);
        } else {
            ++i;
        }
    }
}

void TransferWorker::takeNotices(Clock::time_point now)
{
    for (const Notice &notice : m_inbox->take()) {
        const auto owner = std::find_if(m_active.begin(), m_active.end(),
                                        [&](const auto &active) { return active->owns(notice); });
        // A notice for a request already concluded has nobody left to hear it.
        if (owner != m_active.end())
            (*owner)->take(notice, now);
    }
}

void TransferWorker::finishEnded()
{
    for (std::size_t i = 0; i < m_active.size();) {
        Transfer &transfer = *m_active[i];
        if (transfer.ended()) {
            finish(transfer);
            m_active.erase(m_active.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void TransferWorker::finish(Transfer &transfer)
{
    AsyncProperty record = transfer.conclude();
    std::filesystem::path value;
    if (record.failure().empty()) {
        value = record.Value();
        m_pending.noteHandOver(value);
    }
    // The file is complete or gone before anyone hears of the outcome.
    offerProgress(transfer, Clock::now(), true);
    post(transfer, std::move(record), true, value);
}

void TransferWorker::offerProgress(Transfer &transfer, Clock::time_point now, bool force)
{
    if (std::optional<AsyncProperty> record = transfer.core().progress(now, force))
        post(transfer, std::move(*record), false, {});
}

// A count held back by the interval must go out when the interval ends, even if no more data
// comes to wake the worker; and a limit must be noticed when it passes.
DWORD TransferWorker::waitMs(Clock::time_point now) const
{
    if (m_active.empty() && m_waiting.empty())
        return INFINITE;
    auto wait = Clock::duration::max();
    for (const auto &transfer : m_waiting) {
        wait = std::min(wait, transfer->core().startsAt() - now);
        const auto next = transfer->core().nextCheck();
        if (next != Clock::time_point::max())
            wait = std::min(wait, next - now);
    }
    for (const auto &transfer : m_active) {
        const auto next = transfer->nextCheck();
        if (next != Clock::time_point::max())
            wait = std::min(wait, next - now);
        const auto due = transfer->core().progressDue();
        if (due != Clock::time_point::max())
            wait = std::min(wait, due - now);
    }
    if (wait == Clock::duration::max())
        return INFINITE;
    const auto ms =
        std::chrono::ceil<std::chrono::milliseconds>(std::max(wait, Clock::duration::zero()));
    return static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(ms.count(), INFINITE - 1));
}

void TransferWorker::post(const Transfer &transfer, AsyncProperty record, bool final,
                          std::filesystem::path handedOver)
{
    // Run on the UI thread in posting order, and dropped if the window goes first. The closure,
    // not the reader, holds everything the handler uses, so a handler may destroy the reader.
    m_window.post([this, record = std::move(record), final, flag = transfer.core().cancelFlag(),
                   handedOver = std::move(handedOver), handlers = m_handlers] {
        if (final)
            m_pending.settle(record.PropertyName(), flag, handedOver);
        // Last, touching nothing of this worker afterwards: the reader may be gone.
        const AsyncReader::Handler &handler = final ? handlers->onComplete : handlers->onProgress;
        if (handler)
            handler(record);
    });
}

} // namespace runtime::win32
