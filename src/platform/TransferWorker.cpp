#include "TransferWorker.h"

#include "Conversions.h"
#include "PlatformError.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <stdlib.h>
#include <string_view>
#include <sys/socket.h>
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

// Header text is ASCII by protocol; the C library's functions would follow the locale instead.

char asciiLower(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

std::string_view trimmed(std::string_view text) noexcept
{
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

/// Calls take(token) for each element of a comma-separated header list, its parameters dropped.
template <typename Take> void forEachToken(std::string_view list, Take take) noexcept
{
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view token = list.substr(0, comma);
        token = trimmed(token.substr(0, token.find(';')));
        if (!token.empty())
            take(token);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    }
}

/// Temporary files that nobody outside the facility has taken yet, process-wide. Qt ends the
/// program with exit() when the display connection breaks, and then no reader is destroyed.
class LiveFiles
{
public:
    /// Throws std::bad_alloc only.
    void add(const QByteArray &path)
    {
        const std::lock_guard lock(m_mutex);
        m_paths.push_back(path);
    }
    void forget(const QByteArray &path) noexcept
    {
        const std::lock_guard lock(m_mutex);
        const auto found = std::find(m_paths.begin(), m_paths.end(), path);
        if (found != m_paths.end())
            m_paths.erase(found);
    }
    // Runs at exit while worker threads may still be writing: unlinking under the lock takes
    // nothing from them, a descriptor stays usable after its name is gone.
    void removeAll() noexcept
    {
        const std::lock_guard lock(m_mutex);
        for (const QByteArray &path : m_paths)
            ::unlink(path.constData());
        m_paths.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<QByteArray> m_paths;
};

void removeLiveFilesAtExit();

LiveFiles &liveFiles()
{
    // Never destroyed: worker threads go on running while the program exits and may still
    // reach it after the static destructors.
    static LiveFiles *const files = [] {
        auto *created = new LiveFiles;
        std::atexit(&removeLiveFilesAtExit);
        return created;
    }();
    return *files;
}

void removeLiveFilesAtExit()
{
    liveFiles().removeAll();
}

// Close-on-exec from the moment the socket exists: set afterwards, a program started by another
// thread in between would inherit the connection to the server.
curl_socket_t openCloseOnExecSocket(void *, curlsocktype, curl_sockaddr *address) noexcept
{
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
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
    TemporaryFile file{fd, {}, path};
    try {
        file.path = QFile::decodeName(path);
        liveFiles().add(path);
    } catch (...) {
        discardTemporaryFile(file);
        throw;
    }
    return file;
}

void discardTemporaryFile(TemporaryFile &file)
{
    if (file.fd >= 0)
        ::close(file.fd);
    // Unlinked before it is forgotten, so an exit in between cannot miss it.
    if (!file.nativePath.isEmpty()) {
        ::unlink(file.nativePath.constData());
        liveFiles().forget(file.nativePath);
    }
    file = TemporaryFile{};
}

void releaseTemporaryFile(const QByteArray &nativePath)
{
    liveFiles().forget(nativePath);
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

    // Why the facility itself ended a transfer whose connection was fine.
    enum class Refusal
    {
        None,
        Encoded,
        Unframed,
        AnnouncedTooLong,
        SentTooLong
    };

    // What the headers of the response now arriving said. Reset at each status line: a
    // redirect's or an interim answer's headers say nothing about the final response.
    struct Head
    {
        int status = 0;
        bool framedByProtocol = false; // HTTP/2 and later mark the end of a body themselves
        bool ended = false;
        bool chunked = false;
        bool lengthKnown = false;
        bool lengthInvalid = false;
        std::int64_t length = 0;
        std::array<char, 32> coding{}; // the first content or transfer coding not asked for
        std::size_t codingLength = 0;
    };

    CURLcode configure();
    void readStatusLine(std::string_view line) noexcept;
    void readHeader(std::string_view field, std::string_view value) noexcept;
    void noteCoding(std::string_view coding) noexcept;
    bool acceptHead() noexcept;
    bool flushGathered();
    QString completeFile();
    QString reasonFor(CURLcode code, bool requestSent) const;
    QString refusalText() const;

    static std::size_t onHeader(char *data, std::size_t size, std::size_t count,
                                void *context) noexcept;
    static std::size_t onWrite(char *data, std::size_t size, std::size_t count,
                               void *context) noexcept;
    static int onTransferInfo(void *context, curl_off_t, curl_off_t, curl_off_t,
                              curl_off_t) noexcept;

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
    Head head;
    Refusal refusal = Refusal::None;

    std::int32_t sentRead = 0;
    std::int32_t sentMax = 0;
    Clock::time_point sentAt = Clock::now() - kProgressInterval;
};

CURLcode Transfer::configure()
{
    easy = curl_easy_init();
    if (!easy)
        return CURLE_OUT_OF_MEMORY;
    const auto addHeader = [this](const char *line) {
        curl_slist *extended = curl_slist_append(headers, line);
        if (!extended)
            return false;
        headers = extended;
        return true;
    };
    // Without it a server may compress the body, which would reach the file as it came.
    if (!addHeader("Accept-Encoding: identity"))
        return CURLE_OUT_OF_MEMORY;
    if (noCache && (!addHeader("Cache-Control: no-cache") || !addHeader("Pragma: no-cache")))
        return CURLE_OUT_OF_MEMORY;
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
    set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    set(CURLOPT_HEADERDATA, static_cast<void *>(this));
    // A proxy's answer to CONNECT is no response of the server's and must not be judged as one.
    set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    set(CURLOPT_WRITEFUNCTION, &Transfer::onWrite);
    set(CURLOPT_WRITEDATA, static_cast<void *>(this));
    set(CURLOPT_XFERINFOFUNCTION, &Transfer::onTransferInfo);
    set(CURLOPT_XFERINFODATA, static_cast<void *>(this));
    set(CURLOPT_NOPROGRESS, 0L);
    // No closing counterpart is needed: libcurl's default close() suits these sockets, and a
    // connection may be closed from the cache after this transfer, so no context could be given.
    set(CURLOPT_OPENSOCKETFUNCTION, &openCloseOnExecSocket);
#if LIBCURL_VERSION_NUM >= 0x075700
    // A name lookup still running when the transfer ends is left to finish on its own instead of
    // being waited for, so that closing the window is not held up by a slow resolver. A library
    // older than the build's headers refuses the option, and then only waits as before.
    if (code == CURLE_OK)
        static_cast<void>(curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L));
#endif
    return code;
}

std::size_t Transfer::onHeader(char *data, std::size_t size, std::size_t count,
                               void *context) noexcept
{
    auto &self = *static_cast<Transfer *>(context);
    const std::size_t total = size * count;
    const std::string_view line = trimmed(std::string_view(data, total));
    if (equalsIgnoringCase(line.substr(0, 5), "HTTP/")) {
        self.readStatusLine(line);
        return total;
    }
    // After the end of the headers come only the trailers of a chunked body.
    if (self.head.ended)
        return total;
    if (line.empty()) {
        self.head.ended = true;
        return self.acceptHead() ? total : 0;
    }
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos)
        self.readHeader(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    return total;
}

void Transfer::readStatusLine(std::string_view line) noexcept
{
    head = Head{};
    // "HTTP/1.1 200 OK", or "HTTP/2 200" as libcurl writes it for later versions.
    const char major = line.size() > 5 ? line[5] : '0';
    head.framedByProtocol = major >= '2' && major <= '9';
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return;
    for (const char digit : line.substr(space + 1, 3)) {
        if (digit < '0' || digit > '9')
            break;
        head.status = head.status * 10 + (digit - '0');
    }
}

void Transfer::readHeader(std::string_view field, std::string_view value) noexcept
{
    if (equalsIgnoringCase(field, "Content-Encoding")) {
        forEachToken(value, [this](std::string_view coding) {
            if (!equalsIgnoringCase(coding, "identity"))
                noteCoding(coding);
        });
    } else if (equalsIgnoringCase(field, "Transfer-Encoding")) {
        forEachToken(value, [this](std::string_view coding) {
            if (equalsIgnoringCase(coding, "chunked"))
                head.chunked = true;
            else if (!equalsIgnoringCase(coding, "identity"))
                noteCoding(coding);
        });
    } else if (equalsIgnoringCase(field, "Content-Length")) {
        std::int64_t length = 0;
        bool valid = !value.empty();
        for (const char digit : value) {
            if (digit < '0' || digit > '9') {
                valid = false;
                break;
            }
            // A length past the 64-bit range is simply too long.
            length = length > (std::numeric_limits<std::int64_t>::max() - 9) / 10
                         ? std::numeric_limits<std::int64_t>::max()
                         : length * 10 + (digit - '0');
        }
        if (!valid || (head.lengthKnown && head.length != length))
            head.lengthInvalid = true;
        head.lengthKnown = true;
        head.length = length;
    }
}

void Transfer::noteCoding(std::string_view coding) noexcept
{
    if (head.codingLength > 0)
        return;
    // Only printable characters go into the sentence the user reads.
    for (const char c : coding.substr(0, head.coding.size())) {
        if (c > ' ' && c <= '~')
            head.coding[head.codingLength++] = c;
    }
    if (head.codingLength == 0)
        head.coding[head.codingLength++] = '?';
}

// Judged at the end of the final response's headers, so that a refused body never reaches
// the file; any other response's body is kept out by the write callback.
bool Transfer::acceptHead() noexcept
{
    if (head.status != 200)
        return true;
    const bool lengthKnown = head.lengthKnown && !head.lengthInvalid;
    if (head.codingLength > 0)
        refusal = Refusal::Encoded;
    // A chunked body's length header is meaningless, as libcurl treats it.
    else if (!head.chunked && lengthKnown && head.length > limits.maxBytes)
        refusal = Refusal::AnnouncedTooLong;
    // Ended only by the connection closing, such a body cannot be told from one that was cut;
    // refused at once, an endless one costs nothing either.
    else if (!head.framedByProtocol && !head.chunked && !lengthKnown)
        refusal = Refusal::Unframed;
    return refusal == Refusal::None;
}

std::size_t Transfer::onWrite(char *data, std::size_t size, std::size_t count,
                              void *context) noexcept
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
    if (self.received + static_cast<std::int64_t>(total) > self.limits.maxBytes) {
        self.refusal = Refusal::SentTooLong;
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
    // Nothing may leave a libcurl callback; a count lost for want of memory is made up by the
    // next one, since the sent figures change only once a record is posted.
    try {
        self.worker.offerProgress(self, Clock::now(), false);
    } catch (...) {
    }
    return total;
}

int Transfer::onTransferInfo(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept
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

QString Transfer::refusalText() const
{
    switch (refusal) {
    case Refusal::None:
        break;
    case Refusal::Encoded:
        return QStringLiteral("the server sent the file compressed (%1), which was not asked for")
            .arg(
                QString::fromLatin1(head.coding.data(), static_cast<qsizetype>(head.codingLength)));
    case Refusal::Unframed:
        return QStringLiteral("the server did not say how long the file is, so a cut connection "
                              "could not be told from the end of the file");
    case Refusal::AnnouncedTooLong:
        return QStringLiteral("the server announced more than %1 bytes")
            .arg(groupedCount(limits.maxBytes));
    case Refusal::SentTooLong:
        return QStringLiteral("the server sent more than %1 bytes")
            .arg(groupedCount(limits.maxBytes));
    }
    return {};
}

QString Transfer::reasonFor(CURLcode code, bool requestSent) const
{
    if (refusal != Refusal::None)
        return refusalText();
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
    case CURLE_WEIRD_SERVER_REPLY:
        return QStringLiteral("the server's answer could not be understood");
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
    // Completions still queued die with the reader, and nobody else knows their files.
    const std::lock_guard lock(m_mutex);
    for (const QByteArray &path : m_undelivered) {
        ::unlink(path.constData());
        releaseTemporaryFile(path);
    }
    m_undelivered.clear();
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
    // A refused body was never taken, so its announced length is no count the user should see.
    if (status == 200 && transfer.expected == 0 && transfer.refusal == Transfer::Refusal::None)
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
    if (failure.isEmpty()) {
        value = transfer.file.path;
        const std::lock_guard lock(m_mutex);
        m_undelivered.push_back(transfer.file.nativePath);
    } else {
        discardTemporaryFile(transfer.file);
    }
    // The file is complete or gone before anyone hears of the outcome.
    offerProgress(transfer, Clock::now(), true);
    post(transfer,
         AsyncProperty(transfer.name, transfer.sentRead, transfer.sentMax, value, failure), true,
         transfer.file.nativePath);
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
    post(transfer, AsyncProperty(transfer.name, read, max, {}, {}), false);
    transfer.sentRead = read;
    transfer.sentMax = max;
    transfer.sentAt = now;
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

void TransferWorker::post(const Transfer &transfer, const AsyncProperty &record, bool final,
                          const QByteArray &handedOver)
{
    // Queued on the reader: delivered on its thread, in posting order, and dropped by Qt if
    // the reader is destroyed first.
    QMetaObject::invokeMethod(
        &m_reader,
        [this, record, final, flag = transfer.cancelled, handedOver] {
            AsyncReader &reader = m_reader;
            if (final) {
                const auto found = m_running.constFind(record.PropertyName());
                if (found != m_running.constEnd() && found.value() == flag)
                    m_running.erase(found);
                // From here on the file is the receiver's, to keep or move even past an exit.
                if (!handedOver.isEmpty()) {
                    {
                        const std::lock_guard lock(m_mutex);
                        m_undelivered.erase(
                            std::remove(m_undelivered.begin(), m_undelivered.end(), handedOver),
                            m_undelivered.end());
                    }
                    releaseTemporaryFile(handedOver);
                }
                Q_EMIT reader.readComplete(record);
            } else {
                Q_EMIT reader.readProgress(record);
            }
        },
        Qt::QueuedConnection);
}

} // namespace platform
