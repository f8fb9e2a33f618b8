#include "LoopbackServer.h"

#include <algorithm>
#include <stdexcept>

void Gate::open() const
{
    const std::lock_guard lock(m_state->mutex);
    m_state->open = true;
    m_state->opened.notify_all();
}

void Gate::wait(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_state->mutex);
    m_state->opened.wait_for(lock, timeout, [this] { return m_state->open; });
}

LoopbackServer::LoopbackServer() = default;

LoopbackServer::~LoopbackServer()
{
    stop();
}

void LoopbackServer::start()
{
    m_port = m_server.bind_to_any_port("127.0.0.1");
    if (m_port <= 0)
        throw std::runtime_error("cannot bind a loopback port");
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    // This httplib has no wait_until_ready; the socket is bound already, so only the accept
    // loop has to start.
    while (!m_server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void LoopbackServer::stop()
{
    for (const Gate &gate : m_gates)
        gate.open();
    if (m_thread.joinable()) {
        m_server.stop();
        m_thread.join();
    }
}

std::string LoopbackServer::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

Gate LoopbackServer::serveHeld(const std::string &path, std::string data, std::size_t before,
                               AfterGate after, std::chrono::milliseconds timeout)
{
    const Gate gate = newGate();
    auto body = std::make_shared<std::string>(std::move(data));
    m_server.Get(path, [=](const httplib::Request &, httplib::Response &response) {
        response.set_content_provider(
            body->size(), "application/octet-stream",
            [=](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                if (offset == 0)
                    return sink.write(body->data(), std::min(before, body->size()));
                gate.wait(timeout);
                if (after == AfterGate::HangUp)
                    return false;
                return sink.write(body->data() + offset, body->size() - offset);
            });
    });
    return gate;
}
