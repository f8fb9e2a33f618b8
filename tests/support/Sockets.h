#pragma once

// The only differences between the platforms' sockets that the tests' loopback servers meet, kept
// here so that their code reads the same on POSIX and on Winsock. For the test support's own
// source files and their tests.

#include <chrono>
#include <cstdint>
#include <stdexcept>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace sockets {

/// A value of T set as a socket option; the platforms differ only in the pointer's type.
template <typename T> int setOption(auto socket, int level, int name, const T &value)
{
#ifdef _WIN32
    return ::setsockopt(socket, level, name, reinterpret_cast<const char *>(&value), sizeof value);
#else
    return ::setsockopt(socket, level, name, &value, sizeof value);
#endif
}

#ifdef _WIN32

using Socket = SOCKET;
inline const Socket kNoSocket = INVALID_SOCKET;
constexpr int kShutWrite = SD_SEND;
constexpr int kShutBoth = SD_BOTH;
constexpr int kSendFlags = 0;
using Length = int;

inline void closeSocket(Socket socket)
{
    ::closesocket(socket);
}

inline void setReceiveTimeout(Socket socket, std::chrono::milliseconds timeout)
{
    setOption(socket, SOL_SOCKET, SO_RCVTIMEO, static_cast<DWORD>(timeout.count()));
}

inline bool setNonBlocking(Socket socket)
{
    u_long on = 1;
    return ::ioctlsocket(socket, FIONBIO, &on) == 0;
}

/// Whether the last call failed only because a non-blocking socket was not ready.
inline bool wouldBlock()
{
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}

/// Whether the last call failed because the peer reset the connection.
inline bool wasReset()
{
    return ::WSAGetLastError() == WSAECONNRESET;
}

/// Lets a listener bind a port that a closed socket held a moment ago. Nothing on Winsock, where
/// SO_REUSEADDR would let it take a port another socket listens on.
inline void allowRebind(Socket) {}

/// Bytes sent but not yet taken by the peer; Winsock cannot tell, so 0.
inline int unsentBytes(Socket)
{
    return 0;
}

/// Winsock counts its users; each server is one for as long as it lives.
struct NetworkUse
{
    NetworkUse()
    {
        WSADATA data{};
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
            throw std::runtime_error("Winsock cannot start");
    }
    ~NetworkUse() { ::WSACleanup(); }
};

#else

using Socket = int;
constexpr Socket kNoSocket = -1;
constexpr int kShutWrite = SHUT_WR;
constexpr int kShutBoth = SHUT_RDWR;
// A client that hangs up mid-answer fails the send instead of raising SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
using Length = socklen_t;

inline void closeSocket(Socket socket)
{
    ::close(socket);
}

inline void setReceiveTimeout(Socket socket, std::chrono::milliseconds timeout)
{
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
    setOption(socket, SOL_SOCKET, SO_RCVTIMEO, limit);
}

inline bool setNonBlocking(Socket socket)
{
    const int flags = ::fcntl(socket, F_GETFL);
    return flags != -1 && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

inline bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

inline bool wasReset()
{
    return errno == ECONNRESET;
}

inline void allowRebind(Socket socket)
{
    setOption(socket, SOL_SOCKET, SO_REUSEADDR, 1);
}

/// Bytes sent but not yet acknowledged by the peer.
inline int unsentBytes(Socket socket)
{
    int count = 0;
    return ::ioctl(socket, TIOCOUTQ, &count) == 0 ? count : 0;
}

struct NetworkUse
{};

#endif

/// Makes the platform's sockets usable until the program ends.
inline void startNetwork()
{
    [[maybe_unused]] static const NetworkUse network;
}

inline Socket socketOf(std::uintptr_t value)
{
    return static_cast<Socket>(value);
}

inline sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<unsigned short>(port));
    return address;
}

enum class Ready
{
    ToRead,
    ToWrite
};

/// Whether socket becomes ready within timeout; false on a timeout or an error.
inline bool waitReady(Socket socket, Ready what, std::chrono::milliseconds timeout)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval limit{};
    limit.tv_sec = static_cast<decltype(limit.tv_sec)>(timeout.count() / 1000);
    limit.tv_usec = static_cast<decltype(limit.tv_usec)>(timeout.count() % 1000 * 1000);
    // Winsock ignores the first argument.
    return ::select(static_cast<int>(socket) + 1, what == Ready::ToRead ? &set : nullptr,
                    what == Ready::ToWrite ? &set : nullptr, nullptr, &limit) > 0;
}

/// Closes socket so that the peer sees a reset instead of an orderly end.
inline void closeWithReset(Socket socket)
{
    linger abort{};
    abort.l_onoff = 1;
    abort.l_linger = 0;
    setOption(socket, SOL_SOCKET, SO_LINGER, abort);
    closeSocket(socket);
}

} // namespace sockets
