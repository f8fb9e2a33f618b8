#pragma once

#include <chrono>
#include <condition_variable>
#include <httplib.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// Holds a server handler until the test opens it or a timeout passes, so that a transfer can
/// be kept pending for as long as a test needs and no server thread waits beyond its test.
/// Copies share one state.
class Gate
{
public:
    /// Any thread. Lets every waiting handler go on, now and later.
    void open() const;
    /// Any thread. Waits until the gate opens or timeout passes.
    void wait(std::chrono::milliseconds timeout) const;

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

/// A real HTTP server on 127.0.0.1 and a free port, listening on a thread of its own from
/// start() until it is destroyed. Add routes through server() before start().
class LoopbackServer
{
public:
    /// What a held response does once its gate opens.
    enum class AfterGate
    {
        SendTheRest,
        HangUp
    };

    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    httplib::Server &server() { return m_server; }
    /// Binds and starts listening; returns once the server accepts connections.
    void start();
    /// Opens every gate of a held response, stops listening and joins the thread; idempotent.
    void stop();
    int port() const { return m_port; }
    /// "http://127.0.0.1:<port><path>".
    std::string url(const std::string &path) const;

    /// A gate for a handler of the test's own; stop() opens it.
    Gate newGate() { return m_gates.emplace_back(); }

    /// A held response at path: data, with its full length announced, of which the first
    /// `before` bytes go at once and the rest waits for the returned gate (or timeout); then the
    /// rest is sent, or the connection is dropped.
    Gate serveHeld(const std::string &path, std::string data, std::size_t before,
                   AfterGate after = AfterGate::SendTheRest,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::vector<Gate> m_gates;
};
