#include "PlatformError.h"

#include <QString>
#include <system_error>

namespace platform {

PlatformError::PlatformError(const std::string &reason) : std::runtime_error(reason) {}

PlatformError::PlatformError(const QString &reason) : std::runtime_error(reason.toStdString()) {}

PlatformError::PlatformError(const char *reason) : std::runtime_error(reason) {}

QString PlatformError::reason() const
{
    return QString::fromUtf8(what());
}

QString systemErrorText(int error)
{
    // std::system_category is thread-safe where strerror is not.
    return QString::fromStdString(std::system_category().message(error));
}

} // namespace platform
