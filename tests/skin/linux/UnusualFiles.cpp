#include "../SkinTestUtil.h"

#include <algorithm>
#include <fcntl.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace skintest {

std::vector<std::filesystem::path> makeUnusualFiles(const std::filesystem::path &folder)
{
    // A FIFO with no writer would hold a reader that opens it blocking for good.
    const std::filesystem::path fifo = folder / "fifo.skn";
    if (::mkfifo(fifo.c_str(), 0600) != 0)
        throw std::runtime_error("cannot make a FIFO");

    // The socket's file stays in the folder after the socket is closed.
    const std::filesystem::path socketPath = folder / "socket.skn";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketName = socketPath.string();
    if (listener < 0 || socketName.size() >= sizeof address.sun_path)
        throw std::runtime_error("cannot make a Unix socket");
    std::copy(socketName.begin(), socketName.end(), address.sun_path);
    const int bound =
        ::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    ::close(listener);
    if (bound != 0)
        throw std::runtime_error("cannot bind a Unix socket");

    return {fifo, socketPath, "/dev/zero"};
}

void releaseBlockedReader(const std::filesystem::path &path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
}

} // namespace skintest
