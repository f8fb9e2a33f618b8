#pragma once

#include "Transfer.h"
#include "runtime/AsyncRead.h"

#include <atomic>
#include <chrono>
#include <curl/curl.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class QObject;

namespace runtime::qt {

/// The thread that runs every transfer of one reader through one libcurl multi handle. Its
/// public functions belong to the UI thread; all libcurl work happens on the worker thread,
/// which reaches the UI thread only through queued calls on a QObject of the UI thread.
class TransferWorker final : private TransferListener
{
public:
    /// UI thread. Initialises libcurl (once per process) and starts the worker thread, which
    /// delivers notifications to handlers through queued calls on context; context must outlive
    /// the worker. Throws RuntimeError (Unavailable) when libcurl or the thread cannot start.
    TransferWorker(QObject &context, std::shared_ptr<const transfer::ReaderHandlers> handlers);
    /// UI thread. Cancels every transfer, deletes their temporary files and joins the worker,
    /// then deletes the files of successful completions that were posted but not delivered.
    /// Notifications already posted must be dropped by destroying context right after. Never
    /// throws.
    ~TransferWorker() override;
    TransferWorker(const TransferWorker &) = delete;
    TransferWorker &operator=(const TransferWorker &) = delete;

    /// UI thread. Hands a validated request to the worker, which from now on owns its file and
    /// sends it when its set-up says. The name must not be running. Throws only std::bad_alloc,
    /// having discarded the file.
    void submit(TransferRequest request);
    /// UI thread. Asks the transfer under name to stop; an unknown name is ignored. Never throws.
    void cancel(const std::string &name) noexcept;
    /// UI thread. Whether name was submitted and its completion has not yet been delivered.
    /// Never throws.
    bool isRunning(const std::string &name) const noexcept;

private:
    using Clock = std::chrono::steady_clock;

    void bodyArrived(Transfer &transfer) noexcept override;
    void run();
    void beginDue(Clock::time_point now);
    void begin(std::unique_ptr<Transfer> transfer);
    void finishCancelled(Clock::time_point now);
    void finishDone();
    void finish(Transfer &transfer, CURLcode code);
    void retire(const Transfer &transfer);
    void offerProgress(Transfer &transfer, Clock::time_point now, bool force);
    int pollTimeoutMs(Clock::time_point now) const;
    void abandon(std::vector<std::unique_ptr<Transfer>> &transfers) noexcept;
    void post(const Transfer &transfer, AsyncProperty record, bool final,
              std::filesystem::path handedOver);

    QObject &m_context;
    const std::shared_ptr<const transfer::ReaderHandlers> m_handlers;
    CURLM *m_multi = nullptr;

    std::mutex m_mutex;
    std::vector<std::unique_ptr<Transfer>> m_incoming; // guarded by m_mutex
    bool m_stopRequested = false;                      // guarded by m_mutex

    std::vector<std::unique_ptr<Transfer>> m_waiting; // worker thread only: not sent yet
    std::vector<std::unique_ptr<Transfer>> m_active;  // worker thread only

    // The running names, and the files of successful completions posted to the UI thread and
    // not yet delivered: Qt drops such a completion when the reader goes first, and its file
    // would stay behind unknown.
    transfer::Pending m_pending;

    std::thread m_thread;
};

} // namespace runtime::qt
