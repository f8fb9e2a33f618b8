#pragma once

#include <QString>
#include <memory>

namespace platform {

/// An exclusive lock on a lock file, so that only one process at a time works in a folder. The
/// lock lasts while the object does, and ends with the process however it ends; the lock file
/// is removed when the object goes or the process exits. UI thread only.
class FolderLock
{
public:
    /// UI thread. Takes the lock file at path, creating it, without waiting. Returns nullptr
    /// when another process holds it. Throws PlatformError when the file cannot be created or
    /// locked (a folder that cannot be written, a lock file that is not a regular file).
    static std::unique_ptr<FolderLock> tryAcquire(const QString &path);

    /// UI thread. Removes the lock file, then gives up the lock. Never throws.
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    /// The lock file's path. Never throws.
    QString path() const { return m_path; }

private:
    FolderLock(QString path, int fd);

    QString m_path;
    int m_fd;
};

} // namespace platform
