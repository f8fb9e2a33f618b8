#pragma once

#include <httplib.h>
#include <string>
#include <thread>

/// A real HTTP server on 127.0.0.1 and a free port, listening on a thread of its own from
/// start() until it is destroyed. Add routes through server() before start().
class LoopbackServer
{
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    httplib::Server &server() { return m_server; }
    /// Binds and starts listening; returns once the server accepts connections.
    void start();
    /// Stops listening and joins the thread; idempotent.
    void stop();
    int port() const { return m_port; }
    /// "http://127.0.0.1:<port><path>".
    std::string url(const std::string &path) const;

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
};
