#pragma once

#include <QString>

namespace platform {

/// What a name in the file system stands for, seen without following a symbolic link.
enum class FileKind
{
    Missing,
    Regular,
    Directory,
    SymbolicLink,
    Other
};

/// Any thread. What path names, without following a final symbolic link. Throws PlatformError
/// when it cannot be told (a folder on the way that cannot be searched, an I/O error).
FileKind fileKind(const QString &path);

/// UI thread. Deletes a file. Throws PlatformError when it is missing or cannot be deleted.
void deleteFile(const QString &path);

/// Any thread. Moves the file at from to to with one atomic rename that never replaces an
/// existing file and never falls back to a copy. The new name is not yet durable: syncFolder
/// makes it so. Throws PlatformError when from is missing, to exists, the two are on different
/// file systems, or the folder cannot be written; nothing has moved then.
void renameNoReplace(const QString &from, const QString &to);

/// Any thread. Swaps the files named a and b in one atomic step, so that neither name is ever
/// missing. Returns false, having changed nothing, where the file system cannot swap names.
/// Throws PlatformError when either is missing or the folder cannot be written.
bool exchangeFiles(const QString &a, const QString &b);

/// Any thread. Flushes a folder's entries (names) to disk. Throws PlatformError on failure.
void syncFolder(const QString &folder);

/// Any thread. Whether a file (or anything else) exists at path, dangling links included.
/// Never throws.
bool pathExists(const QString &path);

/// Any thread. The folder part of a path ("" for a bare name). Never throws.
QString folderOf(const QString &path);

} // namespace platform
