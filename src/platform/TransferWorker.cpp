#include "TransferWorker.h"

#include "Conversions.h"
#include "PlatformError.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <stdlib.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kGatherSize = 1024 * 1024;
constexpr std::int64_t kWriteOutStep = 8 * 1024 * 1024;
constexpr long kReceiveBufferSize = 512 * 1024;
constexpr auto kProgressInterval = 33ms;
constexpr int kIdleWaitMs = 60 * 60 * 1000;
constexpr int kBusyWaitMs = 1000;
constexpr char kTemplateName[] = ".refitor-XXXXXX.part";
constexpr int kTemplateSuffixLength = 5;

std::once_flag curlInitialised;

std::int32_t saturated(std::int64_t value)
{
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(value, 0, std::numeric_limits<std::int32_t>::max()));
}

// POSIX file primitives, kept apart so another platform needs only these replaced.

/// Returns 0 or the errno of the write that failed.
int writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

// Starting write-out while data still arrives leaves the final fsync little to do. Only a hint:
// file systems that refuse it lose nothing but speed.
void startWriteOut(int fd, std::int64_t from, std::int64_t length)
{
    ::sync_file_range(fd, from, length, SYNC_FILE_RANGE_WRITE);
}

/// Waits until a range whose write-out was started is on the disk, then drops it from the page
/// cache. Returns 0 or the errno of a failed write-out, which must count: the wait consumes the
/// error, so the final fsync would not report it again.
int finishWriteOut(int fd, std::int64_t from, std::int64_t length)
{
    if (::sync_file_range(fd, from, length,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
        const int error = errno;
        // A file system without the call has told nothing about the data; fsync will.
        return error == EINVAL || error == ENOSYS || error == ESPIPE || error == EOPNOTSUPP ? 0
                                                                                            : error;
    }
    ::posix_fadvise(fd, from, length, POSIX_FADV_DONTNEED);
    return 0;
}

/// Returns ENOSPC when the file cannot possibly fit, 0 otherwise (also when reserving is not
/// supported, since the writes will tell).
int reserveSpace(int fd, std::int64_t length)
{
    // KEEP_SIZE: a server announcing more than it sends must not leave a padded file, and no
    // zero-filling emulation runs on file systems without the call.
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length) != 0 && errno == ENOSPC)
        return ENOSPC;
    return 0;
}

/// Returns 0 or the errno of the step that failed; the descriptor is closed either way.
int syncAndClose(int fd)
{
    int error = 0;
    if (::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    return error;
}

} // namespace

TemporaryFile createTemporaryFile(const QString &folder)
{
    if (folder.isEmpty())
        throw PlatformError("no folder was given for the temporary file");
    const QString pattern =
        QDir(folder).absolutePath() + QLatin1Char('/') + QLatin1String(kTemplateName);
    QByteArray path = QFile::encodeName(pattern);
    const int fd = ::mkostemps(path.data(), kTemplateSuffixLength, O_CLOEXEC);
    if (fd < 0) {
        throw PlatformError(QStringLiteral("could not create a temporary file in %1: %2")
                                .arg(folder, systemErrorText(errno)));
    }
    return TemporaryFile{fd, QFile::decodeName(path)};
}

void discardTemporaryFile(TemporaryFile &file)
{
    if (file.fd >= 0)
        ::close(file.fd);
    if (!file.path.isEmpty())
        ::unlink(QFile::encodeName(file.path).constData());
    file = TemporaryFile{};
}

/// One transfer's state. Created on the UI thread, then touched by the worker thread only.
struct Transfer
{
    using Clock = std::chrono::steady_clock;

    // Cannot throw once memory is allocated, so a failed submit never loses track of the file.
    Transfer(TransferRequest request, std::shared_ptr<std::atomic<bool>> flag,
             TransferWorker &owner) noexcept
        : name(std::move(request.name)), url(std::move(request.url)), noCache(request.noCache),
          limits(request.limits), file(std::move(request.file)), cancelled(std::move(flag)),
          worker(owner)
    {}
    ~Transfer()
    {
        if (easy)
            curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
        discardTemporaryFile(file);
    }
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    CURLcode configure();
    bool flushGathered();
    QString completeFile();
    QString reasonFor(CURLcode code, bool requestSent) const;

    static std::size_t onWrite(char *data, std::size_t size, std::size_t count, void *context);
    static int onTransferInfo(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    const QString name;
    const QByteArray url;
    const bool noCache;
    const TransferLimits limits;
    TemporaryFile file;
    const std::shared_ptr<std::atomic<bool>> cancelled;
    TransferWorker &worker;

    CURL *easy = nullptr;
    curl_slist *headers = nullptr;

    std::unique_ptr<char[]> gathered;
    std::size_t gatheredSize = 0;
    std::int64_t received = 0;
    std::int64_t expected = 0;
    std::int64_t writtenOut = 0;
    std::int64_t writeOutFrom = 0;
    std::int64_t droppedTo = 0;
    bool bodyStarted = false;
    bool stalled = false;
    std::int64_t lastActiveCount = -1;
    Clock::time_point lastActiveAt;
    long rejectedStatus = 0;
    int writeError = 0;

    std::int32_t sentRead = 0;
    std::int32_t sentMax = 0;
    Clock::time_point sentAt = Clock::now() - kProgressInterval;
};

CURLcode Transfer::configure()
{
    easy = curl_easy_init();
    if (!easy)
        return CURLE_OUT_OF_MEMORY;
    if (noCache) {
        for (const char *line : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
            curl_slist *extended = curl_slist_append(headers, line);
            if (!extended)
                return CURLE_OUT_OF_MEMORY;
            headers = extended;
        }
    }
    const long stallSeconds =
        std::max<long>(1, static_cast<long>((limits.stallTimeout.count() + 999) / 1000));
    CURLcode code = CURLE_OK;
    const auto set = [&](CURLoption option, auto value) {
        if (code == CURLE_OK)
            code = curl_easy_setopt(easy, option, value);
    };
    set(CURLOPT_PRIVATE, static_cast<void *>(this));
    set(CURLOPT_URL, url.constData());
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, static_cast<long>(std::max(0, limits.maxRedirects)));
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, stallSeconds);
    set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    set(CURLOPT_USERAGENT, "Refitor");
    set(CURLOPT_HTTPHEADER, headers);
    set(CURLOPT_WRITEFUNCTION, &Transfer::onWrite);
    set(CURLOPT_WRITEDATA, static_cast<void *>(this));
    set(CURLOPT_XFERINFOFUNCTION, &Transfer::onTransferInfo);
    set(CURLOPT_XFERINFODATA, static_cast<void *>(this));
    set(CURLOPT_NOPROGRESS, 0L);
    return code;
}

std::size_t Transfer::onWrite(char *data, std::size_t size, std::size_t count, void *context)
{
    auto &self = *static_cast<Transfer *>(context);
    const std::size_t total = size * count;
    if (self.cancelled->load(std::memory_order_relaxed))
        return 0;
    // Checked on every piece, not once: whatever response a piece belongs to, only a 200's
    // body may reach the file or the progress count.
    long status = 0;
    curl_easy_getinfo(self.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        self.rejectedStatus = status;
        return 0;
    }
    if (!self.bodyStarted) {
        self.bodyStarted = true;
        curl_off_t length = -1;
        curl_easy_getinfo(self.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        self.expected = std::max<std::int64_t>(0, length);
        if (self.expected > 0)
            self.writeError = reserveSpace(self.file.fd, self.expected);
        if (self.writeError != 0)
            return 0;
        // Inside a libcurl callback no exception may leave, so no throwing allocation either.
        self.gathered.reset(new (std::nothrow) char[kGatherSize]);
        if (!self.gathered) {
            self.writeError = ENOMEM;
            return 0;
        }
    }
    std::size_t taken = 0;
    while (taken < total) {
        const std::size_t piece = std::min(total - taken, kGatherSize - self.gatheredSize);
        std::memcpy(self.gathered.get() + self.gatheredSize, data + taken, piece);
        self.gatheredSize += piece;
        taken += piece;
        if (self.gatheredSize == kGatherSize && !self.flushGathered())
            return 0;
    }
    self.received += static_cast<std::int64_t>(total);
    self.worker.offerProgress(self, Clock::now(), false);
    return total;
}

int Transfer::onTransferInfo(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto &self = *static_cast<Transfer *>(context);
    if (self.cancelled->load(std::memory_order_relaxed))
        return 1;
    // libcurl's low-speed check averages over about five seconds, so once data has flowed it
    // would notice a stall that much late; this notices it on time.
    if (self.bodyStarted) {
        const auto now = Clock::now();
        if (self.received != self.lastActiveCount) {
            self.lastActiveCount = self.received;
            self.lastActiveAt = now;
        } else if (now - self.lastActiveAt >= self.limits.stallTimeout) {
            self.stalled = true;
            return 1;
        }
    }
    return 0;
}

bool Transfer::flushGathered()
{
    if (gatheredSize == 0)
        return true;
    writeError = writeAll(file.fd, gathered.get(), gatheredSize);
    if (writeError != 0)
        return false;
    writtenOut += static_cast<std::int64_t>(gatheredSize);
    gatheredSize = 0;
    if (writtenOut - writeOutFrom >= kWriteOutStep) {
        startWriteOut(file.fd, writeOutFrom, writtenOut - writeOutFrom);
        // The step before the one just started is waited for and dropped from the page cache.
        // The file is written once and not read back here, so the cache holds no more than two
        // steps of it: the next writes reuse the pages just freed instead of taking fresh ones
        // (the larger part of a big transfer's processor time went into filling fresh pages),
        // the disk sees a steady stream instead of the whole file at the final fsync, and the
        // files the user has cached stay cached. While the worker waits, the kernel goes on
        // receiving into the socket's buffer.
        if (writeOutFrom > droppedTo) {
            writeError = finishWriteOut(file.fd, droppedTo, writeOutFrom - droppedTo);
            if (writeError != 0)
                return false;
            droppedTo = writeOutFrom;
        }
        writeOutFrom = writtenOut;
    }
    return true;
}

QString Transfer::completeFile()
{
    const bool flushed = flushGathered();
    gathered.reset();
    if (flushed)
        writeError = syncAndClose(file.fd);
    else
        ::close(file.fd);
    file.fd = -1;
    if (writeError != 0)
        return QStringLiteral("the download could not be written: %1")
            .arg(systemErrorText(writeError));
    return {};
}

QString Transfer::reasonFor(CURLcode code, bool requestSent) const
{
    switch (code) {
    case CURLE_WRITE_ERROR:
        if (rejectedStatus != 0)
            return QStringLiteral("the server answered %1").arg(rejectedStatus);
        if (writeError != 0) {
            return QStringLiteral("the download could not be written: %1")
                .arg(systemErrorText(writeError));
        }
        break;
    case CURLE_ABORTED_BY_CALLBACK:
        return stalled ? QStringLiteral("the server stopped sending data")
                       : QStringLiteral("the download was cancelled");
    case CURLE_COULDNT_RESOLVE_HOST:
        return QStringLiteral("the server's name could not be found");
    case CURLE_COULDNT_RESOLVE_PROXY:
        return QStringLiteral("the proxy server's name could not be found");
    case CURLE_COULDNT_CONNECT:
        return QStringLiteral("could not connect to the server");
    case CURLE_OPERATION_TIMEDOUT:
        // libcurl reports an expired connect timeout and a stall alike.
        return requestSent ? QStringLiteral("the server stopped sending data")
                           : QStringLiteral("could not connect to the server");
    case CURLE_TOO_MANY_REDIRECTS:
        return QStringLiteral("the server's redirects go round in a loop");
    case CURLE_UNSUPPORTED_PROTOCOL:
        // start() lets only http and https through, so this is a redirect elsewhere.
        return QStringLiteral("the server redirected to an address that is not http or https");
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return QStringLiteral("the server's certificate could not be verified");
    case CURLE_SSL_CONNECT_ERROR:
        return QStringLiteral("a secure connection to the server could not be established");
    case CURLE_GOT_NOTHING:
        return QStringLiteral("the server closed the connection without answering");
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        if (expected > 0) {
            return QStringLiteral("the connection was lost after %1 of %2 bytes")
                .arg(groupedCount(received), groupedCount(expected));
        }
        if (bodyStarted) {
            return QStringLiteral("the connection was lost after %1 bytes")
                .arg(groupedCount(received));
        }
        return QStringLiteral("the connection to the server was lost");
    default:
        break;
    }
    return QString::fromUtf8(curl_easy_strerror(code));
}

TransferWorker::TransferWorker(AsyncReader &reader) : m_reader(reader)
{
    std::call_once(curlInitialised, [] {
        const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (code != CURLE_OK) {
            throw PlatformError(QStringLiteral("the network library could not start: %1")
                                    .arg(QString::fromUtf8(curl_easy_strerror(code))));
        }
    });
    m_multi = curl_multi_init();
    if (!m_multi)
        throw PlatformError("the network library could not start");
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error &error) {
        curl_multi_cleanup(m_multi);
        throw PlatformError(QStringLiteral("the download thread could not start: %1")
                                .arg(QString::fromStdString(error.what())));
    }
}

TransferWorker::~TransferWorker()
{
    for (const auto &flag : std::as_const(m_running))
        flag->store(true);
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
    std::unique_ptr<Transfer> transfer;
    try {
        auto flag = std::make_shared<std::atomic<bool>>(false);
        transfer = std::make_unique<Transfer>(std::move(request), std::move(flag), *this);
        m_running.insert(transfer->name, transfer->cancelled);
        const std::lock_guard lock(m_mutex);
        m_incoming.push_back(std::move(transfer));
    } catch (...) {
        if (transfer)
            m_running.remove(transfer->name);
        else
            discardTemporaryFile(request.file);
        throw;
    }
    curl_multi_wakeup(m_multi);
}

void TransferWorker::cancel(const QString &name)
{
    const auto found = m_running.constFind(name);
    if (found == m_running.constEnd())
        return;
    found.value()->store(true);
    curl_multi_wakeup(m_multi);
}

bool TransferWorker::isRunning(const QString &name) const
{
    return m_running.contains(name);
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
    if (code == CURLE_OK && curl_multi_add_handle(m_multi, added.easy) != CURLM_OK)
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
        if (transfer.cancelled->load()) {
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
    long status = 0;
    curl_off_t requestSentAt = 0;
    curl_off_t length = -1;
    if (transfer.easy) {
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(transfer.easy, CURLINFO_PRETRANSFER_TIME_T, &requestSentAt);
        curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        curl_multi_remove_handle(m_multi, transfer.easy);
        curl_easy_cleanup(transfer.easy);
        transfer.easy = nullptr;
    }
    if (status == 200 && transfer.expected == 0)
        transfer.expected = std::max<std::int64_t>(0, length);

    QString failure;
    if (transfer.cancelled->load())
        failure = QStringLiteral("the download was cancelled");
    else if (code != CURLE_OK)
        failure = transfer.reasonFor(code, requestSentAt > 0);
    else if (status != 200)
        failure = QStringLiteral("the server answered %1").arg(status);
    else
        failure = transfer.completeFile();

    QString value;
    if (failure.isEmpty())
        value = transfer.file.path;
    else
        discardTemporaryFile(transfer.file);
    // The file is complete or gone before anyone hears of the outcome.
    offerProgress(transfer, Clock::now(), true);
    post(transfer,
         AsyncProperty(transfer.name, transfer.sentRead, transfer.sentMax, value, failure), true);
    transfer.file = TemporaryFile{};
}

void TransferWorker::retire(const Transfer &transfer)
{
    const auto found = std::find_if(m_active.begin(), m_active.end(),
                                    [&](const auto &active) { return active.get() == &transfer; });
    if (found != m_active.end())
        m_active.erase(found);
}

void TransferWorker::offerProgress(Transfer &transfer, Clock::time_point now, bool force)
{
    const std::int32_t read = saturated(transfer.received);
    const std::int32_t max = saturated(transfer.expected);
    if (read == transfer.sentRead && max == transfer.sentMax)
        return;
    if (!force && now - transfer.sentAt < kProgressInterval)
        return;
    transfer.sentRead = read;
    transfer.sentMax = max;
    transfer.sentAt = now;
    post(transfer, AsyncProperty(transfer.name, read, max, {}, {}), false);
}

// A count held back by the interval must go out when the interval ends, even if no more data
// comes to wake the worker.
int TransferWorker::pollTimeoutMs(Clock::time_point now) const
{
    if (m_active.empty())
        return kIdleWaitMs;
    auto wait = std::chrono::milliseconds(kBusyWaitMs);
    for (const auto &transfer : m_active) {
        if (saturated(transfer->received) == transfer->sentRead &&
            saturated(transfer->expected) == transfer->sentMax)
            continue;
        const auto due = std::chrono::ceil<std::chrono::milliseconds>(transfer->sentAt +
                                                                      kProgressInterval - now);
        wait = std::clamp(due, std::chrono::milliseconds(0), wait);
    }
    return static_cast<int>(wait.count());
}

void TransferWorker::abandon(std::vector<std::unique_ptr<Transfer>> &transfers)
{
    for (auto &transfer : transfers) {
        if (transfer->easy) {
            curl_multi_remove_handle(m_multi, transfer->easy);
            curl_easy_cleanup(transfer->easy);
            transfer->easy = nullptr;
        }
    }
    transfers.clear(); // ~Transfer deletes each unfinished file
}

void TransferWorker::post(const Transfer &transfer, const AsyncProperty &record, bool final)
{
    // Queued on the reader: delivered on its thread, in posting order, and dropped by Qt if
    // the reader is destroyed first.
    QMetaObject::invokeMethod(
        &m_reader,
        [this, record, final, flag = transfer.cancelled] {
            AsyncReader &reader = m_reader;
            if (final) {
                const auto found = m_running.constFind(record.PropertyName());
                if (found != m_running.constEnd() && found.value() == flag)
                    m_running.erase(found);
                Q_EMIT reader.readComplete(record);
            } else {
                Q_EMIT reader.readProgress(record);
            }
        },
        Qt::QueuedConnection);
}

} // namespace platform
