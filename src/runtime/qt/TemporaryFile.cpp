#include "TemporaryFile.h"

#include "SystemError.h"
#include "runtime/AsyncRead.h"
#include "runtime/ExitRemoval.h"
#include "runtime/RuntimeError.h"
#include "runtime/TemporaryName.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <stdlib.h>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace runtime::qt {

namespace {

constexpr std::int64_t kWriteOutStep = 8 * 1024 * 1024;

// mkostemps fills the Xs with the letters and digits the common naming pattern expects.
constexpr char kTemplateName[] = ".refitor-XXXXXX.part";
static_assert(std::string_view(kTemplateName).starts_with(temporary::kPrefix) &&
              std::string_view(kTemplateName).ends_with(temporary::kSuffix) &&
              std::string_view(kTemplateName).size() ==
                  temporary::kPrefix.size() + temporary::kRandomLength + temporary::kSuffix.size());

// POSIX file primitives, kept apart so another platform needs only these replaced.

/// Returns 0 or the errno of the write that failed.
int writeAll(int fd, const char *data, std::size_t size) noexcept
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

// Starting write-out while data still arrives leaves the final fsync little to do. Only a hint:
// file systems that refuse it lose nothing but speed.
void startWriteOut(int fd, std::int64_t from, std::int64_t length) noexcept
{
    ::sync_file_range(fd, from, length, SYNC_FILE_RANGE_WRITE);
}

/// Waits until a range whose write-out was started is on the disk, then drops it from the page
/// cache. Returns 0 or the errno of a failed write-out, which must count: the wait consumes the
/// error, so the final fsync would not report it again.
int finishWriteOut(int fd, std::int64_t from, std::int64_t length) noexcept
{
    if (::sync_file_range(fd, from, length,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
        const int error = errno;
        // A file system without the call has told nothing about the data; fsync will.
        return error == EINVAL || error == ENOSYS || error == ESPIPE || error == EOPNOTSUPP ? 0
                                                                                            : error;
    }
    ::posix_fadvise(fd, from, length, POSIX_FADV_DONTNEED);
    return 0;
}

/// Returns ENOSPC when the file cannot possibly fit, 0 otherwise (also when reserving is not
/// supported, since the writes will tell).
int reserveSpace(int fd, std::int64_t length) noexcept
{
    // KEEP_SIZE: a server announcing more than it sends must not leave a padded file, and no
    // zero-filling emulation runs on file systems without the call.
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length) != 0 && errno == ENOSPC)
        return ENOSPC;
    return 0;
}

/// Returns 0 or the errno of the step that failed; the descriptor is closed either way.
int closeSynced(int fd) noexcept
{
    int error = 0;
    if (::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    return error;
}

/// folder made absolute and free of ".", ".." and a trailing separator, so that the files'
/// paths name their folder as the user would.
std::filesystem::path cleanFolder(const std::filesystem::path &folder, std::error_code &error)
{
    std::filesystem::path absolute = std::filesystem::absolute(folder, error).lexically_normal();
    if (!absolute.has_filename() && absolute.has_relative_path())
        absolute = absolute.parent_path();
    return absolute;
}

} // namespace

TemporaryFile::TemporaryFile(int fd, std::filesystem::path path) noexcept
    : m_fd(fd), m_path(std::move(path))
{}

TemporaryFile::~TemporaryFile()
{
    discard();
}

std::unique_ptr<TemporaryFile> TemporaryFile::create(const std::filesystem::path &folder)
{
    if (folder.empty())
        throw RuntimeError("no folder was given for the temporary file");
    std::error_code cleaning;
    const std::filesystem::path cleaned = cleanFolder(folder, cleaning);
    if (cleaning) {
        throw RuntimeError("could not create a temporary file in " + folder.string() + ": " +
                           systemErrorText(cleaning.value()));
    }
    std::string pattern = (cleaned / kTemplateName).native();
    const int fd =
        ::mkostemps(pattern.data(), static_cast<int>(temporary::kSuffix.size()), O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        throw RuntimeError("could not create a temporary file in " + folder.string() + ": " +
                           systemErrorText(error));
    }
    std::filesystem::path path;
    try {
        path = pattern;
        temporary::removeAtExit(path);
        return std::unique_ptr<TemporaryFile>(new TemporaryFile(fd, std::move(path)));
    } catch (...) {
        ::close(fd);
        ::unlink(pattern.c_str());
        temporary::forgetAtExit(path);
        throw;
    }
}

int TemporaryFile::reserve(std::int64_t length) noexcept
{
    return reserveSpace(m_fd, m_written + length);
}

int TemporaryFile::writeThrough(const char *data, std::size_t size) noexcept
{
    if (const int error = writeAll(m_fd, data, size); error != 0)
        return error;
    m_written += static_cast<std::int64_t>(size);
    if (m_written - m_writeOutFrom >= kWriteOutStep) {
        startWriteOut(m_fd, m_writeOutFrom, m_written - m_writeOutFrom);
        // The step before the one just started is waited for and dropped from the page cache.
        // The file is written once and not read back here, so the cache holds no more than two
        // steps of it: the next writes reuse the pages just freed instead of taking fresh ones
        // (the larger part of a big transfer's processor time went into filling fresh pages),
        // the disk sees a steady stream instead of the whole file at the final fsync, and the
        // files the user has cached stay cached. While the worker waits, the kernel goes on
        // receiving into the socket's buffer.
        if (m_writeOutFrom > m_droppedTo) {
            if (const int error = finishWriteOut(m_fd, m_droppedTo, m_writeOutFrom - m_droppedTo);
                error != 0)
                return error;
            m_droppedTo = m_writeOutFrom;
        }
        m_writeOutFrom = m_written;
    }
    return 0;
}

int TemporaryFile::truncateToZero() noexcept
{
    if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0)
        return errno;
    m_written = m_writeOutFrom = m_droppedTo = 0;
    return 0;
}

int TemporaryFile::syncAndClose() noexcept
{
    if (m_fd < 0)
        return EBADF;
    const int error = closeSynced(m_fd);
    m_fd = -1;
    return error;
}

int TemporaryFile::outOfMemory() const noexcept
{
    return ENOMEM;
}

std::string TemporaryFile::errorText(int error) const
{
    return systemErrorText(error);
}

bool TemporaryFile::isDiskFull(int error) const noexcept
{
    return error == ENOSPC || error == EDQUOT;
}

void TemporaryFile::discard() noexcept
{
    if (m_fd >= 0)
        ::close(m_fd);
    // Unlinked before it is forgotten, so an exit in between cannot miss it.
    if (!m_path.empty()) {
        ::unlink(m_path.c_str());
        temporary::forgetAtExit(m_path);
    }
    m_fd = -1;
    m_path.clear();
    m_written = m_writeOutFrom = m_droppedTo = 0;
    releaseBuffers();
}

std::filesystem::path TemporaryFile::keep() noexcept
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    releaseBuffers();
    std::filesystem::path kept = std::move(m_path);
    m_path.clear();
    return kept;
}

} // namespace runtime::qt
