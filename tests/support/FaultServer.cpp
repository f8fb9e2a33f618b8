#include "FaultServer.h"

#include "Sockets.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string_view>

using namespace sockets;

namespace {

// A client that never finishes its request, or never takes what a reset should follow, cannot
// hold a connection's thread beyond this.
constexpr std::chrono::milliseconds kPatience{5000};
// How soon a thread waiting on a socket notices that the server stops.
constexpr std::chrono::milliseconds kTick{50};
// A stalled answer that nobody releases still ends, so that no test waits on it for ever.
constexpr std::chrono::seconds kStallLimit{120};
constexpr std::size_t kMaxHead = 64 * 1024;

struct Reply
{
    std::string head;
    std::shared_ptr<const std::string> source; // the body is [from, from + size) of it
    std::size_t from = 0;
    std::size_t size = 0;
};

/// The first byte a Range field asks for, and its last if it names one.
struct Asked
{
    std::uint64_t first = 0;
    std::optional<std::uint64_t> last;
};

bool sameName(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        return lower(x) == lower(y);
    });
}

std::string_view trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

FaultServer::Request requestOf(std::string_view head)
{
    FaultServer::Request request;
    const std::size_t lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    const std::size_t space = line.find(' ');
    request.method = line.substr(0, space);
    if (space != std::string_view::npos) {
        const std::string_view target = line.substr(space + 1);
        request.path = target.substr(0, target.find(' '));
    }
    for (std::size_t at = lineEnd + 2; at < head.size();) {
        const std::size_t end = head.find("\r\n", at);
        if (end == std::string_view::npos)
            break;
        const std::string_view field = head.substr(at, end - at);
        at = end + 2;
        const std::size_t colon = field.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = field.substr(0, colon);
        const std::string value(trimmed(field.substr(colon + 1)));
        if (sameName(name, "Range"))
            request.range = value;
        else if (sameName(name, "If-Range"))
            request.ifRange = value;
        else if (sameName(name, "Cache-Control"))
            request.cacheControl = value;
    }
    return request;
}

std::optional<std::uint64_t> numberOf(std::string_view text)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

/// "bytes=N-" or "bytes=N-M"; nothing for any other form, which the server then ignores.
std::optional<Asked> askedOf(std::string_view value)
{
    constexpr std::string_view unit = "bytes=";
    if (!sameName(value.substr(0, unit.size()), unit))
        return std::nullopt;
    value.remove_prefix(unit.size());
    const std::size_t dash = value.find('-');
    if (dash == std::string_view::npos)
        return std::nullopt;
    const auto first = numberOf(value.substr(0, dash));
    if (!first)
        return std::nullopt;
    const std::string_view lastText = value.substr(dash + 1);
    if (lastText.empty())
        return Asked{*first, std::nullopt};
    const auto last = numberOf(lastText);
    if (!last || *last < *first)
        return std::nullopt;
    return Asked{*first, last};
}

const char *reasonOf(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 404:
        return "Not Found";
    case 408:
        return "Request Timeout";
    case 416:
        return "Range Not Satisfiable";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Unexpected";
    }
}

std::shared_ptr<const std::string> textOf(int status)
{
    return std::make_shared<const std::string>(std::to_string(status) + " " + reasonOf(status) +
                                               "\n");
}

std::string headOf(int status, const std::string &fields, std::size_t length)
{
    return "HTTP/1.1 " + std::to_string(status) + " " + reasonOf(status) +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n" + fields +
           "Connection: close\r\n\r\n";
}

/// What answer says to request for a file of content with these validators.
Reply replyTo(const FaultServer::Answer &answer, const FaultServer::Request &request,
              const std::shared_ptr<const std::string> &content, const std::string &etag,
              const std::string &lastModified)
{
    std::string fields;
    if (!answer.retryAfter.empty())
        fields += "Retry-After: " + answer.retryAfter + "\r\n";
    Reply reply;
    int status = answer.status;
    if (status != 200) {
        reply.source = textOf(status);
        reply.size = reply.source->size();
        reply.head = headOf(status, "Content-Type: text/plain\r\n" + fields, reply.size);
        return reply;
    }

    using Range = FaultServer::Range;
    const std::size_t length = content->size();
    const std::optional<Asked> asked = askedOf(request.range);
    const bool current =
        request.ifRange.empty() || request.ifRange == etag || request.ifRange == lastModified;
    std::optional<std::uint64_t> first;
    std::uint64_t last = length == 0 ? 0 : length - 1;
    if (answer.range == Range::Honour && asked && current) {
        first = asked->first;
        last = std::min(last, asked->last.value_or(last));
    } else if (answer.range == Range::WrongStart && asked) {
        first = asked->first + 1;
        last = std::min(last, asked->last.value_or(last));
    } else if (answer.range == Range::PartialUnasked) {
        first = 0;
    }

    if (first && (*first >= length || *first > last)) {
        reply.source = textOf(416);
        reply.size = reply.source->size();
        fields += "Content-Range: bytes */" + std::to_string(length) + "\r\n";
        reply.head = headOf(416, "Content-Type: text/plain\r\n" + fields, reply.size);
        return reply;
    }
    reply.source = content;
    reply.size = length;
    if (first) {
        status = 206;
        reply.from = static_cast<std::size_t>(*first);
        reply.size = static_cast<std::size_t>(last - *first + 1);
        fields += "Content-Range: bytes " + std::to_string(*first) + "-" + std::to_string(last) +
                  "/" + std::to_string(length) + "\r\n";
    }
    if (answer.range != Range::Ignore)
        fields += "Accept-Ranges: bytes\r\n";
    if (answer.sendValidators)
        fields += "ETag: " + etag + "\r\nLast-Modified: " + lastModified + "\r\n";
    reply.head = headOf(status, "Content-Type: application/octet-stream\r\n" + fields, reply.size);
    return reply;
}

/// The request's head, up to its blank line; "" when the client or the server gives up first.
std::string readHead(Socket socket, const std::atomic<bool> &stopping)
{
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (stopping || head.size() > kMaxHead || std::chrono::steady_clock::now() > deadline)
            return {};
        if (!waitReady(socket, Ready::ToRead, kTick))
            continue;
        const auto got = static_cast<long long>(::recv(socket, buffer, sizeof buffer, 0));
        if (got == 0 || (got < 0 && !wouldBlock()))
            return {};
        if (got > 0)
            head.append(buffer, static_cast<std::size_t>(got));
    }
    return head;
}

/// Whether all of data went before the client hung up or the server stopped.
bool sendAll(Socket socket, const char *data, std::size_t size, const std::atomic<bool> &stopping)
{
    for (std::size_t sent = 0; sent < size;) {
        if (stopping)
            return false;
        if (!waitReady(socket, Ready::ToWrite, kTick))
            continue;
        const std::size_t chunk = std::min<std::size_t>(size - sent, 64 * 1024);
        const auto wrote = static_cast<long long>(
            ::send(socket, data + sent, static_cast<int>(chunk), kSendFlags));
        if (wrote < 0 && !wouldBlock())
            return false;
        if (wrote > 0)
            sent += static_cast<std::size_t>(wrote);
    }
    return true;
}

/// A strong tag that differs for every version of every file.
std::string etagOf(std::uint64_t generation, const std::string &content)
{
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (const char c : content)
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    std::string hex;
    for (int shift = 60; shift >= 0; shift -= 4)
        hex += "0123456789abcdef"[(hash >> shift) & 0xF];
    return "\"v" + std::to_string(generation) + "-" + hex + "\"";
}

/// An HTTP date that differs for every version served (within a day's worth of them).
std::string dateOf(std::uint64_t generation)
{
    const auto second = static_cast<int>(generation % 86400);
    char text[40];
    std::snprintf(text, sizeof text, "Mon, 01 Jan 2024 %02d:%02d:%02d GMT", second / 3600,
                  second / 60 % 60, second % 60);
    return text;
}

} // namespace

FaultServer::FaultServer()
{
    startNetwork();
    open(0);
}

FaultServer::FaultServer(DeferListening)
{
    startNetwork();
    const Socket probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe == kNoSocket)
        throw std::runtime_error("cannot make a socket");
    sockaddr_in address = loopback(0);
    Length size = sizeof address;
    const bool bound =
        ::bind(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size) == 0;
    closeSocket(probe);
    if (!bound)
        throw std::runtime_error("cannot find a free loopback port");
    m_port = ntohs(address.sin_port);
}

FaultServer::~FaultServer()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        for (Connection &connection : m_connections) {
            if (connection.open)
                ::shutdown(socketOf(connection.socket), kShutBoth);
        }
    }
    m_changed.notify_all();
    if (m_acceptor.joinable())
        m_acceptor.join();
    // The acceptor adds no connection once it has seen the server stop.
    for (Connection &connection : m_connections) {
        if (connection.thread.joinable())
            connection.thread.join();
    }
    if (m_listening)
        closeSocket(socketOf(m_listener));
}

void FaultServer::serve(const std::string &path, std::string content, std::vector<Answer> answers)
{
    const std::lock_guard lock(m_mutex);
    File &file = m_files[path];
    renew(file, std::move(content));
    file.answers = answers.empty() ? std::vector<Answer>{Answer{}} : std::move(answers);
    file.next = 0;
}

void FaultServer::setContent(const std::string &path, std::string content)
{
    const std::lock_guard lock(m_mutex);
    renew(m_files[path], std::move(content));
}

std::string FaultServer::etag(const std::string &path) const
{
    const std::lock_guard lock(m_mutex);
    const auto found = m_files.find(path);
    return found == m_files.end() ? std::string() : found->second.etag;
}

std::string FaultServer::lastModified(const std::string &path) const
{
    const std::lock_guard lock(m_mutex);
    const auto found = m_files.find(path);
    return found == m_files.end() ? std::string() : found->second.lastModified;
}

void FaultServer::listen()
{
    if (!m_listening)
        open(m_port);
}

void FaultServer::releaseStalls()
{
    {
        const std::lock_guard lock(m_mutex);
        ++m_releases;
    }
    m_changed.notify_all();
}

std::vector<FaultServer::Request> FaultServer::requests() const
{
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

bool FaultServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

std::string FaultServer::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void FaultServer::open(int port)
{
    const Socket listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == kNoSocket)
        throw std::runtime_error("cannot make a socket");
    allowRebind(listener);
    sockaddr_in address = loopback(port);
    Length size = sizeof address;
    if (::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener, 64) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0 ||
        !setNonBlocking(listener)) {
        closeSocket(listener);
        throw std::runtime_error("cannot listen on loopback port " + std::to_string(port));
    }
    m_listener = static_cast<std::uintptr_t>(listener);
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
    m_listening = true;
}

void FaultServer::acceptLoop() noexcept
{
    const Socket listener = socketOf(m_listener);
    while (!m_stopping) {
        reapFinished();
        if (!waitReady(listener, Ready::ToRead, kTick))
            continue;
        const Socket socket = ::accept(listener, nullptr, nullptr);
        if (socket == kNoSocket)
            continue;
        // Trickled bytes go out as they are written, not when an acknowledgement comes.
        setOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
        const std::lock_guard lock(m_mutex);
        if (m_stopping || !setNonBlocking(socket)) {
            closeSocket(socket);
            continue;
        }
        try {
            Connection &connection = m_connections.emplace_back();
            connection.socket = static_cast<std::uintptr_t>(socket);
            connection.thread = std::thread([this, &connection] { handle(connection); });
        } catch (...) {
            // No memory or no thread: the client sees the connection close.
            m_connections.pop_back();
            closeSocket(socket);
        }
    }
}

void FaultServer::reapFinished()
{
    std::list<Connection> finished;
    {
        const std::lock_guard lock(m_mutex);
        for (auto at = m_connections.begin(); at != m_connections.end();) {
            const auto next = std::next(at);
            if (at->done)
                finished.splice(finished.end(), m_connections, at);
            at = next;
        }
    }
    for (Connection &connection : finished)
        connection.thread.join();
}

void FaultServer::handle(Connection &connection) noexcept
{
    bool reset = false;
    try {
        reset = answer(connection.socket);
    } catch (...) {
        // Out of memory in a test server: the client sees the connection close.
    }
    close(connection, reset);
    connection.done = true;
}

bool FaultServer::answer(std::uintptr_t value)
{
    const Socket socket = socketOf(value);
    const std::string head = readHead(socket, m_stopping);
    if (head.empty())
        return false;
    const Request request = requestOf(head);
    Reply reply;
    Answer answer;
    std::uint64_t releasesBefore = 0;
    {
        const std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
        // Taken before a byte goes, so that a release by a test that saw bytes arrive counts.
        releasesBefore = m_releases;
        const auto found = m_files.find(request.path.substr(0, request.path.find('?')));
        if (found == m_files.end()) {
            answer.status = 404;
            reply = replyTo(answer, request, nullptr, {}, {});
        } else {
            File &file = found->second;
            answer = file.answers[std::min(file.next, file.answers.size() - 1)];
            ++file.next;
            reply = replyTo(answer, request, file.content, file.etag, file.lastModified);
        }
    }
    m_changed.notify_all();

    if (!sendAll(socket, reply.head.data(), reply.head.size(), m_stopping) ||
        request.method == "HEAD")
        return false;
    const char *body = reply.source->data() + reply.from;
    const std::size_t before =
        static_cast<std::size_t>(std::clamp<std::int64_t>(answer.bytes, 0, reply.size));
    switch (answer.body) {
    case Body::Whole:
        sendAll(socket, body, reply.size, m_stopping);
        return false;
    case Body::CutAfter:
        sendAll(socket, body, before, m_stopping);
        return false;
    case Body::ResetAfter:
        if (sendAll(socket, body, before, m_stopping))
            drain(value);
        return true;
    case Body::StallAfter:
        if (!sendAll(socket, body, before, m_stopping))
            return false;
        if (before < reply.size) {
            std::unique_lock lock(m_mutex);
            m_changed.wait_for(lock, kStallLimit,
                               [&] { return m_stopping || m_releases != releasesBefore; });
        }
        sendAll(socket, body + before, reply.size - before, m_stopping);
        return false;
    case Body::Trickle:
        trickle(value, body, reply.size, std::max(1, answer.bytesPerSecond));
        return false;
    }
    return false;
}

bool FaultServer::trickle(std::uintptr_t value, const char *data, std::size_t size,
                          int bytesPerSecond)
{
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t sent = 0; sent < size;) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        // The first byte at once, then the pace.
        const auto due = std::min<std::size_t>(
            size, static_cast<std::size_t>(elapsed * bytesPerSecond / 1000) + 1);
        if (due > sent) {
            if (!sendAll(socketOf(value), data + sent, due - sent, m_stopping))
                return false;
            sent = due;
        }
        if (sent < size && !pause(kTick))
            return false;
    }
    return true;
}

void FaultServer::drain(std::uintptr_t value)
{
    // A reset throws away what the peer has not taken yet; the bytes promised before it should
    // reach the client first. Where the platform cannot tell, the reset follows at once.
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (unsentBytes(socketOf(value)) > 0 && std::chrono::steady_clock::now() < deadline) {
        if (!pause(std::chrono::milliseconds(5)))
            return;
    }
}

bool FaultServer::pause(std::chrono::milliseconds duration) const
{
    std::unique_lock lock(m_mutex);
    return !m_changed.wait_for(lock, duration, [this] { return m_stopping.load(); });
}

void FaultServer::close(Connection &connection, bool reset)
{
    const Socket socket = socketOf(connection.socket);
    if (!reset) {
        // Anything the client sent beyond its head, left unread, would turn the close into a
        // reset.
        ::shutdown(socket, kShutWrite);
        char buffer[1024];
        while (::recv(socket, buffer, sizeof buffer, 0) > 0) {
        }
    }
    // Under the lock, so that the destructor never shuts down a socket number already reused.
    const std::lock_guard lock(m_mutex);
    if (reset)
        closeWithReset(socket);
    else
        closeSocket(socket);
    connection.open = false;
}

void FaultServer::renew(File &file, std::string content)
{
    ++m_generation;
    file.content = std::make_shared<const std::string>(std::move(content));
    file.etag = etagOf(m_generation, *file.content);
    file.lastModified = dateOf(m_generation);
}
