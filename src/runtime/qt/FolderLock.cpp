#include "SystemError.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace runtime {

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

void rememberHeld(const std::string &path)
{
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(removeHeldLocksAtExit); });
    const std::lock_guard lock(g_heldMutex);
    g_held.push_back(path);
}

void forgetHeld(const std::string &path)
{
    const std::lock_guard lock(g_heldMutex);
    std::erase(g_held, path);
}

class LockFile final : public FolderLock
{
public:
    LockFile(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) { rememberHeld(m_path); }
    ~LockFile() override
    {
        forgetHeld(m_path);
        // Removed while still locked, so no one can lock this file after we are done with it.
        ::unlink(m_path.c_str());
        ::close(m_fd);
    }

private:
    std::string m_path;
    int m_fd;
};

} // namespace

std::unique_ptr<FolderLock> tryLockFolder(const std::filesystem::path &path)
{
    const std::string name = path.native();
    const std::string shown = utf8FromPath(path);
    // The holder removes the file when it is done. Whoever locked the file it had opened just
    // before that removal holds a lock on a name that is gone, and must try again on the file
    // that now carries the name.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd =
            ::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int error = errno;
            const bool denied = error == EACCES || error == EPERM || error == EROFS;
            throw RuntimeError(denied ? ErrorKind::Denied : ErrorKind::Failed,
                               "cannot create the lock file " + shown + ": " +
                                   qt::systemErrorText(error));
        }
        struct stat opened
        {};
        if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
            ::close(fd);
            throw RuntimeError(ErrorKind::Refused,
                               "the lock file " + shown + " is not a regular file");
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK)
                return nullptr;
            throw RuntimeError("cannot lock " + shown + ": " + qt::systemErrorText(error));
        }
        struct stat named
        {};
        if (::stat(name.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino)
            return std::make_unique<LockFile>(name, fd);
        ::close(fd);
    }
    throw RuntimeError("cannot lock " + shown + ": it keeps changing");
}

} // namespace runtime
