#pragma once

#include <stdexcept>
#include <string>

namespace runtime {

/// What kind of failure a runtime operation met, for the few callers that act on it; every
/// other caller only passes the sentence on.
enum class ErrorKind
{
    Failed,      // anything not listed below
    NotFound,    // a file, key or program that is not there
    Exists,      // a name or key already taken
    Busy,        // held by someone else: a lock, a running transfer, a file open in a program
    Denied,      // no permission: a folder that cannot be written, a read-only file system
    Refused,     // input the runtime will not take: a malformed file, a file that is no program
    Unsupported, // this platform or file system cannot do it
    Unavailable, // a facility that has not started (no window system, no network library)
};

/// The one error type the runtime throws: a kind and a sentence for people, in plain English
/// and lower case, as it would stand inside a message ("the server answered 404").
class RuntimeError : public std::runtime_error
{
public:
    /// Any thread. Never throws beyond std::bad_alloc.
    RuntimeError(ErrorKind kind, const std::string &reason)
        : std::runtime_error(reason), m_kind(kind)
    {}
    /// Any thread. A failure of kind Failed. Never throws beyond std::bad_alloc.
    explicit RuntimeError(const std::string &reason) : RuntimeError(ErrorKind::Failed, reason) {}

    /// Any thread. Never throws.
    ErrorKind kind() const noexcept { return m_kind; }

private:
    ErrorKind m_kind;
};

} // namespace runtime
