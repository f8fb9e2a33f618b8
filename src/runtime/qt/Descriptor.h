#pragma once

#include <unistd.h>

namespace runtime::qt {

/// Owns a file descriptor and closes it on every way out. A negative one is no descriptor.
class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    /// Any thread. The descriptor, negative when there is none. Never throws.
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace runtime::qt
