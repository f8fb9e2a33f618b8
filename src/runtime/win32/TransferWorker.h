#pragma once

#include "Transfer.h"
#include "runtime/AsyncRead.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>
#include <windows.h>
#include <winhttp.h>

namespace runtime::win32 {

/// A hidden message-only window of the UI thread through which any thread has calls run on the
/// UI thread, in posting order, by that thread's message loop. Calls not yet run when the window
/// goes are dropped; a call may destroy the window's owner, and the rest are dropped then. A
/// call that throws ends the program, since nothing may unwind through the message loop.
class NotificationWindow
{
public:
    /// UI thread. Throws RuntimeError (Unavailable) when the window cannot be made.
    NotificationWindow();
    /// UI thread. Drops the calls not yet run and destroys the window. Never throws.
    ~NotificationWindow();
    NotificationWindow(const NotificationWindow &) = delete;
    NotificationWindow &operator=(const NotificationWindow &) = delete;

    /// Any thread. Queues call to run on the UI thread after every call posted before it.
    /// Throws only std::bad_alloc, having queued nothing.
    void post(std::function<void()> call);
    /// Any thread. Asks again for a run of the queued calls should Windows have refused to post
    /// the message (a full message queue); returns whether it is still owed. Never throws.
    bool retryWake() noexcept;

private:
    struct Queue;

    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) noexcept;

    std::shared_ptr<Queue> m_queue;
    HWND m_window = nullptr;
};

/// The thread that runs every transfer of one reader through one asynchronous WinHTTP session.
/// Its public functions belong to the UI thread; every WinHTTP call happens on the worker
/// thread, which hears from WinHTTP's own threads through an inbox and reaches the UI thread
/// only through calls posted to a notification window.
class TransferWorker final
{
public:
    /// UI thread. Opens the WinHTTP session and starts the worker thread, which delivers
    /// notifications to handlers through calls posted to window; window must outlive the
    /// worker. Throws RuntimeError (Unavailable) when WinHTTP or the thread cannot start.
    TransferWorker(NotificationWindow &window,
                   std::shared_ptr<const transfer::ReaderHandlers> handlers);
    /// UI thread. Cancels every transfer, deletes their temporary files and joins the worker,
    /// never waiting for WinHTTP, then deletes the files of successful completions that were
    /// posted but not delivered. Calls already posted must be dropped by destroying window right
    /// after. Never throws.
    ~TransferWorker();
    TransferWorker(const TransferWorker &) = delete;
    TransferWorker &operator=(const TransferWorker &) = delete;

    /// UI thread. Hands a validated request to the worker, which from now on owns its file.
    /// The name must not be running. Throws only std::bad_alloc, having discarded the file.
    void submit(TransferRequest request);
    /// UI thread. Asks the transfer under name to stop; an unknown name is ignored. Never throws.
    void cancel(const std::string &name) noexcept;
    /// UI thread. Whether name was submitted and its completion has not yet been delivered.
    /// Never throws.
    bool isRunning(const std::string &name) const noexcept;

private:
    using Clock = std::chrono::steady_clock;

    void run();
    void beginDue(Clock::time_point now);
    void takeNotices(Clock::time_point now);
    void finishEnded();
    void finish(Transfer &transfer);
    void offerProgress(Transfer &transfer, Clock::time_point now, bool force);
    DWORD waitMs(Clock::time_point now) const;
    void post(const Transfer &transfer, AsyncProperty record, bool final,
              std::filesystem::path handedOver);

    NotificationWindow &m_window;
    const std::shared_ptr<const transfer::ReaderHandlers> m_handlers;
    HINTERNET m_session = nullptr;
    ProxyMode m_proxy;
    const std::shared_ptr<Inbox> m_inbox;

    std::mutex m_mutex;
    std::vector<std::unique_ptr<Transfer>> m_incoming; // guarded by m_mutex
    bool m_stopRequested = false;                      // guarded by m_mutex

    std::vector<std::unique_ptr<Transfer>> m_waiting; // worker thread only: not sent yet
    std::vector<std::unique_ptr<Transfer>> m_active;  // worker thread only

    // The running names, and the files of successful completions posted to the UI thread and
    // not yet delivered: the notification window drops such a completion when the reader goes
    // first, and its file would stay behind unknown.
    transfer::Pending m_pending;

    std::thread m_thread;
};

} // namespace runtime::win32
