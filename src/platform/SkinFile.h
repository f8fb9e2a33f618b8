#pragma once

#include "SkinStyle.h"

#include <QByteArray>
#include <QString>

namespace platform {

/// Limits on what a skin file may hold; anything beyond them is refused before it is allocated.
struct SkinFileLimits
{
    static constexpr qint64 kMaxFileBytes = 1024 * 1024;
    static constexpr int kMaxImages = 8;
    static constexpr int kMaxImageWidth = 1024;
    static constexpr int kMaxImageHeight = 512;
    static constexpr int kMaxGradientStops = 8;
};

/// Any thread. Reads a skin from the text of a skin file. Throws PlatformError with the reason
/// ("line 7: [title] height must be a whole number from 16 to 48") for anything malformed or
/// beyond SkinFileLimits, for an image carrying PNG chunks other than those needed to draw it,
/// and when memory runs out (never std::bad_alloc); never reads past the data and allocates
/// only within those limits.
Skin parseSkin(const QByteArray &data);

/// Any thread. Reads and parses the skin file at path, never blocking on it: only a regular
/// file is read, and no more than one byte past the size limit. Throws PlatformError when the
/// file is missing, not a regular file (a FIFO, device, socket or folder), unreadable, larger
/// than the limit or malformed, and when memory runs out.
Skin readSkinFile(const QString &path);

} // namespace platform
