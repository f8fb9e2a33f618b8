#include "runtime/Files.h"

#include "Descriptor.h"
#include "SystemError.h"
#include "runtime/BoundedRead.h"
#include "runtime/RuntimeError.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace runtime {

namespace {

std::string shown(const std::filesystem::path &path)
{
    return utf8FromPath(path);
}

ErrorKind kindOf(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ErrorKind::NotFound;
    case EEXIST:
    case ENOTEMPTY:
        return ErrorKind::Exists;
    case EACCES:
    case EPERM:
    case EROFS:
        return ErrorKind::Denied;
    case ETXTBSY:
    case EBUSY:
        return ErrorKind::Busy;
    default:
        return ErrorKind::Failed;
    }
}

[[noreturn]] void fail(int error, const std::string &what)
{
    throw RuntimeError(kindOf(error), what + ": " + qt::systemErrorText(error));
}

} // namespace

std::filesystem::path pathFromUtf8(const std::string &text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string utf8FromPath(const std::filesystem::path &path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string folderOf(const std::string &path)
{
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return {};
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

FileKind fileKind(const std::filesystem::path &path)
{
    struct stat info
    {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return FileKind::Missing;
        fail(errno, "cannot look at " + shown(path));
    }
    if (S_ISREG(info.st_mode))
        return FileKind::Regular;
    if (S_ISDIR(info.st_mode))
        return FileKind::Directory;
    if (S_ISLNK(info.st_mode))
        return FileKind::SymbolicLink;
    return FileKind::Other;
}

bool pathExists(const std::filesystem::path &path)
{
    struct stat info
    {};
    return !path.empty() && ::lstat(path.c_str(), &info) == 0;
}

void deleteFile(const std::filesystem::path &path)
{
    if (::unlink(path.c_str()) != 0)
        fail(errno, "cannot delete " + shown(path));
}

void renameNoReplace(const std::filesystem::path &from, const std::filesystem::path &to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return;
    int error = errno;
    // Some file systems (older NFS, some FUSE) lack RENAME_NOREPLACE; a hard link is just as
    // atomic about an existing target, and the unlink then drops the old name.
    if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return;
        }
        error = errno;
    }
    if (error == EXDEV)
        throw RuntimeError("cannot move " + shown(from) + " to " + shown(to) +
                           ": they are on different file systems");
    fail(error, "cannot move " + shown(from) + " to " + shown(to));
}

void replaceFile(const std::filesystem::path &from, const std::filesystem::path &to)
{
    if (::rename(from.c_str(), to.c_str()) == 0)
        return;
    const int error = errno;
    if (error == EXDEV)
        throw RuntimeError("cannot move " + shown(from) + " to " + shown(to) +
                           ": they are on different file systems");
    fail(error, "cannot move " + shown(from) + " to " + shown(to));
}

bool linkFile(const std::filesystem::path &from, const std::filesystem::path &to)
{
    if (::link(from.c_str(), to.c_str()) == 0)
        return true;
    const int error = errno;
    // FAT has no links at all (EPERM), some FUSE and network file systems refuse them, and a
    // file may already have as many as it can take: each leaves only the renames.
    if (error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK)
        return false;
    fail(error, "cannot link " + shown(from) + " as " + shown(to));
}

bool exchangeFiles(const std::filesystem::path &a, const std::filesystem::path &b)
{
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0)
        return true;
    const int error = errno;
    if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP)
        return false;
    fail(error, "cannot swap " + shown(a) + " and " + shown(b));
}

void syncFolder(const std::filesystem::path &folder)
{
    const qt::Descriptor fd(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0)
        fail(errno, "cannot open " + shown(folder));
    if (::fsync(fd.get()) != 0)
        fail(errno, "cannot sync " + shown(folder));
}

void writeNewFile(const std::filesystem::path &path, std::string_view bytes)
{
    const qt::Descriptor fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.get() < 0)
        fail(errno, "cannot create " + shown(path));
    int error = 0;
    for (std::size_t written = 0; written < bytes.size() && error == 0;) {
        const ssize_t wrote = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
        if (wrote < 0 && errno != EINTR)
            error = errno;
        else if (wrote > 0)
            written += static_cast<std::size_t>(wrote);
    }
    if (error == 0 && ::fsync(fd.get()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(path.c_str());
        throw RuntimeError(ErrorKind::Failed,
                           "cannot write " + shown(path) + ": " + qt::systemErrorText(error));
    }
}

std::vector<std::string> folderEntries(const std::filesystem::path &folder)
{
    DIR *dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr)
        fail(errno, "cannot read the folder " + shown(folder));
    std::vector<std::string> names;
    errno = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    const int error = errno;
    ::closedir(dir);
    if (error != 0)
        fail(error, "cannot read the folder " + shown(folder));
    return names;
}

std::string readRegularFile(const std::filesystem::path &path, std::size_t maxBytes)
{
    // Non-blocking, so that opening a FIFO with no writer returns at once to be refused.
    const qt::Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        fail(errno, "cannot open " + shown(path));
    struct stat info
    {};
    if (::fstat(fd.get(), &info) != 0)
        fail(errno, "cannot look at " + shown(path));
    if (!S_ISREG(info.st_mode))
        throw RuntimeError(ErrorKind::Refused, shown(path) + " is not a regular file");
    return boundedread::readUpTo(shown(path), static_cast<std::uint64_t>(info.st_size), maxBytes,
                                 [&](char *into, std::size_t room) {
                                     for (;;) {
                                         const ssize_t got = ::read(fd.get(), into, room);
                                         if (got >= 0)
                                             return static_cast<std::size_t>(got);
                                         if (errno != EINTR)
                                             fail(errno, "cannot read " + shown(path));
                                     }
                                 });
}

} // namespace runtime
