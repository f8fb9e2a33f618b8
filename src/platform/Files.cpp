#include "Files.h"

#include "PlatformError.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

#ifndef _WIN32

int openFolder(const QByteArray &folder)
{
    return ::open(folder.isEmpty() ? "." : folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}
#else
std::wstring wide(const QString &path)
{
    return QFileInfo(path).absoluteFilePath().replace(u'/', u'\\').toStdWString();
}

QString lastErrorReason()
{
    wchar_t *buffer = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, GetLastError(), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    const QString reason = QString::fromWCharArray(buffer).trimmed();
    LocalFree(buffer);
    return reason;
}
#endif

} // namespace

QString folderOf(const QString &path)
{
    const qsizetype slash = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
    if (slash < 0)
        return QString();
    return slash == 0 ? path.left(1) : path.left(slash);
}

bool pathExists(const QString &path)
{
    if (path.isEmpty())
        return false;
#ifdef _WIN32
    return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat info
    {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
#endif
}

void deleteFile(const QString &path)
{
#ifdef _WIN32
    if (!DeleteFileW(wide(path).c_str()))
        throw PlatformError(QStringLiteral("cannot delete %1: %2").arg(path, lastErrorReason()));
#else
    if (::unlink(QFile::encodeName(path).constData()) != 0)
        throw PlatformError(
            QStringLiteral("cannot delete %1: %2").arg(path, systemErrorText(errno)));
#endif
}

void syncFolder(const QString &folder)
{
#ifdef _WIN32
    // MoveFileExW with MOVEFILE_WRITE_THROUGH already waits for the name to reach the disk.
    Q_UNUSED(folder);
#else
    const int fd = openFolder(QFile::encodeName(folder));
    if (fd < 0)
        throw PlatformError(
            QStringLiteral("cannot open %1: %2").arg(folder, systemErrorText(errno)));
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0)
        throw PlatformError(
            QStringLiteral("cannot sync %1: %2").arg(folder, systemErrorText(error)));
#endif
}

void renameNoReplace(const QString &from, const QString &to)
{
#ifdef _WIN32
    // No MOVEFILE_REPLACE_EXISTING and no MOVEFILE_COPY_ALLOWED: never overwrite, never copy.
    if (!MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_WRITE_THROUGH))
        throw PlatformError(
            QStringLiteral("cannot move %1 to %2: %3").arg(from, to, lastErrorReason()));
#else
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) !=
        0) {
        int error = errno;
        // Some file systems (older NFS, some FUSE) lack RENAME_NOREPLACE; a hard link is just as
        // atomic about an existing target, and the unlink then drops the old name.
        if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
            if (::link(source.constData(), target.constData()) == 0) {
                ::unlink(source.constData());
                error = 0;
            } else {
                error = errno;
            }
        }
        if (error == EXDEV)
            throw PlatformError(
                QStringLiteral("cannot move %1 to %2: they are on different file systems")
                    .arg(from, to));
        if (error != 0)
            throw PlatformError(
                QStringLiteral("cannot move %1 to %2: %3").arg(from, to, systemErrorText(error)));
    }
    syncFolder(folderOf(to));
    if (folderOf(from) != folderOf(to))
        syncFolder(folderOf(from));
#endif
}

void copyExecutablePermissions(const QString &from, const QString &to)
{
#ifdef _WIN32
    Q_UNUSED(from);
    Q_UNUSED(to);
#else
    mode_t mode = 0755;
    struct stat info
    {};
    if (!from.isEmpty() && ::stat(QFile::encodeName(from).constData(), &info) == 0)
        mode = info.st_mode & 07777;
    if (::chmod(QFile::encodeName(to).constData(), mode) != 0)
        throw PlatformError(
            QStringLiteral("cannot set the permissions of %1: %2").arg(to, systemErrorText(errno)));
#endif
}

} // namespace platform
