#include "TransferWorker.h"

#include "runtime/RuntimeError.h"

#include <QMetaObject>
#include <QObject>
#include <algorithm>
#include <system_error>
#include <utility>

namespace runtime::qt {

namespace {

using namespace std::chrono_literals;

constexpr auto kProgressInterval = 33ms;
constexpr int kIdleWaitMs = 60 * 60 * 1000;
constexpr int kBusyWaitMs = 1000;

std::once_flag curlInitialised;

} // namespace

TransferWorker::TransferWorker(QObject &context, std::shared_ptr<const ReaderHandlers> handlers)
    : m_context(context), m_handlers(std::move(handlers))
{
    std::call_once(curlInitialised, [] {
        const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (code != CURLE_OK) {
            throw RuntimeError(ErrorKind::Unavailable, std::string("the network library could "
                                                                   "not start: ") +
                                                           curl_easy_strerror(code));
        }
    });
    m_multi = curl_multi_init();
    if (!m_multi)
        throw RuntimeError(ErrorKind::Unavailable, "the network library could not start");
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error &error) {
        curl_multi_cleanup(m_multi);
        throw RuntimeError(ErrorKind::Unavailable,
                           std::string("the download thread could not start: ") + error.what());
    }
}

TransferWorker::~TransferWorker()
{
    for (const auto &[name, flag] : m_running)
        flag->store(true);
    {
        const std::lock_guard lock(m_mutex);
        m_stopRequested = true;
    }
    curl_multi_wakeup(m_multi);
    m_thread.join();
    curl_multi_cleanup(m_multi);
    // Completions still queued die with the reader, and nobody else knows their files.
    const std::lock_guard lock(m_mutex);
    for (const std::filesystem::path &path : m_undelivered)
        removeTemporaryFile(path);
    m_undelivered.clear();
}

void TransferWorker::submit(TransferRequest request)
{
    std::unique_ptr<Transfer> transfer;
    try {
        auto flag = std::make_shared<std::atomic<bool>>(false);
        TransferListener &listener = *this;
        transfer = std::make_unique<Transfer>(std::move(request), std::move(flag), listener);
        m_running.emplace(transfer->name(), transfer->cancelFlag());
        const std::lock_guard lock(m_mutex);
        m_incoming.push_back(std::move(transfer));
    } catch (...) {
        // Without a transfer the request still holds the file, and discards it when it goes.
        if (transfer)
            m_running.erase(transfer->name());
        throw;
    }
    curl_multi_wakeup(m_multi);
}

void TransferWorker::cancel(const std::string &name) noexcept
{
    const auto found = m_running.find(name);
    if (found == m_running.end())
        return;
    found->second->store(true);
    curl_multi_wakeup(m_multi);
}

bool TransferWorker::isRunning(const std::string &name) const noexcept
{
    return m_running.find(name) != m_running.end();
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
            abandon(incoming);
            abandon(m_active);
            return;
        }
        for (auto &transfer : incoming)
            begin(std::move(transfer));
        finishCancelled();
        int stillRunning = 0;
        curl_multi_perform(m_multi, &stillRunning);
        finishDone();
        const auto now = Clock::now();
        for (const auto &transfer : m_active)
            offerProgress(*transfer, now, false);
        if (curl_multi_poll(m_multi, nullptr, 0, pollTimeoutMs(now), nullptr) != CURLM_OK)
            std::this_thread::sleep_for(10ms); // never spin should the multi handle break
    }
}

void TransferWorker::begin(std::unique_ptr<Transfer> transfer)
{
    Transfer &added = *transfer;
    m_active.push_back(std::move(transfer));
    CURLcode code = added.configure();
    if (code == CURLE_OK && curl_multi_add_handle(m_multi, added.easy()) != CURLM_OK)
        code = CURLE_OUT_OF_MEMORY;
    if (code != CURLE_OK) {
        finish(added, code);
        retire(added);
    }
}

// A cancelled transfer leaves at once rather than at libcurl's next progress call, which a
// silent connection may delay.
void TransferWorker::finishCancelled()
{
    for (std::size_t i = 0; i < m_active.size();) {
        Transfer &transfer = *m_active[i];
        if (transfer.cancelRequested()) {
            finish(transfer, CURLE_ABORTED_BY_CALLBACK);
            m_active.erase(m_active.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void TransferWorker::finishDone()
{
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        const CURLcode code = message->data.result;
        void *context = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &context);
        auto &transfer = *static_cast<Transfer *>(context);
        finish(transfer, code);
        retire(transfer);
    }
}

void TransferWorker::finish(Transfer &transfer, CURLcode code)
{
    const std::string failure = transfer.conclude(m_multi, code);
    std::filesystem::path value;
    if (failure.empty()) {
        value = transfer.keepFile();
        const std::lock_guard lock(m_mutex);
        m_undelivered.push_back(value);
    }
    // The file is complete or gone before anyone hears of the outcome.
    offerProgress(transfer, Clock::now(), true);
    post(transfer,
         AsyncProperty(transfer.name(), transfer.reported.read, transfer.reported.max, value,
                       failure, failure.empty() ? transfer.digest() : std::nullopt),
         true, value);
}

void TransferWorker::retire(const Transfer &transfer)
{
    const auto found = std::find_if(m_active.begin(), m_active.end(),
                                    [&](const auto &active) { return active.get() == &transfer; });
    if (found != m_active.end())
        m_active.erase(found);
}

void TransferWorker::bodyArrived(Transfer &transfer) noexcept
{
    // Nothing may leave a libcurl callback; a count lost for want of memory is made up by the
    // next one, since the reported figures change only once a record is posted.
    try {
        offerProgress(transfer, Clock::now(), false);
    } catch (...) {
    }
}

void TransferWorker::offerProgress(Transfer &transfer, Clock::time_point now, bool force)
{
    const std::int64_t read = transfer.bytesReceived();
    const std::int64_t max = transfer.bytesExpected();
    Transfer::Reported &reported = transfer.reported;
    if (read == reported.read && max == reported.max)
        return;
    if (!force && now - reported.at < kProgressInterval)
        return;
    post(transfer, AsyncProperty(transfer.name(), read, max, {}, {}), false, {});
    reported = {read, max, now};
}

// A count held back by the interval must go out when the interval ends, even if no more data
// comes to wake the worker.
int TransferWorker::pollTimeoutMs(Clock::time_point now) const
{
    if (m_active.empty())
        return kIdleWaitMs;
    auto wait = std::chrono::milliseconds(kBusyWaitMs);
    for (const auto &transfer : m_active) {
        const Transfer::Reported &reported = transfer->reported;
        if (transfer->bytesReceived() == reported.read && transfer->bytesExpected() == reported.max)
            continue;
        const auto due =
            std::chrono::ceil<std::chrono::milliseconds>(reported.at + kProgressInterval - now);
        wait = std::clamp(due, std::chrono::milliseconds(0), wait);
    }
    return static_cast<int>(wait.count());
}

void TransferWorker::abandon(std::vector<std::unique_ptr<Transfer>> &transfers) noexcept
{
    for (auto &transfer : transfers)
        transfer->release(m_multi);
    transfers.clear(); // ~Transfer deletes each unfinished file
}

void TransferWorker::post(const Transfer &transfer, AsyncProperty record, bool final,
                          std::filesystem::path handedOver)
{
    // Queued on the context: delivered on its thread, in posting order, and dropped by Qt if the
    // context is destroyed first. The closure, not the reader, holds everything the handler
    // uses, so a handler may destroy the reader.
    QMetaObject::invokeMethod(
        &m_context,
        [this, record = std::move(record), final, flag = transfer.cancelFlag(),
         handedOver = std::move(handedOver), handlers = m_handlers] {
            if (final)
                settle(record.PropertyName(), flag, handedOver);
            // Last, touching nothing of this worker afterwards: the reader may be gone.
            const AsyncReader::Handler &handler =
                final ? handlers->onComplete : handlers->onProgress;
            if (handler)
                handler(record);
        },
        Qt::QueuedConnection);
}

void TransferWorker::settle(const std::string &name, const std::shared_ptr<std::atomic<bool>> &flag,
                            const std::filesystem::path &handedOver) noexcept
{
    // Matched by flag as well, so that no notification can end another transfer's entry.
    const auto found = m_running.find(name);
    if (found != m_running.end() && found->second == flag)
        m_running.erase(found);
    if (handedOver.empty())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_undelivered.erase(std::remove(m_undelivered.begin(), m_undelivered.end(), handedOver),
                            m_undelivered.end());
    }
    // From here on the file is the receiver's, to keep or move even past an exit.
    handOverTemporaryFile(handedOver);
}

} // namespace runtime::qt
