#include "FolderLock.h"

#include "PlatformError.h"

#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// The lock files this process holds, so that an exit() from deep inside a library (Qt does so
// when the display connection breaks) still removes them.
std::mutex g_heldMutex;
std::vector<std::string> g_held; // guarded by g_heldMutex

void removeHeldLocksAtExit()
{
    const std::lock_guard lock(g_heldMutex);
    for (const std::string &path : g_held)
        ::unlink(path.c_str());
}

void rememberHeld(const QByteArray &path)
{
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(removeHeldLocksAtExit); });
    const std::lock_guard lock(g_heldMutex);
    g_held.push_back(path.toStdString());
}

void forgetHeld(const QByteArray &path)
{
    const std::lock_guard lock(g_heldMutex);
    std::erase(g_held, path.toStdString());
}

} // namespace

std::unique_ptr<FolderLock> FolderLock::tryAcquire(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    // The holder removes the file when it is done. Whoever locked the file it had opened just
    // before that removal holds a lock on a name that is gone, and must try again on the file
    // that now carries the name.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd =
            ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0)
            throw PlatformError(QStringLiteral("cannot create the lock file %1: %2")
                                    .arg(path, systemErrorText(errno)));
        struct stat opened
        {};
        if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
            ::close(fd);
            throw PlatformError(QStringLiteral("the lock file %1 is not a regular file").arg(path));
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK)
                return nullptr;
            throw PlatformError(
                QStringLiteral("cannot lock %1: %2").arg(path, systemErrorText(error)));
        }
        struct stat named
        {};
        if (::stat(name.constData(), &named) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino) {
            rememberHeld(name);
            return std::unique_ptr<FolderLock>(new FolderLock(path, fd));
        }
        ::close(fd);
    }
    throw PlatformError(QStringLiteral("cannot lock %1: it keeps changing").arg(path));
}

FolderLock::FolderLock(QString path, int fd) : m_path(std::move(path)), m_fd(fd) {}

FolderLock::~FolderLock()
{
    const QByteArray name = QFile::encodeName(m_path);
    forgetHeld(name);
    // Removed while still locked, so no one can lock this file after we are done with it.
    ::unlink(name.constData());
    ::close(m_fd);
}

} // namespace platform
