#include "Transfer.h"

#include "SystemError.h"
#include "runtime/RuntimeError.h"
#include "runtime/SupportLog.h"
#include "runtime/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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
    : m_core(std::move(request.setup), std::move(cancelled)), m_url(std::move(request.url)),
      m_authorityFile(std::move(request.authorityFile)), m_userAgent(std::move(request.userAgent)),
      m_listener(listener)
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
    if (m_core.noCache() &&
        (!addHeader("Cache-Control: no-cache") || !addHeader("Pragma: no-cache")))
        return CURLE_OUT_OF_MEMORY;
    try {
        for (const std::string &line : m_core.requestHeaders()) {
            if (!addHeader(line.c_str()))
                return CURLE_OUT_OF_MEMORY;
        }
    } catch (...) {
        return CURLE_OUT_OF_MEMORY;
    }
    const TransferLimits &limits = m_core.limits();
    const long stallSeconds =
        std::max<long>(1, static_cast<long>((limits.stallTimeout.count() + 999) / 1000));
    CURLcode code = CURLE_OK;
    const auto set = [&](CURLoption option, auto value) {
        if (code == CURLE_OK)
            code = curl_easy_setopt(m_easy, option, value);
    };
    set(CURLOPT_PRIVATE, static_cast<void *>(this));
    set(CURLOPT_URL, m_url.c_str());
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    // Once secure, the download stays so; the core refuses such a redirect with its own
    // reason before libcurl would even try it.
    set(CURLOPT_REDIR_PROTOCOLS_STR, m_core.secureStart() ? "https" : "http,https");
    // Only HTTP/1.1, whose bodies end by their length or their chunks, which libcurl checks.
    // libcurl reports an answer's version from its status line's text, so an "HTTP/2 200" over
    // HTTP/1.1 would pass for a protocol that ends its bodies itself; here it cannot matter.
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, static_cast<long>(std::max(0, limits.maxRedirects)));
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, stallSeconds);
    set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    if (!m_userAgent.empty())
        set(CURLOPT_USERAGENT, m_userAgent.c_str());
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
    logRequest();
#if LIBCURL_VERSION_NUM >= 0x075700
    // A name lookup still running when the transfer ends is left to finish on its own instead of
    // being waited for, so that closing the window is not held up by a slow resolver. A library
    // older than the build's headers refuses the option, and then only waits as before.
    if (code == CURLE_OK)
        static_cast<void>(curl_easy_setopt(m_easy, CURLOPT_QUICK_EXIT, 1L));
#endif
    return code;
}

// For the support log: libcurl takes its proxy from the environment, as the user's session set it.
void Transfer::logRequest() const noexcept
{
    try {
        std::string proxy;
        const bool secure = m_core.secureStart();
        for (const char *name : {secure ? "https_proxy" : "http_proxy", secure ? "HTTPS_PROXY" : "",
                                 "all_proxy", "ALL_PROXY"}) {
            const char *value = *name ? std::getenv(name) : nullptr;
            if (value && *value) {
                proxy = supportlog::withoutCredentials(value) + " (" + name + ")";
                break;
            }
        }
        const char *bypass = std::getenv("no_proxy");
        if (proxy.empty())
            proxy = "none";
        else if (bypass && *bypass)
            proxy += std::string(" except for ") + bypass;
        m_core.logRequest(m_url, proxy);
    } catch (...) {
    }
}

void Transfer::release(CURLM *multi) noexcept
{
    if (!m_easy)
        return;
    curl_multi_remove_handle(multi, m_easy);
    curl_easy_cleanup(m_easy);
    m_easy = nullptr;
}

AsyncProperty Transfer::conclude(CURLM *multi, CURLcode code)
{
    curl_off_t requestSentAt = 0;
    if (m_easy) {
        curl_easy_getinfo(m_easy, CURLINFO_PRETRANSFER_TIME_T, &requestSentAt);
        release(multi);
    }
    if (code != CURLE_OK) {
        int detail = 0;
        const TransferError kind = kindOf(code, requestSentAt > 0, detail);
        m_core.fail(kind, detail);
    }
    return m_core.conclude(code == CURLE_OK ? std::string() : curl_easy_strerror(code));
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
    if (self.m_headEnded)
        return total;
    if (line.empty()) {
        self.m_headEnded = true;
        // libcurl tells a chunked body's end from a cut.
        return self.m_core.acceptHead(true) ? total : 0;
    }
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
        self.m_core.head().readHeader(trimmed(line.substr(0, colon)),
                                      trimmed(line.substr(colon + 1)));
    }
    return total;
}

void Transfer::readStatusLine(std::string_view line) noexcept
{
    // "HTTP/1.1 200 OK"; the version says nothing: the transfer speaks HTTP/1.1 only. A
    // redirect's or an interim answer's headers say nothing about the final answer.
    m_headEnded = false;
    int status = 0;
    const std::size_t space = line.find(' ');
    if (space != std::string_view::npos) {
        for (const char digit : line.substr(space + 1, 3)) {
            if (digit < '0' || digit > '9')
                break;
            status = status * 10 + (digit - '0');
        }
    }
    m_core.beginAnswer(status);
}

std::size_t Transfer::onWrite(char *data, std::size_t size, std::size_t count,
                              void *context) noexcept
{
    return static_cast<Transfer *>(context)->takeBody(data, size * count);
}

// Returning anything but size makes libcurl end the transfer with CURLE_WRITE_ERROR.
std::size_t Transfer::takeBody(const char *data, std::size_t size) noexcept
{
    if (!m_core.takeBody(data, size))
        return 0;
    m_listener.bodyArrived(*this);
    return size;
}

int Transfer::onTransferInfo(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept
{
    // libcurl's low-speed check averages over about five seconds, so once data has flowed it
    // would notice a stall that much late; the core notices it on time, and the floor and the
    // deadline besides.
    return static_cast<Transfer *>(context)->m_core.checkTime(transfer::Clock::now()) ? 0 : 1;
}

TransferError Transfer::kindOf(CURLcode code, bool requestSent, int &detail) const noexcept
{
    switch (code) {
    case CURLE_WRITE_ERROR:
    case CURLE_ABORTED_BY_CALLBACK:
        // The core ended it and said why; otherwise only a cancel stops a transfer this way.
        return m_core.error() != TransferError::None ? m_core.error() : TransferError::Cancelled;
    case CURLE_COULDNT_RESOLVE_PROXY:
        detail = 1;
        return TransferError::NameNotFound;
    case CURLE_COULDNT_RESOLVE_HOST:
        return TransferError::NameNotFound;
    case CURLE_COULDNT_CONNECT:
        return TransferError::ConnectFailed;
    case CURLE_OPERATION_TIMEDOUT:
        // libcurl reports an expired connect timeout and a stall alike.
        return requestSent ? TransferError::Stalled : TransferError::ConnectTimedOut;
    case CURLE_TOO_MANY_REDIRECTS:
        return TransferError::RedirectLoop;
    case CURLE_UNSUPPORTED_PROTOCOL:
        // start() lets only http and https through, so this is a redirect elsewhere.
        return TransferError::RedirectNotWeb;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return TransferError::Certificate;
    case CURLE_SSL_CONNECT_ERROR:
        return TransferError::Tls;
    case CURLE_GOT_NOTHING:
        return TransferError::NoAnswer;
    case CURLE_WEIRD_SERVER_REPLY:
        return TransferError::BadAnswer;
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return TransferError::Cut;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        return TransferError::Reset;
    default:
        break;
    }
    return TransferError::Other;
}

} // namespace runtime::qt
