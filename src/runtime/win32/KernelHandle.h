#pragma once

#include <utility>
#include <windows.h>

namespace runtime::win32 {

/// Owns a kernel handle (a file, a process, an event) and closes it on every way out. Both null
/// and INVALID_HANDLE_VALUE are no handle, since Win32 functions fail with one or the other.
class KernelHandle
{
public:
    /// Any thread. Takes handle, which may be no handle. Never throws.
    explicit KernelHandle(HANDLE handle = nullptr) noexcept : m_handle(handle) {}
    /// Any thread. Never throws.
    ~KernelHandle() { reset(); }
    KernelHandle(KernelHandle &&other) noexcept : m_handle(std::exchange(other.m_handle, nullptr))
    {}
    KernelHandle &operator=(KernelHandle &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    KernelHandle(const KernelHandle &) = delete;
    KernelHandle &operator=(const KernelHandle &) = delete;

    /// Any thread. Whether a handle is held. Never throws.
    bool valid() const noexcept { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
    /// Any thread. The handle, null or INVALID_HANDLE_VALUE when there is none. Never throws.
    HANDLE get() const noexcept { return m_handle; }
    /// Any thread. Closes the handle held, if any, and holds handle instead. Never throws.
    void reset(HANDLE handle = nullptr) noexcept
    {
        if (valid())
            ::CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle;
};

} // namespace runtime::win32
