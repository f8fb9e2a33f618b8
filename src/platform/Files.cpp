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
#endif
}

bool exchangeFiles(const QString &a, const QString &b)
{
    const QByteArray first = QFile::encodeName(a);
    const QByteArray second = QFile::encodeName(b);
    if (::renameat2(AT_FDCWD, first.constData(), AT_FDCWD, second.constData(), RENAME_EXCHANGE) ==
        0)
        return true;
    const int error = errno;
    if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP)
        return false;
    throw PlatformError(
        QStringLiteral("cannot swap %1 and %2: %3").arg(a, b, systemErrorText(error)));
}

FileKind fileKind(const QString &path)
{
    struct stat info
    {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return FileKind::Missing;
        throw PlatformError(
            QStringLiteral("cannot look at %1: %2").arg(path, systemErrorText(errno)));
    }
    if (S_ISREG(info.st_mode))
        return FileKind::Regular;
    if (S_ISDIR(info.st_mode))
        return FileKind::Directory;
    if (S_ISLNK(info.st_mode))
        return FileKind::SymbolicLink;
    return FileKind::Other;
}

} // namespace platform
