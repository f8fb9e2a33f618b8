#include "Transfer.h"

#include "SystemError.h"
#include "runtime/RuntimeError.h"
#include "runtime/Text.h"

#include <algorithm>
#include <climits>
#include <cwchar>
#include <limits>
#include <utility>

namespace runtime::win32 {

namespace {

// WinHTTP decodes a chunked body itself, and a read of nothing ends it alike at its last chunk
// and at a cut connection (Wine's after a whole chunk and inside one). Nothing here can tell
// the two apart, so such a body is refused at its headers as one of unknown length, unless a
// signed release's size and hash judge the file afterwards (the core decides that).
constexpr bool kChunkedEndIsTold = false;

// Large enough for whatever WinHTTP has buffered at once; more would only sit idle.
constexpr std::size_t kReadBufferSize = 256 * 1024;

// A stall is the worker's to notice; WinHTTP's own receive limit comes later and only backs it.
constexpr DWORD kReceiveTimeoutMarginMs = 1000;

constexpr DWORD kNotifications =
    WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_SENDREQUEST_COMPLETE |
    WINHTTP_CALLBACK_FLAG_REDIRECT | WINHTTP_CALLBACK_FLAG_HEADERS_AVAILABLE |
    WINHTTP_CALLBACK_FLAG_DATA_AVAILABLE | WINHTTP_CALLBACK_FLAG_READ_COMPLETE |
    WINHTTP_CALLBACK_FLAG_REQUEST_ERROR | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE |
    WINHTTP_CALLBACK_FLAG_HANDLES;

constexpr DWORD kCertificateFailures =
    WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT |
    WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA |
    WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID | WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID |
    WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE;

DWORD milliseconds(std::chrono::milliseconds duration, DWORD margin = 0) noexcept
{
    const auto count =
        std::clamp<std::chrono::milliseconds::rep>(duration.count(), 1, INT_MAX - margin);
    return static_cast<DWORD>(count) + margin;
}

/// The scheme of a redirect's target, "" for a relative one, which keeps the current scheme.
std::string targetScheme(const std::wstring &target)
{
    std::string ascii;
    for (const wchar_t c : target)
        ascii += c < 0x80 ? static_cast<char>(c) : '?';
    return std::string(schemeOf(ascii));
}

/// Loopback addresses never go through a proxy: a proxy's loopback is another machine's.
bool isLoopbackHost(const std::wstring &host)
{
    std::string ascii;
    for (const wchar_t c : host)
        ascii += c < 0x80 ? asciiLower(static_cast<char>(c)) : '?';
    const bool dottedNumbers = ascii.find_first_not_of("0123456789.") == std::string::npos;
    return ascii == "localhost" || (ascii.starts_with("127.") && dottedNumbers) ||
           ascii == "[::1]" || ascii == "::1";
}

/// What Windows says about an error of WinHTTP's or of the system's.
std::string errorText(DWORD error)
{
    // WinHTTP's own codes are in its module's messages, not in the system's.
    return systemErrorText(error, ::GetModuleHandleW(L"winhttp.dll"));
}

void CALLBACK onStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                       DWORD length) noexcept
{
    auto *const holder = reinterpret_cast<std::shared_ptr<RequestLink> *>(context);
    if (!holder)
        return;
    RequestLink &link = **holder;
    // The last notification for the request: WinHTTP touches neither the link nor its buffer
    // afterwards.
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        delete holder;
        return;
    }
    Notice notice;
    try {
        notice.link = *holder;
        notice.status = status;
        switch (status) {
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: {
            const DWORD available = *static_cast<const DWORD *>(information);
            DWORD error = 0;
            // Only the read's completion goes on to the worker, or the end, or a refusal.
            if (available > 0 && link.read(handle, available, error))
                return;
            notice.status = available > 0 ? WINHTTP_CALLBACK_STATUS_REQUEST_ERROR : status;
            notice.value = error;
            break;
        }
        case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
            notice.value = *static_cast<const DWORD *>(information);
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            notice.value = length;
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            notice.value = static_cast<const WINHTTP_ASYNC_RESULT *>(information)->dwError;
            break;
        case WINHTTP_CALLBACK_STATUS_REDIRECT:
            if (information)
                notice.target = static_cast<const wchar_t *>(information);
            break;
        case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            break;
        default:
            return;
        }
    } catch (...) {
        return;
    }
    link.inbox().post(std::move(notice));
}

/// Sets the proxy the user's settings choose for the request's address, looking it up where
/// they ask for automatic detection or a configuration script.
void applyUserProxy(HINTERNET request, const std::wstring &url, HINTERNET lookupSession)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&settings))
        return;
    WINHTTP_PROXY_INFO found{};
    bool looked = false;
    if ((settings.fAutoDetect || settings.lpszAutoConfigUrl) && lookupSession) {
        WINHTTP_AUTOPROXY_OPTIONS options{};
        if (settings.fAutoDetect) {
            options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags =
                WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        if (settings.lpszAutoConfigUrl) {
            options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = settings.lpszAutoConfigUrl;
        }
        options.fAutoLogonIfChallenged = TRUE;
        looked = ::WinHttpGetProxyForUrl(lookupSession, url.c_str(), &options, &found);
    }
    if (looked) {
        ::WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &found, sizeof found);
    } else if (settings.lpszProxy) {
        WINHTTP_PROXY_INFO named{};
        named.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        named.lpszProxy = settings.lpszProxy;
        named.lpszProxyBypass = settings.lpszProxyBypass;
        ::WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &named, sizeof named);
    }
    for (wchar_t *text : {found.lpszProxy, found.lpszProxyBypass, settings.lpszAutoConfigUrl,
                          settings.lpszProxy, settings.lpszProxyBypass}) {
        if (text)
            ::GlobalFree(text);
    }
}

} // namespace

Inbox::Inbox() : m_event(::CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    if (!m_event) {
        throw RuntimeError(ErrorKind::Unavailable,
                           "the download thread could not start: " + errorText(::GetLastError()));
    }
}

Inbox::~Inbox()
{
    ::CloseHandle(m_event);
}

void Inbox::post(Notice notice) noexcept
{
    try {
        const std::lock_guard lock(m_mutex);
        if (m_closed)
            return;
        m_notices.push_back(std::move(notice));
    } catch (...) {
        return;
    }
    ::SetEvent(m_event);
}

void Inbox::wake() noexcept
{
    ::SetEvent(m_event);
}

void Inbox::wait(DWORD timeoutMs) noexcept
{
    ::WaitForSingleObject(m_event, timeoutMs);
}

std::vector<Notice> Inbox::take() noexcept
{
    std::vector<Notice> taken;
    const std::lock_guard lock(m_mutex);
    taken.swap(m_notices);
    return taken;
}

void Inbox::close() noexcept
{
    // Dropped outside the lock: a notice may hold the last reference to its link.
    std::vector<Notice> dropped;
    {
        const std::lock_guard lock(m_mutex);
        m_closed = true;
        dropped.swap(m_notices);
    }
}

RequestLink::RequestLink(std::shared_ptr<Inbox> inbox)
    : m_inbox(std::move(inbox)), m_buffer(std::make_unique<char[]>(kReadBufferSize))
{}

bool RequestLink::read(HINTERNET request, DWORD available, DWORD &error) noexcept
{
    const std::lock_guard lock(m_mutex);
    if (m_closed)
        return true;
    if (::WinHttpReadData(request, m_buffer.get(),
                          std::min(available, static_cast<DWORD>(kReadBufferSize)), nullptr))
        return true;
    error = ::GetLastError();
    return false;
}

void RequestLink::close() noexcept
{
    const std::lock_guard lock(m_mutex);
    m_closed = true;
}

Transfer::Transfer(TransferRequest request, std::shared_ptr<std::atomic<bool>> cancelled) noexcept
    : m_core(std::move(request.setup), std::move(cancelled)), m_address(std::move(request.address))
{}

Transfer::~Transfer()
{
    closeRequest();
}

void Transfer::begin(HINTERNET session, const ProxyMode &proxy, const std::shared_ptr<Inbox> &inbox,
                     Clock::time_point now) noexcept
{
    m_startedAt = m_lastActiveAt = now;
    try {
        if (const DWORD error = openRequest(session, proxy, inbox); error != 0)
            fail(error);
    } catch (...) {
        fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

DWORD Transfer::openRequest(HINTERNET session, const ProxyMode &proxy,
                            const std::shared_ptr<Inbox> &inbox)
{
    m_link = std::make_shared<RequestLink>(inbox);

    m_connection = ::WinHttpConnect(session, m_address.host.c_str(), m_address.port, 0);
    if (!m_connection)
        return ::GetLastError();
    // The object is percent-encoded already and must reach the server as it is.
    const DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | (m_address.secure ? WINHTTP_FLAG_SECURE : 0);
    m_request = ::WinHttpOpenRequest(m_connection, L"GET", m_address.object.c_str(), nullptr,
                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!m_request)
        return ::GetLastError();

    auto holder = std::make_unique<std::shared_ptr<RequestLink>>(m_link);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(holder.get());
    if (!::WinHttpSetOption(m_request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context))
        return ::GetLastError();
    if (::WinHttpSetStatusCallback(m_request, &onStatus, kNotifications, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK)
        return ::GetLastError();
    // From here on the holder is WinHTTP's, freed at the request's HANDLE_CLOSING.
    static_cast<void>(holder.release());

    // Once secure, the download stays so: under its default policy WinHTTP does not follow a
    // redirect from https to http but hands it over as the answer, or fails it (Wine), unsent
    // either way, and the worker refuses it with its own reason. From http, a redirect may go
    // either way.
    DWORD policy = m_address.secure ? WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP
                                    : WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS;
    if (!::WinHttpSetOption(m_request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy))
        return ::GetLastError();
    // One more than the limit, so that the worker sees the redirect that passes it and tells it
    // as a loop, instead of WinHTTP handing over the last redirect as the answer.
    const TransferLimits &limits = m_core.limits();
    DWORD redirects = static_cast<DWORD>(std::max(0, limits.maxRedirects)) + 1;
    ::WinHttpSetOption(m_request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects,
                       sizeof redirects);
    DWORD disabled = WINHTTP_DISABLE_COOKIES;
    ::WinHttpSetOption(m_request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
    const DWORD connectMs = milliseconds(limits.connectTimeout);
    const DWORD stallMs = milliseconds(limits.stallTimeout);
    if (!::WinHttpSetTimeouts(
            m_request, static_cast<int>(connectMs), static_cast<int>(connectMs),
            static_cast<int>(stallMs),
            static_cast<int>(milliseconds(limits.stallTimeout, kReceiveTimeoutMarginMs))))
        return ::GetLastError();

    logRequest(proxy);
    if (isLoopbackHost(m_address.host)) {
        WINHTTP_PROXY_INFO direct{};
        direct.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
        ::WinHttpSetOption(m_request, WINHTTP_OPTION_PROXY, &direct, sizeof direct);
    } else if (!proxy.automatic) {
        applyUserProxy(m_request, m_address.url, proxy.lookupSession);
    }

    // Without it a server may compress the body, which would reach the file as it came.
    std::wstring headers = L"Accept-Encoding: identity\r\n";
    if (m_core.noCache())
        headers += L"Cache-Control: no-cache\r\nPragma: no-cache\r\n";
    // A continuing request asks for the rest, guarded by what named the file the first time.
    for (const std::string &line : m_core.requestHeaders()) {
        for (const char c : line)
            headers += static_cast<wchar_t>(static_cast<unsigned char>(c));
        headers += L"\r\n";
    }
    if (!::WinHttpAddRequestHeaders(m_request, headers.c_str(), static_cast<DWORD>(-1),
                                    WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
        return ::GetLastError();
    if (!::WinHttpSendRequest(m_request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                              0, 0, context))
        return ::GetLastError();
    return 0;
}

// For the support log: which proxy the request goes through is WinHTTP's to find.
void Transfer::logRequest(const ProxyMode &proxy) const noexcept
{
    try {
        std::string url;
        for (const wchar_t c : m_address.url)
            url += c < 0x80 ? static_cast<char>(c) : '?';
        m_core.logRequest(url, isLoopbackHost(m_address.host) ? "none (a loopback address)"
                               : proxy.automatic              ? "as the system's settings say"
                                                              : "as the user's settings say");
    } catch (...) {
    }
}

void Transfer::closeRequest() noexcept
{
    // Never waits: WinHTTP ends a pending operation in its own time, on a link of its own.
    if (m_link)
        m_link->close();
    if (m_request)
        ::WinHttpCloseHandle(m_request);
    if (m_connection)
        ::WinHttpCloseHandle(m_connection);
    m_request = nullptr;
    m_connection = nullptr;
}

void Transfer::take(const Notice &notice, Clock::time_point now) noexcept
{
    if (m_ended)
        return;
    switch (notice.status) {
    case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
        m_phase = Phase::Exchanging;
        m_lastActiveAt = now;
        break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        m_phase = Phase::Exchanging;
        m_requestSent = true;
        m_lastActiveAt = now;
        if (!::WinHttpReceiveResponse(m_request, nullptr))
            fail(::GetLastError());
        break;
    case WINHTTP_CALLBACK_STATUS_REDIRECT:
        m_lastActiveAt = now;
        followRedirect(notice.target);
        break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        m_lastActiveAt = now;
        readHead();
        // Judged before a byte of the body is read, so that a refused body never reaches the
        // file (the redirect the policy kept WinHTTP from following, handed over, included);
        // any other answer's body is not read at all.
        if (m_ended || !m_core.acceptHead(kChunkedEndIsTold) || !m_core.bodyAccepted())
            end();
        else
            askForData();
        break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        endOfBody();
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        if (notice.value == 0) {
            endOfBody();
        } else {
            m_lastActiveAt = now;
            takeBody(notice.value);
            if (!m_ended)
                askForData();
        }
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        if (notice.value == ERROR_WINHTTP_REDIRECT_FAILED && m_address.secure &&
            refusedAsInsecure())
            m_core.fail(TransferError::InsecureRedirect);
        fail(notice.value);
        break;
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
        m_secureFailure |= notice.value;
        break;
    default:
        break;
    }
}

void Transfer::check(Clock::time_point now) noexcept
{
    if (m_ended)
        return;
    const TransferLimits &limits = m_core.limits();
    if (!m_core.checkTime(now)) {
        end();
    } else if (m_phase == Phase::Connecting && now - m_startedAt >= limits.connectTimeout) {
        refuse(TransferError::ConnectTimedOut);
    } else if (m_phase == Phase::Exchanging && now - m_lastActiveAt >= limits.stallTimeout) {
        refuse(TransferError::Stalled);
    }
}

Transfer::Clock::time_point Transfer::nextCheck() const noexcept
{
    const Clock::time_point shared = m_core.nextCheck();
    switch (m_phase) {
    case Phase::Connecting:
        return std::min(shared, m_startedAt + m_core.limits().connectTimeout);
    case Phase::Exchanging:
        return std::min(shared, m_lastActiveAt + m_core.limits().stallTimeout);
    case Phase::Ended:
        break;
    }
    return Clock::time_point::max();
}

void Transfer::followRedirect(const std::wstring &target) noexcept
{
    ++m_redirects;
    try {
        const std::string scheme = targetScheme(target);
        const bool http = equalsIgnoringCase(scheme, "http");
        if (!scheme.empty() && !http && !equalsIgnoringCase(scheme, "https")) {
            refuse(TransferError::RedirectNotWeb);
            return;
        }
        // The redirect policy keeps WinHTTP from going there; should one follow all the same,
        // nothing of its answer is taken.
        if (http && m_address.secure) {
            refuse(TransferError::InsecureRedirect);
            return;
        }
    } catch (...) {
        fail(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    if (m_redirects > std::max(0, m_core.limits().maxRedirects))
        refuse(TransferError::RedirectLoop);
}

// Instead of handing a redirect from https to http over as the answer, WinHTTP may fail it,
// unsent (Wine's does), and then no longer lets its headers be read. Besides that it fails a
// redirect only past its limit, which the worker's own count reaches first, or to a scheme it
// cannot follow, which Wine shows the worker in a REDIRECT notice before: what is left is http.
bool Transfer::refusedAsInsecure() const noexcept
{
    DWORD size = 0;
    ::WinHttpQueryHeaders(m_request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                          WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    if (size == 0)
        return m_redirects <= std::max(0, m_core.limits().maxRedirects);
    try {
        std::wstring location(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(location.size() * sizeof(wchar_t));
        if (!::WinHttpQueryHeaders(m_request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                                   location.data(), &size, WINHTTP_NO_HEADER_INDEX))
            return false;
        location.resize(size / sizeof(wchar_t));
        return equalsIgnoringCase(targetScheme(location), "http");
    } catch (...) {
        return false;
    }
}

void Transfer::readHead() noexcept
{
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(m_request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        fail(::GetLastError());
        return;
    }
    m_core.beginAnswer(static_cast<int>(status));
    // WinHTTP decodes chunks itself and says nothing of them: the raw headers tell what the
    // server announced, and a length WinHTTP would accept even when invalid or repeated.
    std::string raw;
    try {
        size = 0;
        ::WinHttpQueryHeaders(m_request, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                              WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                              WINHTTP_NO_HEADER_INDEX);
        std::wstring wide(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
        if (!::WinHttpQueryHeaders(m_request, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                                   WINHTTP_HEADER_NAME_BY_INDEX, wide.data(), &size,
                                   WINHTTP_NO_HEADER_INDEX)) {
            fail(::GetLastError());
            return;
        }
        wide.resize(size / sizeof(wchar_t));
        raw.reserve(wide.size());
        for (const wchar_t c : wide)
            raw += c < 0x80 ? static_cast<char>(c) : '?';
    } catch (...) {
        fail(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    std::string_view rest = raw;
    bool statusLine = true;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = trimmed(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        // The status line's version is the server's text: WinHTTP is never asked for HTTP/2
        // (WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL), so every answer is HTTP/1.x.
        if (statusLine) {
            statusLine = false;
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos)
            m_core.head().readHeader(trimmed(line.substr(0, colon)),
                                     trimmed(line.substr(colon + 1)));
    }
}

// Asked first, then read: a read waits for what is available only, so each piece reaches the
// file, the progress count and the stall check as it arrives.
void Transfer::askForData() noexcept
{
    if (!::WinHttpQueryDataAvailable(m_request, nullptr))
        fail(::GetLastError());
}

void Transfer::takeBody(DWORD size) noexcept
{
    if (!m_core.takeBody(m_link->data(), size))
        end();
}

void Transfer::endOfBody() noexcept
{
    // WinHTTP ends a body whose connection closed early as if it were complete.
    if (m_core.bodyShort())
        m_core.fail(TransferError::Cut);
    end();
}

void Transfer::end() noexcept
{
    m_ended = true;
    m_phase = Phase::Ended;
}

void Transfer::refuse(TransferError kind) noexcept
{
    m_core.fail(kind);
    end();
}

void Transfer::fail(DWORD error) noexcept
{
    if (m_error == 0) {
        m_error = error != 0 ? error : ERROR_WINHTTP_INTERNAL_ERROR;
        m_core.fail(kindOf(m_error));
    }
    end();
}

AsyncProperty Transfer::conclude()
{
    closeRequest();
    std::string text;
    if (m_core.error() == TransferError::Other)
        text = errorText(m_error);
    return m_core.conclude(text);
}

TransferError Transfer::kindOf(DWORD error) const noexcept
{
    switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return TransferError::NameNotFound;
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case WSAECONNREFUSED:
        return TransferError::ConnectFailed;
    case ERROR_WINHTTP_TIMEOUT:
    case WSAETIMEDOUT:
        // WinHTTP reports an expired connect limit and a stall alike.
        return m_requestSent ? TransferError::Stalled : TransferError::ConnectTimedOut;
    case ERROR_WINHTTP_REDIRECT_FAILED:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
    case ERROR_WINHTTP_INVALID_URL:
        // start() lets only http and https through, so this is about a redirect.
        return m_redirects >= std::max(0, m_core.limits().maxRedirects)
                   ? TransferError::RedirectLoop
                   : TransferError::RedirectNotWeb;
    case ERROR_WINHTTP_SECURE_FAILURE:
        return (m_secureFailure & kCertificateFailures) != 0 ? TransferError::Certificate
                                                             : TransferError::Tls;
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        return TransferError::Certificate;
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
        return TransferError::Tls;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        return m_core.bodyStarted() ? TransferError::Cut : TransferError::BadAnswer;
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case WSAECONNRESET:
    case WSAECONNABORTED:
        if (m_requestSent && m_core.head().status == 0)
            return TransferError::NoAnswer;
        return TransferError::Reset;
    default:
        break;
    }
    return TransferError::Other;
}

} // namespace runtime::win32
