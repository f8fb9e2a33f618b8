#include "ScriptedServer.h"

#include "Sockets.h"

#include <chrono>
#include <stdexcept>
#include <string_view>

using namespace sockets;

namespace {

// A client that never finishes its request cannot hold the server beyond this.
constexpr std::chrono::milliseconds kPatience{5000};

/// The path of a request line ("GET /path HTTP/1.1"), "" when there is none.
std::string pathOf(std::string_view head)
{
    const std::size_t first = head.find(' ');
    if (first == std::string_view::npos)
        return {};
    const std::size_t second = head.find(' ', first + 1);
    return std::string(head.substr(
        first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1));
}

} // namespace

ScriptedServer::ScriptedServer()
{
    startNetwork();
    const Socket listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == kNoSocket)
        throw std::runtime_error("cannot make a socket");
    sockaddr_in address = loopback(0);
    Length size = sizeof address;
    if (::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        closeSocket(listener);
        throw std::runtime_error("cannot listen on a loopback port");
    }
    m_listener = static_cast<std::uintptr_t>(listener);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer()
{
    // accept() is woken by a connection of our own, which works alike everywhere, unlike
    // closing or shutting down a socket another thread waits on.
    m_stopping = true;
    const Socket waker = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const sockaddr_in address = loopback(m_port);
    if (waker != kNoSocket) {
        ::connect(waker, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        closeSocket(waker);
    }
    m_thread.join();
    closeSocket(socketOf(m_listener));
}

void ScriptedServer::script(const std::string &path, std::string bytes)
{
    const std::lock_guard lock(m_mutex);
    m_scripts[path] = std::move(bytes);
}

std::string ScriptedServer::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void ScriptedServer::serve() noexcept
{
    for (;;) {
        const Socket connection = ::accept(socketOf(m_listener), nullptr, nullptr);
        if (m_stopping) {
            if (connection != kNoSocket)
                closeSocket(connection);
            return;
        }
        if (connection == kNoSocket)
            continue;
        try {
            answer(static_cast<std::uintptr_t>(connection));
        } catch (...) {
            // Out of memory in a test server: the client sees the connection close.
        }
        closeSocket(connection);
    }
}

void ScriptedServer::answer(std::uintptr_t value)
{
    const Socket connection = socketOf(value);
    setReceiveTimeout(connection, kPatience);
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const int got = static_cast<int>(::recv(connection, buffer, sizeof buffer, 0));
        if (got <= 0)
            return;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string path = pathOf(head.substr(0, head.find("\r\n")));
    std::string reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    {
        const std::lock_guard lock(m_mutex);
        if (const auto found = m_scripts.find(path); found != m_scripts.end())
            reply = found->second;
    }
    for (std::size_t sent = 0; sent < reply.size();) {
        const int wrote = static_cast<int>(::send(
            connection, reply.data() + sent, static_cast<int>(reply.size() - sent), kSendFlags));
        if (wrote <= 0)
            return;
        sent += static_cast<std::size_t>(wrote);
    }
    // An orderly end that the client reads after the last byte; the request was read whole, so
    // closing leaves nothing unread that would turn the close into a reset.
    ::shutdown(connection, kShutWrite);
}
