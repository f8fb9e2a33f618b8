#include "PlatformError.h"

#include <QString>

namespace platform {

PlatformError::PlatformError(const std::string &reason) : std::runtime_error(reason) {}

PlatformError::PlatformError(const QString &reason) : std::runtime_error(reason.toStdString()) {}

PlatformError::PlatformError(const char *reason) : std::runtime_error(reason) {}

QString PlatformError::reason() const
{
    return QString::fromUtf8(what());
}

} // namespace platform
