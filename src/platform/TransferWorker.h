#pragma once

#include "AsyncReader.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <atomic>
#include <chrono>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

/// A temporary file opened for writing.
struct TemporaryFile
{
    int fd = -1;
    QString path;
    /// The same path as the operating system takes it.
    QByteArray nativePath;
};

/// Any thread. Creates and opens a new ".refitor-XXXXXX.part" file in folder, readable and
/// writable by the owner only, closed on exec, and registers it to be removed should the program
/// exit before releaseTemporaryFile. Throws PlatformError with the operating system's reason, or
/// std::bad_alloc, leaving no file behind.
TemporaryFile createTemporaryFile(const QString &folder);

/// Any thread. Closes and deletes a temporary file, attempting both steps whatever fails, and
/// leaves file empty. Never throws.
void discardTemporaryFile(TemporaryFile &file);

/// Any thread. Takes the file at nativePath off the list removed at exit: it belongs to someone
/// else now. Never throws.
void releaseTemporaryFile(const QByteArray &nativePath);

/// What a transfer needs to run, handed from the UI thread to the worker.
struct TransferRequest
{
    QString name;
    QByteArray url;
    bool noCache = false;
    TransferLimits limits;
    TemporaryFile file;
};

struct Transfer;

/// The thread that runs every transfer of one AsyncReader through one libcurl multi handle.
/// Its public functions belong to the UI thread; all libcurl work happens on the worker thread,
/// which reaches the UI thread only through queued calls on the reader.
class TransferWorker
{
public:
    /// UI thread. Initialises libcurl (once per process) and starts the worker thread, which
    /// delivers notifications to reader. Throws PlatformError when libcurl cannot start.
    explicit TransferWorker(AsyncReader &reader);
    /// UI thread. Cancels every transfer, deletes their temporary files and joins the worker,
    /// then deletes the files of successful completions that were posted but not delivered; no
    /// notification is delivered afterwards. Never throws.
    ~TransferWorker();
    TransferWorker(const TransferWorker &) = delete;
    TransferWorker &operator=(const TransferWorker &) = delete;

    /// UI thread. Hands a validated request to the worker, which from now on owns its file.
    /// The name must not be running. Throws only std::bad_alloc, having discarded the file.
    void submit(TransferRequest request);
    /// UI thread. Asks the transfer under name to stop; an unknown name is ignored. Never throws.
    void cancel(const QString &name);
    /// UI thread. Whether name was submitted and its completion has not yet been delivered.
    /// Never throws.
    bool isRunning(const QString &name) const;

private:
    friend struct Transfer;
    using Clock = std::chrono::steady_clock;

    void run();
    void begin(std::unique_ptr<Transfer> transfer);
    void finishCancelled();
    void finishDone();
    void finish(Transfer &transfer, CURLcode code);
    void retire(const Transfer &transfer);
    void offerProgress(Transfer &transfer, Clock::time_point now, bool force);
    int pollTimeoutMs(Clock::time_point now) const;
    void abandon(std::vector<std::unique_ptr<Transfer>> &transfers);
    void post(const Transfer &transfer, const AsyncProperty &record, bool final,
              const QByteArray &handedOver = {});

    AsyncReader &m_reader;
    CURLM *m_multi = nullptr;

    std::mutex m_mutex;
    std::vector<std::unique_ptr<Transfer>> m_incoming; // guarded by m_mutex
    bool m_stopRequested = false;                      // guarded by m_mutex
    // Files of successful completions posted to the UI thread and not yet delivered; Qt drops
    // such a completion when the reader goes first, and its file would stay behind unknown.
    std::vector<QByteArray> m_undelivered; // guarded by m_mutex

    std::vector<std::unique_ptr<Transfer>> m_active; // worker thread only

    QHash<QString, std::shared_ptr<std::atomic<bool>>> m_running; // UI thread only

    std::thread m_thread;
};

} // namespace platform
