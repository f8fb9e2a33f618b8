#pragma once

#include "runtime/TransferCore.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <windows.h>
#include <winhttp.h>

namespace runtime::win32 {

/// Where a transfer reads from, taken apart for WinHTTP.
struct TransferAddress
{
    /// The whole address, without a fragment, for proxy look-ups.
    std::wstring url;
    std::wstring host;
    INTERNET_PORT port = 0;
    bool secure = false;
    /// The path and query, percent-encoded.
    std::wstring object;
};

/// What a transfer needs to run, handed from the UI thread to the worker.
struct TransferRequest
{
    transfer::Setup setup;
    TransferAddress address;
};

/// How the worker's WinHTTP session finds proxies: by itself (Windows 8.1 and later), or
/// through a look-up for each request made with the user's settings.
struct ProxyMode
{
    bool automatic = true;
    /// A synchronous session for WinHttpGetProxyForUrl; null when automatic.
    HINTERNET lookupSession = nullptr;
};

class RequestLink;

/// What WinHTTP said about one request, copied out of its callback to the worker.
struct Notice
{
    std::shared_ptr<RequestLink> link;
    DWORD status = 0;
    /// The bytes a READ_COMPLETE brought, the error of a REQUEST_ERROR, the flags of a
    /// SECURE_FAILURE; 0 with DATA_AVAILABLE, which reaches the worker only at the body's end.
    DWORD value = 0;
    /// The new address for REDIRECT.
    std::wstring target;
};

/// The worker's mailbox: WinHTTP's threads drop notices in it, the UI thread only wakes it.
/// Shared with every request still open, since WinHTTP may call back after the worker is gone.
class Inbox
{
public:
    /// The worker's owner, on the UI thread. Throws RuntimeError (Unavailable) when no event
    /// can be made.
    Inbox();
    /// Whichever thread lets go of it last. Never throws.
    ~Inbox();
    Inbox(const Inbox &) = delete;
    Inbox &operator=(const Inbox &) = delete;

    /// Any thread. Queues a notice and wakes the worker; dropped once closed. Never throws: a
    /// notice lost for want of memory is made up by the stall limit.
    void post(Notice notice) noexcept;
    /// Any thread. Wakes the worker. Never throws.
    void wake() noexcept;
    /// Worker thread. Waits until woken or timeoutMs pass (INFINITE: no limit). Never throws.
    void wait(DWORD timeoutMs) noexcept;
    /// Worker thread. Everything queued, oldest first; empty when nothing is. Never throws.
    std::vector<Notice> take() noexcept;
    /// Worker thread, at its end. Drops every queued notice and every later one. Never throws.
    void close() noexcept;

private:
    std::mutex m_mutex;
    std::vector<Notice> m_notices; // guarded by m_mutex
    bool m_closed = false;         // guarded by m_mutex
    HANDLE m_event = nullptr;
};

/// What lives as long as WinHTTP may still call back for a request: the way to the worker and
/// the buffer a pending read fills. WinHTTP holds it from the request's creation until the
/// request's HANDLE_CLOSING notification, which may come long after the transfer ended.
class RequestLink
{
public:
    /// Worker thread. Throws std::bad_alloc only.
    explicit RequestLink(std::shared_ptr<Inbox> inbox);

    /// A WinHTTP thread, in the DATA_AVAILABLE notification. Reads what is available into the
    /// buffer unless the request was closed; false, with the error, when WinHTTP refuses the
    /// read. Reading here rather than on the worker saves a trip between threads per piece.
    /// Never throws.
    bool read(HINTERNET request, DWORD available, DWORD &error) noexcept;
    /// Worker thread, before the request's handle is closed. No read starts afterwards. Never
    /// throws.
    void close() noexcept;
    /// Worker thread, after READ_COMPLETE. The bytes the last read brought. Never throws.
    const char *data() const noexcept { return m_buffer.get(); }
    /// Any thread. The inbox of the worker the request belongs to. Never throws.
    Inbox &inbox() const noexcept { return *m_inbox; }

private:
    const std::shared_ptr<Inbox> m_inbox;
    const std::unique_ptr<char[]> m_buffer;
    // Held around each read, so that the worker cannot close the handle while it is used.
    std::mutex m_mutex;
    bool m_closed = false; // guarded by m_mutex
};

/// One request of a URL through WinHTTP: the request's set-up, the steps of the exchange, the
/// connect limit and the stall limit before the body, the headers and body handed to the shared
/// core, and WinHTTP's errors told as kinds of failure. Created on the UI thread, then touched
/// by the worker thread only.
class Transfer
{
public:
    using Clock = transfer::Clock;

    /// UI thread. cancelled is the flag the UI thread sets to stop it. Never throws.
    Transfer(TransferRequest request, std::shared_ptr<std::atomic<bool>> cancelled) noexcept;
    /// Worker thread. Closes the request (never waiting for WinHTTP); the core's file goes
    /// unless it was kept or handed on. Never throws.
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    /// Worker thread. Opens the request in session and sends it; WinHTTP's notices for it go
    /// to inbox. A request that cannot be sent has ended at once. Never throws.
    void begin(HINTERNET session, const ProxyMode &proxy, const std::shared_ptr<Inbox> &inbox,
               Clock::time_point now) noexcept;
    /// Worker thread. Whether notice is about this transfer's request. Never throws.
    bool owns(const Notice &notice) const noexcept { return m_link && notice.link == m_link; }
    /// Worker thread. Takes the next step after a notice of its own. Never throws.
    void take(const Notice &notice, Clock::time_point now) noexcept;
    /// Worker thread. Ends the transfer if it was cancelled, or if a limit passed. Never throws.
    void check(Clock::time_point now) noexcept;
    /// Worker thread. When check must run next, if nothing else happens; max() for never.
    /// Never throws.
    Clock::time_point nextCheck() const noexcept;
    /// Worker thread. Whether the transfer has an outcome and only conclude remains. Never
    /// throws.
    bool ended() const noexcept { return m_ended; }
    /// Worker thread. Closes the request and returns the final record (the file kept, handed on
    /// as a partial download, or gone). Throws only std::bad_alloc, the file already discarded.
    AsyncProperty conclude();

    /// Worker thread, or the UI thread before the worker has it. The shared part. Never throws.
    transfer::Core &core() noexcept { return m_core; }
    const transfer::Core &core() const noexcept { return m_core; }

private:
    enum class Phase
    {
        Connecting, // until connected: the connect limit runs
        Exchanging, // the request sent, the answer awaited or arriving: the stall limit runs
        Ended
    };

    DWORD openRequest(HINTERNET session, const ProxyMode &proxy,
                      const std::shared_ptr<Inbox> &inbox);
    void closeRequest() noexcept;
    void logRequest(const ProxyMode &proxy) const noexcept;
    void readHead() noexcept;
    bool refusedAsInsecure() const noexcept;
    void askForData() noexcept;
    void takeBody(DWORD size) noexcept;
    void endOfBody() noexcept;
    void followRedirect(const std::wstring &target) noexcept;
    void end() noexcept;
    void fail(DWORD error) noexcept;
    void refuse(TransferError kind) noexcept;
    TransferError kindOf(DWORD error) const noexcept;

    transfer::Core m_core;
    const TransferAddress m_address;

    std::shared_ptr<RequestLink> m_link;
    HINTERNET m_connection = nullptr;
    HINTERNET m_request = nullptr;

    Phase m_phase = Phase::Connecting;
    bool m_ended = false;
    Clock::time_point m_startedAt;
    Clock::time_point m_lastActiveAt;
    bool m_requestSent = false;
    int m_redirects = 0;
    DWORD m_error = 0;
    DWORD m_secureFailure = 0;
};

} // namespace runtime::win32
