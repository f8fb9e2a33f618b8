#pragma once

#include <QString>

namespace platform {

/// Any thread. Makes the downloaded file at path ready to take the place of the program at
/// model: checks that it is a non-empty regular file in this computer's program format (a
/// native executable or a "#!" script), gives it model's permission bits without setuid, setgid
/// or sticky (0755 when model is missing or executable by nobody) and flushes it to disk, all
/// through one descriptor, so that nothing else can stand in for the file between the check and
/// the change. Throws PlatformError with a reason for people ("the server sent an HTML page, not
/// a program") when the file is refused or cannot be changed; the file is left where it is.
void prepareExecutable(const QString &path, const QString &model);

/// Any thread. Whether path names a program that could be started: a regular file (not a link),
/// not empty, executable by someone, in this computer's program format. Never throws.
bool isRunnableExecutable(const QString &path);

} // namespace platform
