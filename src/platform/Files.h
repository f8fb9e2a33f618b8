#pragma once

#include <QString>

namespace platform {

/// UI thread. Deletes a file. Throws PlatformError when it is missing or cannot be deleted.
void deleteFile(const QString &path);

/// Any thread. Moves the file at from to to with one atomic rename that never replaces an
/// existing file and never falls back to a copy, then syncs the destination's folder so the new
/// name survives a power loss. Throws PlatformError when from is missing, to exists, the two
/// are on different file systems, or the folder cannot be written.
void renameNoReplace(const QString &from, const QString &to);

/// Any thread. Flushes a folder's entries (names) to disk. Throws PlatformError on failure.
void syncFolder(const QString &folder);

/// Any thread. Whether a file (or anything else) exists at path, dangling links included.
/// Never throws.
bool pathExists(const QString &path);

/// Any thread. Gives to the permission bits of from, or 0755 when from is empty or missing.
/// On Windows it does nothing. Throws PlatformError when the bits cannot be set.
void copyExecutablePermissions(const QString &from, const QString &to);

/// Any thread. The folder part of a path ("" for a bare name). Never throws.
QString folderOf(const QString &path);

} // namespace platform
