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
// signed release's size and hash judge the file afterwards: a cut one then matches neither.
// This is the one place that decides it.
bool chunkedBodyTaken(const TransferLimits &limits) noexcept
{
    return limits.signedBytes >= 0;
}

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

// Header text is ASCII by protocol; the C library's functions would follow the locale instead.

char asciiLower(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

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

std::string writeFailure(DWORD error)
{
    return "the download could not be written: " + errorText(error);
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
    : m_name(std::move(request.name)), m_address(std::move(request.address)),
      m_noCache(request.noCache), m_limits(request.limits), m_file(std::move(request.file)),
      m_cancelled(std::move(cancelled))
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
    DWORD redirects = static_cast<DWORD>(std::max(0, m_limits.maxRedirects)) + 1;
    ::WinHttpSetOption(m_request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects,
                       sizeof redirects);
    DWORD disabled = WINHTTP_DISABLE_COOKIES;
    ::WinHttpSetOption(m_request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
    const DWORD connectMs = milliseconds(m_limits.connectTimeout);
    const DWORD stallMs = milliseconds(m_limits.stallTimeout);
    if (!::WinHttpSetTimeouts(
            m_request, static_cast<int>(connectMs), static_cast<int>(connectMs),
            static_cast<int>(stallMs),
            static_cast<int>(milliseconds(m_limits.stallTimeout, kReceiveTimeoutMarginMs))))
        return ::GetLastError();

    if (isLoopbackHost(m_address.host)) {
        WINHTTP_PROXY_INFO direct{};
        direct.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
        ::WinHttpSetOption(m_request, WINHTTP_OPTION_PROXY, &direct, sizeof direct);
    } else if (!proxy.automatic) {
        applyUserProxy(m_request, m_address.url, proxy.lookupSession);
    }

    // Without it a server may compress the body, which would reach the file as it came.
    std::wstring headers = L"Accept-Encoding: identity\r\n";
    if (m_noCache)
        headers += L"Cache-Control: no-cache\r\nPragma: no-cache\r\n";
    if (!::WinHttpAddRequestHeaders(m_request, headers.c_str(), static_cast<DWORD>(-1),
                                    WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
        return ::GetLastError();
    if (!::WinHttpSendRequest(m_request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                              0, 0, context))
        return ::GetLastError();
    return 0;
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
        // The redirect the policy kept WinHTTP from following, handed over.
        if (!m_ended && m_address.secure && m_head.redirectsToPlainHttp())
            m_refusal = Refusal::InsecureRedirect;
        // Judged before a byte of the body is read, so that a refused body never reaches the
        // file; any other answer's body is not read at all.
        if (m_ended || m_head.status != 200 || !acceptHead())
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
            m_refusal = Refusal::InsecureRedirect;
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
    if (cancelRequested()) {
        end();
    } else if (m_phase == Phase::Connecting && now - m_startedAt >= m_limits.connectTimeout) {
        m_connectTimedOut = true;
        end();
    } else if (m_phase == Phase::Exchanging && now - m_lastActiveAt >= m_limits.stallTimeout) {
        m_stalled = true;
        end();
    }
}

Transfer::Clock::time_point Transfer::nextCheck() const noexcept
{
    switch (m_phase) {
    case Phase::Connecting:
        return m_startedAt + m_limits.connectTimeout;
    case Phase::Exchanging:
        return m_lastActiveAt + m_limits.stallTimeout;
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
            m_refusal = Refusal::RedirectNotWeb;
            end();
            return;
        }
        // The redirect policy keeps WinHTTP from going there; should one follow all the same,
        // nothing of its answer is taken.
        if (http && m_address.secure) {
            m_refusal = Refusal::InsecureRedirect;
            end();
            return;
        }
    } catch (...) {
        fail(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    if (m_redirects > std::max(0, m_limits.maxRedirects)) {
        m_refusal = Refusal::RedirectLoop;
        end();
    }
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
        return m_redirects <= std::max(0, m_limits.maxRedirects);
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
    m_head = ResponseHead{};
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(m_request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        fail(::GetLastError());
        return;
    }
    m_head.status = static_cast<int>(status);
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
            m_head.readHeader(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    }
}

bool Transfer::acceptHead() noexcept
{
    const BodyEnd end = m_head.bodyEnd();
    if (!m_head.unrequestedCoding().empty())
        m_refusal = Refusal::Encoded;
    else if (end == BodyEnd::LengthAndChunks)
        m_refusal = Refusal::LengthAndChunks;
    else if (end == BodyEnd::Length && m_head.length > bodyCap())
        m_refusal = overCap(true);
    // Ended only by the connection closing, such a body cannot be told from one that was cut;
    // refused at once, an endless one costs nothing either. Here a chunked one is no better.
    else if (end == BodyEnd::Closing || (end == BodyEnd::Chunks && !chunkedBodyTaken(m_limits)))
        m_refusal = Refusal::Unframed;
    return m_refusal == Refusal::None;
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
    if (m_received + static_cast<std::int64_t>(size) > bodyCap()) {
        m_refusal = overCap(false);
        end();
        return;
    }
    if (!m_bodyStarted) {
        m_bodyStarted = true;
        m_expected = m_head.lengthTells() ? m_head.length : 0;
        m_writeError = m_file.prepare(m_expected);
        if (m_writeError != 0) {
            end();
            return;
        }
    }
    m_writeError = m_file.append(m_link->data(), size);
    if (m_writeError != 0) {
        end();
        return;
    }
    m_received += static_cast<std::int64_t>(size);
}

void Transfer::endOfBody() noexcept
{
    // WinHTTP ends a body whose connection closed early as if it were complete.
    if (m_head.lengthTells() && m_received < m_head.length)
        m_lost = true;
    end();
}

void Transfer::end() noexcept
{
    m_ended = true;
    m_phase = Phase::Ended;
}

void Transfer::fail(DWORD error) noexcept
{
    if (m_error == 0)
        m_error = error != 0 ? error : ERROR_WINHTTP_INTERNAL_ERROR;
    end();
}

std::string Transfer::conclude()
{
    closeRequest();
    // A refused body was never taken, so its announced length is no count the user should see.
    if (m_head.status == 200 && m_expected == 0 && m_refusal == Refusal::None &&
        m_head.lengthTells())
        m_expected = m_head.length;

    std::string failure;
    try {
        if (cancelRequested())
            failure = "the download was cancelled";
        else if (m_refusal != Refusal::None)
            failure = refusalText();
        else if (m_writeError != 0)
            failure = writeFailure(m_writeError);
        else if (m_connectTimedOut)
            failure = "could not connect to the server";
        else if (m_stalled)
            failure = "the server stopped sending data";
        else if (m_error != 0)
            failure = reasonFor(m_error);
        else if (m_head.status != 200)
            failure = "the server answered " + std::to_string(m_head.status);
        else if (m_lost)
            failure = lostText();
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
    const DWORD error = m_file.finish();
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
    case Refusal::RedirectLoop:
        return "the server's redirects go round in a loop";
    case Refusal::RedirectNotWeb:
        return "the server redirected to an address that is not http or https";
    }
    return {};
}

std::string Transfer::lostText() const
{
    if (m_expected > 0) {
        return "the connection was lost after " + groupedCount(m_received) + " of " +
               groupedCount(m_expected) + " bytes";
    }
    if (m_bodyStarted)
        return "the connection was lost after " + groupedCount(m_received) + " bytes";
    return "the connection to the server was lost";
}

std::string Transfer::reasonFor(DWORD error) const
{
    switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return "the server's name could not be found";
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case WSAECONNREFUSED:
        return "could not connect to the server";
    case ERROR_WINHTTP_TIMEOUT:
    case WSAETIMEDOUT:
        // WinHTTP reports an expired connect limit and a stall alike.
        return m_requestSent ? "the server stopped sending data"
                             : "could not connect to the server";
    case ERROR_WINHTTP_REDIRECT_FAILED:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
    case ERROR_WINHTTP_INVALID_URL:
        // start() lets only http and https through, so this is about a redirect.
        return m_redirects >= std::max(0, m_limits.maxRedirects)
                   ? "the server's redirects go round in a loop"
                   : "the server redirected to an address that is not http or https";
    case ERROR_WINHTTP_SECURE_FAILURE:
        return (m_secureFailure & kCertificateFailures) != 0
                   ? "the server's certificate could not be verified"
                   : "a secure connection to the server could not be established";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        return "the server's certificate could not be verified";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
        return "a secure connection to the server could not be established";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        if (m_bodyStarted)
            return lostText();
        return "the server's answer could not be understood";
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case WSAECONNRESET:
    case WSAECONNABORTED:
        if (m_requestSent && m_head.status == 0)
            return "the server closed the connection without answering";
        return lostText();
    default:
        break;
    }
    return errorText(error);
}

} // namespace runtime::win32
