#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

/// A loopback TCP server that answers each request with bytes a test wrote out in full and then
/// closes the connection: for answers no HTTP library sends on purpose (a chunked body cut
/// inside a chunk, a length beside chunks, a status line of another protocol). Listens on
/// 127.0.0.1 and a free port from construction until destruction, one connection at a time, on
/// a thread of its own. The same code runs on POSIX sockets and on Winsock.
class ScriptedServer
{
public:
    /// Test thread. Binds and starts listening; throws std::runtime_error when it cannot.
    ScriptedServer();
    /// Test thread. Stops listening and joins the thread. Never throws.
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    /// Any thread. What a GET of path gets from now on: bytes exactly as given, then the
    /// connection closes. A path with no script gets a 404 with a length.
    void script(const std::string &path, std::string bytes);
    /// Any thread. The port listened on; never 0.
    int port() const { return m_port; }
    /// Any thread. "http://127.0.0.1:<port><path>".
    std::string url(const std::string &path) const;

private:
    void serve() noexcept;
    void answer(std::uintptr_t connection);

    std::uintptr_t m_listener = 0;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::map<std::string, std::string> m_scripts; // guarded by m_mutex
    std::thread m_thread;
};
