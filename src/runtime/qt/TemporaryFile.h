#pragma once

#include "runtime/Crypto.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

namespace runtime::qt {

/// A new file that one transfer writes once, front to back, and that is removed unless someone
/// takes it: when discarded, when destroyed, and when the program ends through exit() first.
/// Move-only; one thread at a time.
class TemporaryFile
{
public:
    /// Any thread. A handle that owns no file. Never throws.
    TemporaryFile() noexcept = default;
    /// Any thread. Discards the file unless it was kept. Never throws.
    ~TemporaryFile();
    /// Any thread. Takes other's file and leaves other empty; assigning discards this handle's
    /// own file first. Never throw.
    TemporaryFile(TemporaryFile &&other) noexcept;
    TemporaryFile &operator=(TemporaryFile &&other) noexcept;
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    /// Any thread. Creates and opens a new ".refitor-XXXXXX.part" file in folder, readable and
    /// writable by the owner only, closed on exec, to be removed should the program exit before
    /// handOverTemporaryFile. Throws RuntimeError (Failed) with the operating system's reason, or
    /// std::bad_alloc, leaving no file behind.
    static TemporaryFile create(const std::filesystem::path &folder);

    /// The writing thread, before the first append. Reserves room for length bytes (0: unknown)
    /// and readies the write buffer. Returns 0, ENOSPC when the file cannot possibly fit, or
    /// ENOMEM. Never throws.
    int prepare(std::int64_t length) noexcept;
    /// Any thread, before the first append. Every byte appended from now on is hashed by hash
    /// too, in the same pass as its write. Never throws.
    void hashWith(std::unique_ptr<Sha256> hash) noexcept { m_hash = std::move(hash); }
    /// The writing thread, once, after a successful finish. The SHA-256 of every byte appended;
    /// none when no hash was given. Throws RuntimeError (Failed) when the hash failed.
    std::optional<Sha256Digest> finishHash();
    /// The writing thread, after prepare. Appends size bytes; returns 0 or the errno of the
    /// write that failed, after which the file is only good for discarding. Never throws.
    int append(const char *data, std::size_t size) noexcept;
    /// The writing thread. Writes what is still buffered, flushes the file to the disk and
    /// closes it; returns 0 or the errno of the step that failed (closed either way). Never
    /// throws.
    int finish() noexcept;
    /// Any thread. Closes and deletes the file, attempting both whatever fails, and leaves this
    /// handle empty. Never throws.
    void discard() noexcept;
    /// Any thread. Gives the file up without deleting it and leaves this handle empty; it stays
    /// on the list removed at exit until handOverTemporaryFile. Returns its path ("" for an
    /// empty handle). Never throws.
    std::filesystem::path keep() noexcept;

    /// Any thread. The file's full path; "" for an empty handle. Never throws.
    const std::filesystem::path &path() const noexcept { return m_path; }

private:
    TemporaryFile(int fd, std::filesystem::path path) noexcept;
    int flushBuffer() noexcept;

    int m_fd = -1;
    std::filesystem::path m_path;
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_buffered = 0;
    std::int64_t m_written = 0;
    // Write-out runs in steps: [m_droppedTo, m_writeOutFrom) is on its way to the disk and
    // everything before m_droppedTo is on it and out of the page cache.
    std::int64_t m_writeOutFrom = 0;
    std::int64_t m_droppedTo = 0;
    std::unique_ptr<Sha256> m_hash;
};

/// Any thread. The kept file at path belongs to someone else now, to keep or move even past an
/// exit: it is no longer removed then. Never throws.
void handOverTemporaryFile(const std::filesystem::path &path) noexcept;

/// Any thread. Deletes a kept file that nobody took, and forgets it. Never throws.
void removeTemporaryFile(const std::filesystem::path &path) noexcept;

} // namespace runtime::qt
