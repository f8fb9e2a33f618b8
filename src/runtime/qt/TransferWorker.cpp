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

constexpr int kIdleWaitMs = 60 * 60 * 1000;
constexpr int kBusyWaitMs = 1000;

std::once_flag curlInitialised;

} // namespace

TransferWorker::TransferWorker(QObject &context,
                               std::shared_ptr<const transfer::ReaderHandlers> handlers)
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
    m_pending.cancelAll();
    {
        const std::lock_guard lock(m_mutex);
        m_stopRequested = true;
    }
    curl_multi_wakeup(m_multi);
    m_thread.join();
    curl_multi_cleanup(m_multi);
}

void TransferWorker::submit(TransferRequest request)
{
    std::shared_ptr<std::atomic<bool>> flag;
    const std::string name = request.setup.name;
    try {
        flag = m_pending.add(name);
        TransferListener &listener = *this;
        auto transfer = std::make_unique<Transfer>(std::move(request), flag, listener);
        const std::lock_guard lock(m_mutex);
        m_incoming.push_back(std::move(transfer));
    } catch (...) {
        // Without a transfer the request still holds the file, and discards it when it goes.
        if (flag)
            m_pending.drop(name, flag);
        throw;
    }
    curl_multi_wakeup(m_multi);
}

void TransferWorker::cancel(const std::string &name) noexcept
{
    if (m_pending.cancel(name))
        curl_multi_wakeup(m_multi);
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
            abandon(incoming);
            abandon(m_waiting);
            abandon(m_active);
            return;
        }
        for (auto &transfer : incoming)
            m_waiting.push_back(std::move(transfer));
        finishCancelled(Clock::now());
        beginDue(Clock::now());
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

// A request waits its set-up's delay here, cancellable, before it goes out.
void TransferWorker::beginDue(Clock::time_point now)
{
    for (std::size_t i = 0; i < m_waiting.size();) {
        if (m_waiting[i]->core().startsAt() <= now) {
            std::unique_ptr<Transfer> due = std::move(m_waiting[i]);
            m_waiting.erase(m_waiting.begin() + static_cast<std::ptrdiff_t>(i));
            begin(std::move(due));
        } else {
            ++i;
        }
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

// A cancelled transfer, or one past its deadline, leaves at once rather than at libcurl's next
// progress call, which a silent connection may delay; so does one still waiting to start.
void TransferWorker::finishCancelled(Clock::time_point now)
{
    for (auto *list : {&m_waiting, &m_active}) {
        for (std::size_t i = 0; i < list->size();) {
            Transfer &transfer = *(*list)[i];
            const bool waiting = list == &m_waiting;
            if ((waiting || transfer.core().cancelRequested()) && !transfer.core().checkTime(now)) {
                finish(transfer, CURLE_ABORTED_BY_CALLBACK);
                list->erase(list->begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
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
    AsyncProperty record = transfer.conclude(m_multi, code);
    std::filesystem::path value;
    if (record.failure().empty()) {
        value = record.Value();
        m_pending.noteHandOver(value);
    }
    // The file is complete or gone before anyone hears of the outcome.
    offerProgress(transfer, Clock::now(), true);
    post(transfer, std::move(record), true, value);
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
    if (std::optional<AsyncProperty> record = transfer.core().progress(now, force))
        post(transfer, std::move(*record), false, {});
}

// A count held back by the interval must go out when the interval ends, even if no more data
// comes to wake the worker; a waiting request must go out when its delay ends; and a deadline
// or a floor must be noticed when it passes.
int TransferWorker::pollTimeoutMs(Clock::time_point now) const
{
    if (m_active.empty() && m_waiting.empty())
        return kIdleWaitMs;
    auto due = now + std::chrono::milliseconds(kBusyWaitMs);
    for (const auto &transfer : m_active)
        due = std::min(due, transfer->core().progressDue());
    for (const auto &transfer : m_waiting)
        due = std::min({due, transfer->core().startsAt(), transfer->core().nextCheck()});
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now);
    return static_cast<int>(
        std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, kBusyWaitMs));
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
        [this, record = std::move(record), final, flag = transfer.core().cancelFlag(),
         handedOver = std::move(handedOver), handlers = m_handlers] {
            if (final)
                m_pending.settle(record.PropertyName(), flag, handedOver);
            // Last, touching nothing of this worker afterwards: the reader may be gone.
            const AsyncReader::Handler &handler =
                final ? handlers->onComplete : handlers->onProgress;
            if (handler)
                handler(record);
        },
        Qt::QueuedConnection);
}

} // namespace runtime::qt
