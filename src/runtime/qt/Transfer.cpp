#include "Transfer.h"

#include "SystemError.h"
#include "runtime/RuntimeError.h"
#include "runtime/Text.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <sys/socket.h>
#include <utility>

namespace runtime::qt {

namespace {

constexpr long kReceiveBufferSize = 512 * 1024;

// Close-on-exec from the moment the socket exists: set afterwards, a program started by another
// thread in between would inherit the connection to the server.
curl_socket_t openCloseOnExecSocket(void *, curlsocktype, curl_sockaddr *address) noexcept
{
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

std::string writeFailure(int error)
{
    return "the download could not be written: " + systemErrorText(error);
}

// Touched on the UI thread only: read when a transfer starts, set by tests alone.
std::filesystem::path g_extraAuthorityFile;

} // namespace

void setExtraAuthorityFile(std::filesystem::path file)
{
    g_extraAuthorityFile = std::move(file);
}

std::filesystem::path extraAuthorityFile()
{
    return g_extraAuthorityFile;
}

Transfer::Transfer(TransferRequest request, std::shared_ptr<std::atomic<bool>> cancelled,
                   TransferListener &listener) noexcept
    : m_name(std::move(request.name)), m_url(std::move(request.url)),
      m_secureStart(equalsIgnoringCase(schemeOf(m_url), "https")), m_noCache(request.noCache),
      m_limits(request.limits), m_authorityFile(std::move(request.authorityFile)),
      m_file(std::move(request.file)), m_cancelled(std::move(cancelled)), m_listener(listener)
{}

Transfer::~Transfer()
{
    if (m_easy)
        curl_easy_cleanup(m_easy);
    curl_slist_free_all(m_headers);
}

CURLcode Transfer::configure() noexcept
{
    m_easy = curl_easy_init();
    if (!m_easy)
        return CURLE_OUT_OF_MEMORY;
    const auto addHeader = [this](const char *line) {
        curl_slist *extended = curl_slist_append(m_headers, line);
        if (!extended)
            return false;
        m_headers = extended;
        return true;
    };
    // Without it a server may compress the body, which would reach the file as it came.
    if (!addHeader("Accept-Encoding: identity"))
        return CURLE_OUT_OF_MEMORY;
    if (m_noCache && (!addHeader("Cache-Control: no-cache") || !addHeader("Pragma: no-cache")))
        return CURLE_OUT_OF_MEMORY;
    const long stallSeconds =
        std::max<long>(1, static_cast<long>((m_limits.stallTimeout.count() + 999) / 1000));
    CURLcode code = CURLE_OK;
    const auto set = [&](CURLoption option, auto value) {
        if (code == CURLE_OK)
            code = curl_easy_setopt(m_easy, option, value);
    };
    set(CURLOPT_PRIVATE, static_cast<void *>(this));
    set(CURLOPT_URL, m_url.c_str());
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    // Once secure, the download stays so; acceptHead refuses such a redirect with its own
    // reason before libcurl would even try it.
    set(CURLOPT_REDIR_PROTOCOLS_STR, m_secureStart ? "https" : "http,https");
    // Only HTTP/1.1, whose bodies end by their length or their chunks, which libcurl checks.
    // libcurl reports an answer's version from its status line's text, so an "HTTP/2 200" over
    // HTTP/1.1 would pass for a protocol that ends its bodies itself; here it cannot matter.
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, static_cast<long>(std::max(0, m_limits.maxRedirects)));
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_limits.connectTimeout.count()));
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, stallSeconds);
    set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    set(CURLOPT_USERAGENT, "Refitor");
    // Besides the system's authorities, which the certificate folder still gives.
    if (!m_authorityFile.empty())
        set(CURLOPT_CAINFO, m_authorityFile.c_str());
    set(CURLOPT_HTTPHEADER, m_headers);
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
        static_cast<void>(curl_easy_setopt(m_easy, CURLOPT_QUICK_EXIT, 1L));
#endif
    return code;
}

void Transfer::release(CURLM *multi) noexcept
{
    if (!m_easy)
        return;
    curl_multi_remove_handle(multi, m_easy);
    curl_easy_cleanup(m_easy);
    m_easy = nullptr;
}

std::string Transfer::conclude(CURLM *multi, CURLcode code)
{
    long status = 0;
    curl_off_t requestSentAt = 0;
    curl_off_t length = -1;
    if (m_easy) {
        curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(m_easy, CURLINFO_PRETRANSFER_TIME_T, &requestSentAt);
        curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        release(multi);
    }
    // A refused body was never taken, so its announced length is no count the user should see.
    if (status == 200 && m_expected == 0 && m_refusal == Refusal::None)
        m_expected = std::max<std::int64_t>(0, length);

    std::string failure;
    try {
        if (cancelRequested())
            failure = "the download was cancelled";
        else if (code != CURLE_OK)
            failure = reasonFor(code, requestSentAt > 0);
        else if (status != 200)
            failure = "the server answered " + std::to_string(status);
        else
            failure = completeFile();
    } catch (...) {
        m_file.discard();
        throw;
    }
    if (!failure.empty())
        m_file.discard();
    return failure;
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
    if (self.m_head.ended)
        return total;
    if (line.empty()) {
        self.m_head.ended = true;
        return self.acceptHead() ? total : 0;
    }
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos)
        self.m_head.readHeader(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    return total;
}

void Transfer::readStatusLine(std::string_view line) noexcept
{
    m_head = ResponseHead{};
    // "HTTP/1.1 200 OK"; the version says nothing: the transfer speaks HTTP/1.1 only.
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return;
    for (const char digit : line.substr(space + 1, 3)) {
        if (digit < '0' || digit > '9')
            break;
        m_head.status = m_head.status * 10 + (digit - '0');
    }
}

// Judged at the end of each response's headers, so that a refused body never reaches the file
// and a refused redirect is never followed; any other response's body is kept out by the write
// callback.
bool Transfer::acceptHead() noexcept
{
    // Refused here, before libcurl follows it: not even the request goes out in the clear.
    if (m_secureStart && m_head.redirectsToPlainHttp()) {
        m_refusal = Refusal::InsecureRedirect;
        return false;
    }
    if (m_head.status != 200)
        return true;
    const BodyEnd end = m_head.bodyEnd();
    if (!m_head.unrequestedCoding().empty())
        m_refusal = Refusal::Encoded;
    else if (end == BodyEnd::LengthAndChunks)
        m_refusal = Refusal::LengthAndChunks;
    else if (end == BodyEnd::Length && m_head.length > bodyCap())
        m_refusal = overCap(true);
    // Ended only by the connection closing, such a body cannot be told from one that was cut;
    // refused at once, an endless one costs nothing either. libcurl tells a chunked body's end
    // from a cut, so that one is taken.
    else if (end == BodyEnd::Closing)
        m_refusal = Refusal::Unframed;
    return m_refusal == Refusal::None;
}

std::size_t Transfer::onWrite(char *data, std::size_t size, std::size_t count,
                              void *context) noexcept
{
    return static_cast<Transfer *>(context)->takeBody(data, size * count);
}

// Returning anything but size makes libcurl end the transfer with CURLE_WRITE_ERROR.
std::size_t Transfer::takeBody(const char *data, std::size_t size) noexcept
{
    if (m_cancelled->load(std::memory_order_relaxed))
        return 0;
    // Checked on every piece, not once: whatever response a piece belongs to, only a 200's
    // body may reach the file or the progress count.
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        m_rejectedStatus = status;
        return 0;
    }
    if (m_received + static_cast<std::int64_t>(size) > bodyCap()) {
        m_refusal = overCap(false);
        return 0;
    }
    if (!m_bodyStarted) {
        m_bodyStarted = true;
        curl_off_t length = -1;
        curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        m_expected = std::max<std::int64_t>(0, length);
        m_writeError = m_file.prepare(m_expected);
        if (m_writeError != 0)
            return 0;
    }
    m_writeError = m_file.append(data, size);
    if (m_writeError != 0)
        return 0;
    m_received += static_cast<std::int64_t>(size);
    m_listener.bodyArrived(*this);
    return size;
}

int Transfer::onTransferInfo(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept
{
    return static_cast<Transfer *>(context)->stillActive() ? 0 : 1;
}

bool Transfer::stillActive() noexcept
{
    if (m_cancelled->load(std::memory_order_relaxed))
        return false;
    // libcurl's low-speed check averages over about five seconds, so once data has flowed it
    // would notice a stall that much late; this notices it on time.
    if (m_bodyStarted) {
        const auto now = Clock::now();
        if (m_received != m_lastActiveCount) {
            m_lastActiveCount = m_received;
            m_lastActiveAt = now;
        } else if (now - m_lastActiveAt >= m_limits.stallTimeout) {
            m_stalled = true;
            return false;
        }
    }
    return true;
}

std::int64_t Transfer::bodyCap() const noexcept
{
    return runtime::bodyCap(m_limits);
}

Transfer::Refusal Transfer::overCap(bool announced) const noexcept
{
    if (capIsSigned(m_limits))
        return announced ? Refusal::AnnouncedBeyondRelease : Refusal::SentBeyondRelease;
    return announced ? Refusal::AnnouncedTooLong : Refusal::SentTooLong;
}

std::string Transfer::completeFile()
{
    const int error = m_file.finish();
    if (error != 0)
        return writeFailure(error);
    try {
        m_digest = m_file.finishHash();
    } catch (const RuntimeError &failure) {
        return std::string("the download could not be hashed: ") + failure.what();
    }
    return {};
}

std::string Transfer::refusalText() const
{
    switch (m_refusal) {
    case Refusal::None:
        break;
    case Refusal::Encoded:
        return "the server sent the file compressed (" + std::string(m_head.unrequestedCoding()) +
               "), which was not asked for";
    case Refusal::Unframed:
        return "the server did not say how long the file is, so a cut connection could not be "
               "told from the end of the file";
    case Refusal::LengthAndChunks:
        return "the server sent both a length and chunks, so the end of the file could not be "
               "told";
    case Refusal::InsecureRedirect:
        return "the server redirected the download from https to an insecure http address";
    case Refusal::AnnouncedTooLong:
        return "the server announced more than " + groupedCount(m_limits.maxBytes) + " bytes";
    case Refusal::SentTooLong:
        return "the server sent more than " + groupedCount(m_limits.maxBytes) + " bytes";
    case Refusal::AnnouncedBeyondRelease:
        return "the server announced more than the " + groupedCount(m_limits.signedBytes) +
               " bytes the release names";
    case Refusal::SentBeyondRelease:
        return "the server sent more than the " + groupedCount(m_limits.signedBytes) +
               " bytes the release names";
    }
    return {};
}

std::string Transfer::reasonFor(CURLcode code, bool requestSent) const
{
    if (m_refusal != Refusal::None)
        return refusalText();
    switch (code) {
    case CURLE_WRITE_ERROR:
        if (m_rejectedStatus != 0)
            return "the server answered " + std::to_string(m_rejectedStatus);
        if (m_writeError != 0)
            return writeFailure(m_writeError);
        break;
    case CURLE_ABORTED_BY_CALLBACK:
        return m_stalled ? "the server stopped sending data" : "the download was cancelled";
    case CURLE_COULDNT_RESOLVE_HOST:
        return "the server's name could not be found";
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "the proxy server's name could not be found";
    case CURLE_COULDNT_CONNECT:
        return "could not connect to the server";
    case CURLE_OPERATION_TIMEDOUT:
        // libcurl reports an expired connect timeout and a stall alike.
        return requestSent ? "the server stopped sending data" : "could not connect to the server";
    case CURLE_TOO_MANY_REDIRECTS:
        return "the server's redirects go round in a loop";
    case CURLE_UNSUPPORTED_PROTOCOL:
        // start() lets only http and https through, so this is a redirect elsewhere.
        return "the server redirected to an address that is not http or https";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return "the server's certificate could not be verified";
    case CURLE_SSL_CONNECT_ERROR:
        return "a secure connection to the server could not be established";
    case CURLE_GOT_NOTHING:
        return "the server closed the connection without answering";
    case CURLE_WEIRD_SERVER_REPLY:
        return "the server's answer could not be understood";
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        if (m_expected > 0) {
            return "the connection was lost after " + groupedCount(m_received) + " of " +
                   groupedCount(m_expected) + " bytes";
        }
        if (m_bodyStarted)
            return "the connection was lost after " + groupedCount(m_received) + " bytes";
        return "the connection to the server was lost";
    default:
        break;
    }
    return curl_easy_strerror(code);
}

} // namespace runtime::qt
