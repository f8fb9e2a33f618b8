#include "LoopbackServer.h"

#include <chrono>
#include <stdexcept>

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
    if (m_thread.joinable()) {
        m_server.stop();
        m_thread.join();
    }
}

std::string LoopbackServer::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}
