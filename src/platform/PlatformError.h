#pragma once

#include <stdexcept>
#include <string>

class QString;

namespace platform {

/// The one failure the platform layer reports. what() is a short reason in plain English,
/// suitable for a message box sentence ("the server answered 404").
class PlatformError : public std::runtime_error
{
public:
    /// Any thread. Never throws beyond std::bad_alloc.
    explicit PlatformError(const std::string &reason);
    explicit PlatformError(const QString &reason);
    explicit PlatformError(const char *reason);

    /// Any thread. The reason as a QString.
    QString reason() const;
};

/// Any thread. The operating system's text for an errno value ("No space left on device").
/// Never throws beyond std::bad_alloc.
QString systemErrorText(int error);

} // namespace platform
